// File reads of a stored or chosen path (the no-signal bitmap check) with one read
// failing at each point: the file counts as unusable, and no descriptor stays open.
#include "FaultWalk.h"

#include "../options/BitmapBuilder.h"

#include <options/BitmapCheck.h>

#include <unistd.h>

#include <filesystem>

namespace {

size_t OpenDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(FileFaults, AFailedReadMakesTheBitmapUnusableAndLeavesNoDescriptor)
{
    const auto path = std::filesystem::temp_directory_path() / ("faults-" + std::to_string(getpid()) + ".bmp");
    testbmp::Picture picture;
    picture.width = 33;
    picture.height = 17;
    picture.bitCount = 8;
    picture.paletteEntries = picture.coloursUsed = 256;
    testbmp::Write(path.string(), testbmp::Build(picture));

    const size_t descriptors = OpenDescriptors();
    const uint64_t walked = WalkFaults(Ambry::FaultKind::FileRead, [&](FaultRun &run) {
        BitmapSize size;
        const bool valid = ValidateBitmapFile(path.string(), &size);
        EXPECT_EQ(valid, !run.Disarm()) << "a read failure must make the file invalid, and only then";
        EXPECT_EQ(OpenDescriptors(), descriptors);
        if (valid) {
            EXPECT_EQ(size.width, 33);
            EXPECT_EQ(size.height, 17);
        }
    });
    EXPECT_GE(walked, 2u) << "the header and the rows are read";
    std::filesystem::remove(path);
}

}  // namespace
