// Requests no allocator can meet must fail cleanly and leave the object as it was.
// (Sanitizer builds abort on such requests by design, so they skip these cases.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "ambry/ByteBuffer.h"
#include "ambry/PtrArray.h"
#include "ambry/StrBuf.h"

namespace {

using namespace Ambry;

#ifdef TESSALINE_SANITIZED
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "sanitizers abort on impossible allocations"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

constexpr size_t kImpossible = SIZE_MAX / 4;

TEST(AllocationFailure, ContainersStayAsTheyWere)
{
    SKIP_UNDER_SANITIZERS();
    TStrBuf<_StrBuf16> text("short");
    EXPECT_FALSE(text.Reserve(kImpossible));
    EXPECT_STREQ(text.c_str(), "short");
    EXPECT_TRUE(text.IsInline());

    CStrBuf heap("on the heap");
    EXPECT_FALSE(heap.Reserve(kImpossible));
    EXPECT_STREQ(heap.c_str(), "on the heap");
    EXPECT_TRUE(heap.Append("!"));

    CPtrArray array;
    ASSERT_TRUE(array.PushBack(&array));
    EXPECT_FALSE(array.Reserve(kImpossible));
    EXPECT_EQ(array.Length(), 1u);
    EXPECT_EQ(array.GetAt(0), &array);

    CByteBuffer buffer;
    EXPECT_EQ(buffer.Append("abc", 3), 3u);
    EXPECT_FALSE(buffer.Ensure(kImpossible));
    char out[3];
    EXPECT_EQ(buffer.Read(out, 3), 3u);
    EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
}

}  // namespace
