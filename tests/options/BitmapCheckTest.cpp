#include "BitmapBuilder.h"

#include <options/BitmapCheck.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>

namespace {

bool Check(const std::vector<uint8_t> &bytes, BitmapSize *size = nullptr)
{
    return ValidateBitmapBytes(bytes.data(), bytes.size(), size);
}

testbmp::Picture Palette(uint16_t bits, uint32_t entries)
{
    testbmp::Picture s;
    s.bitCount = bits;
    s.paletteEntries = entries;
    s.coloursUsed = entries;
    return s;
}

TEST(BitmapCheck, AcceptsUncompressedPicturesOfEverySupportedDepth)
{
    BitmapSize size;
    testbmp::Picture s;
    s.width = 641;
    s.height = 3;
    ASSERT_TRUE(Check(testbmp::Build(s), &size));
    EXPECT_EQ(size.width, 641);
    EXPECT_EQ(size.height, 3);

    s.height = -5;  // top-down rows
    ASSERT_TRUE(Check(testbmp::Build(s), &size));
    EXPECT_EQ(size.height, 5);

    EXPECT_TRUE(Check(testbmp::Build(Palette(8, 256))));
    EXPECT_TRUE(Check(testbmp::Build(Palette(4, 16))));
    testbmp::Picture plain16;
    plain16.bitCount = 16;
    EXPECT_TRUE(Check(testbmp::Build(plain16)));

    testbmp::Picture fields;
    fields.bitCount = 16;
    fields.compression = 3;
    fields.masks = true;
    EXPECT_TRUE(Check(testbmp::Build(fields)));  // masks right after the headers, offset 66

    testbmp::Picture gap;  // pixel data after a gap is skipped to
    gap.pixelOffset = 138;
    EXPECT_TRUE(Check(testbmp::Build(gap)));
}

TEST(BitmapCheck, RefusesWhatTheFilterCannotSend)
{
    testbmp::Picture rle = Palette(8, 256);
    rle.compression = 1;
    EXPECT_FALSE(Check(testbmp::Build(rle)));
    EXPECT_FALSE(Check(testbmp::Build(Palette(1, 2))));

    testbmp::Picture fields70;
    fields70.bitCount = 16;
    fields70.compression = 3;
    fields70.masks = true;
    fields70.pixelOffset = 70;
    EXPECT_FALSE(Check(testbmp::Build(fields70)));

    testbmp::Picture overlap = fields70;
    overlap.pixelOffset = -1;
    overlap.maskRed = overlap.maskGreen = overlap.maskBlue = 0x0010;
    EXPECT_FALSE(Check(testbmp::Build(overlap)));

    testbmp::Picture fieldsNoOffset;  // bitfields claimed but no room for the masks
    fieldsNoOffset.compression = 3;
    EXPECT_FALSE(Check(testbmp::Build(fieldsNoOffset)));

    testbmp::Picture paletteFields = Palette(8, 256);
    paletteFields.compression = 3;
    EXPECT_FALSE(Check(testbmp::Build(paletteFields)));

    testbmp::Picture deep;
    deep.bitCount = 32;
    EXPECT_FALSE(Check(testbmp::Build(deep)));

    testbmp::Picture empty;
    empty.width = 0;
    EXPECT_FALSE(Check(testbmp::Build(empty)));

    std::vector<uint8_t> notBm = testbmp::Build(testbmp::Picture{});
    notBm[0] = 'X';
    EXPECT_FALSE(Check(notBm));
}

TEST(BitmapCheck, PaletteIndicesMustNameAnEntry)
{
    testbmp::Picture small = Palette(8, 4);
    small.fill = 3;
    EXPECT_TRUE(Check(testbmp::Build(small)));
    small.fill = 4;
    EXPECT_FALSE(Check(testbmp::Build(small)));

    testbmp::Picture nibbles = Palette(4, 2);
    nibbles.width = 3;  // odd width: the last low nibble is padding, not a pixel
    nibbles.fill = 0x10;
    EXPECT_TRUE(Check(testbmp::Build(nibbles)));
    nibbles.fill = 0x12;
    EXPECT_FALSE(Check(testbmp::Build(nibbles)));
}

TEST(BitmapCheck, TruncatedAndOversizedFilesAreInvalidWithoutBeingRead)
{
    std::vector<uint8_t> full = testbmp::Build(Palette(8, 256));
    for (size_t cut : {size_t(0), size_t(10), size_t(53), size_t(54), size_t(100), full.size() - 1}) {
        std::vector<uint8_t> part(full.begin(), full.begin() + cut);
        EXPECT_FALSE(Check(part)) << "cut at " << cut;
    }

    // A colour count of four billion in a small file: refused, nothing allocated.
    testbmp::Picture huge = Palette(8, 16);
    huge.coloursUsed = 0xFFFFFFFFu;
    EXPECT_FALSE(Check(testbmp::Build(huge)));

    // Sizes claimed by the header, far beyond the bytes present or any usable picture.
    std::vector<uint8_t> headerOnly = testbmp::Build(testbmp::Picture{});
    auto patch = [](std::vector<uint8_t> &b, size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    patch(headerOnly, 18, 0x7FFFFFFF);
    EXPECT_FALSE(Check(headerOnly));
    patch(headerOnly, 18, 4);
    patch(headerOnly, 22, 0x80000000u);  // the most negative height
    EXPECT_FALSE(Check(headerOnly));
    patch(headerOnly, 22, 30000);
    patch(headerOnly, 18, 30000);  // inside each side's cap, above the pixel cap
    EXPECT_FALSE(Check(headerOnly));
}

TEST(BitmapCheck, FileAndMemoryAgreeOnAGeneratedCorpus)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "tessaline-bmp-check";
    std::filesystem::create_directories(dir);
    std::mt19937 rng(12345);
    const uint16_t depths[] = {1, 4, 8, 16, 24, 32};
    for (int i = 0; i < 200; ++i) {
        testbmp::Picture s;
        s.width = int32_t(rng() % 40) - 2;
        s.height = int32_t(rng() % 40) - 20;
        s.bitCount = depths[rng() % 6];
        s.compression = (rng() % 4 == 0) ? rng() % 4 : 0;
        s.masks = s.compression == 3;
        s.paletteEntries = s.bitCount <= 8 ? uint32_t(rng() % 20) : 0;
        s.coloursUsed = s.paletteEntries;
        s.fill = uint8_t(rng());
        std::vector<uint8_t> bytes = testbmp::Build(s);
        if (rng() % 3 == 0 && !bytes.empty())
            bytes.resize(rng() % bytes.size());
        const std::string path = (dir / ("case" + std::to_string(i) + ".bmp")).string();
        testbmp::Write(path, bytes);
        BitmapSize fromMemory, fromFile;
        const bool memoryOk = Check(bytes, &fromMemory);
        ASSERT_EQ(memoryOk, ValidateBitmapFile(path, &fromFile)) << "case " << i;
        if (memoryOk) {
            EXPECT_EQ(fromMemory.width, fromFile.width);
            EXPECT_EQ(fromMemory.height, fromFile.height);
        }
    }
    EXPECT_FALSE(ValidateBitmapFile((dir / "missing.bmp").string(), nullptr));
    EXPECT_FALSE(ValidateBitmapFile(dir.string(), nullptr));  // a folder is no bitmap
    std::filesystem::remove_all(dir);
}

// A stored or chosen path may name a FIFO, a device or a huge sparse file: each is
// refused at once, without waiting for a writer and without reading it.
TEST(BitmapCheck, PathsOtherThanSaneRegularFilesAreRefusedWithoutBlocking)
{
    const auto dir = std::filesystem::temp_directory_path() / ("bmpcheck-special-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "fifo.bmp").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string sparse = (dir / "sparse.bmp").string();
    {
        std::vector<uint8_t> small = testbmp::Build(Palette(8, 16));
        testbmp::Write(sparse, small);
        ASSERT_EQ(truncate(sparse.c_str(), off_t(3) << 30), 0);  // 3 GiB of nothing
    }

    for (const std::string &path : {fifo, std::string("/dev/zero"), sparse}) {
        auto check = std::async(std::launch::async, [path] { return ValidateBitmapFile(path, nullptr); });
        if (check.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
            ADD_FAILURE() << path << ": the check blocked";
            // Release a reader stuck in opening the FIFO so the test can end.
            int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                close(writer);
        }
        EXPECT_FALSE(check.get()) << path;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
