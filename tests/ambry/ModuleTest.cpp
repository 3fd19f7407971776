#include <gtest/gtest.h>

#include "TraceCapture.h"
#include "ambry/Module.h"
#include "ambry/Trace.h"

namespace {

using namespace Ambry;

TEST(Module, CoreStartAndStopAreCountedInOrder)
{
    int thread = ModuleStartCount("THREAD");
    int wkq = ModuleStartCount("WKQ");
    int hash = ModuleStartCount("HASH");
    int random = ModuleStartCount("RANDOM");
    ASSERT_TRUE(CoreStart());
    EXPECT_EQ(ModuleStartCount("THREAD"), thread + 2);
    EXPECT_EQ(ModuleStartCount("WKQ"), wkq + 1);
    EXPECT_EQ(ModuleStartCount("HASH"), hash + 1);
    EXPECT_EQ(ModuleStartCount("RANDOM"), random + 1);
    ASSERT_TRUE(CoreStart());
    CoreStop();
    CoreStop();
    EXPECT_EQ(ModuleStartCount("THREAD"), thread);
    EXPECT_EQ(ModuleStartCount("RANDOM"), random);
    EXPECT_EQ(ModuleStartCount("NOSUCH"), -1);
    EXPECT_EQ(ModuleStartCount(nullptr), -1);
}

TEST(Trace, MaskSelectsChannels)
{
    EXPECT_EQ(TraceMask() & 7u, 7u);
    TraceCapture capture(TRACE_ERROR | TRACE_DEBUG);
    TraceError("e%d", 1);
    TraceWarning("w%d", 2);
    TraceDebug("d%s", "3");
    std::vector<std::pair<unsigned, std::string>> expected = {{TRACE_ERROR, "e1"}, {TRACE_DEBUG, "d3"}};
    EXPECT_EQ(capture.Lines(), expected);
}

}  // namespace
