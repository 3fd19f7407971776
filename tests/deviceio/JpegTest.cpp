// JPEG snapshot decoding: orientation and byte order, damaged and hostile input.
#include <deviceio/Frame.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <jpeglib.h>
#include <vector>

#include "JpegMaker.h"

namespace {

// Pixel (x, y) with y counted from the top, from a bottom-up BGR buffer.
const uint8_t *PixelAt(const DecodedPicture &p, int x, int y_from_top)
{
    return p.pixels.get() + (size_t(p.height - 1 - y_from_top) * p.width + x) * 3;
}

}  // namespace

TEST(DecodeJpeg, RowsAreBottomUpAndBlueGreenRed)
{
    // Top half pure red, bottom half pure blue.
    const int w = 32, h = 32;
    std::vector<uint8_t> rgb(w * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t *p = &rgb[(y * w + x) * 3];
            p[0] = y < h / 2 ? 255 : 0;
            p[2] = y < h / 2 ? 0 : 255;
        }
    const std::vector<uint8_t> jpeg = TestJpeg::Encode(rgb.data(), w, h, 3, 95);

    DecodedPicture pic;
    ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), &pic));
    EXPECT_EQ(pic.width, w);
    EXPECT_EQ(pic.height, h);
    EXPECT_EQ(pic.warnings, 0);
    const uint8_t *top = PixelAt(pic, 5, 2);  // red: B G R = 0 0 255
    EXPECT_LT(top[0], 30);
    EXPECT_GT(top[2], 225);
    const uint8_t *bottom = PixelAt(pic, 5, h - 3);  // blue: B G R = 255 0 0
    EXPECT_GT(bottom[0], 225);
    EXPECT_LT(bottom[2], 30);
    // The first stored row is the bottom of the picture.
    EXPECT_GT(pic.pixels[0], 225);
}

TEST(DecodeJpeg, GreyPicturesComeOutAsThreeEqualComponents)
{
    const int w = 17, h = 9;
    std::vector<uint8_t> grey(w * h);
    for (int i = 0; i < w * h; ++i)
        grey[i] = uint8_t(i * 7);
    const std::vector<uint8_t> jpeg = TestJpeg::Encode(grey.data(), w, h, 1, 100);
    DecodedPicture pic;
    ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), &pic));
    ASSERT_EQ(pic.width, w);
    for (int i = 0; i < w * h; ++i) {
        const uint8_t *p = pic.pixels.get() + i * 3;
        EXPECT_EQ(p[0], p[1]);
        EXPECT_EQ(p[1], p[2]);
    }
}

TEST(DecodeJpeg, PictureThatEndsEarlyIsCompletedWithAWarning)
{
    const int w = 128, h = 128;
    const std::vector<uint8_t> rgb = TestJpeg::TestCard(w, h);
    std::vector<uint8_t> jpeg = TestJpeg::Encode(rgb.data(), w, h, 3, 90);
    jpeg.resize(jpeg.size() * 2 / 3);
    DecodedPicture pic;
    ASSERT_TRUE(DecodeJpeg(jpeg.data(), jpeg.size(), &pic));
    EXPECT_EQ(pic.width, w);
    EXPECT_EQ(pic.height, h);
    EXPECT_GE(pic.warnings, 1);
}

TEST(DecodeJpeg, RefusesEmptyCorruptAndOversizedInput)
{
    DecodedPicture pic;
    EXPECT_FALSE(DecodeJpeg(nullptr, 0, &pic));
    const uint8_t zero = 0;
    EXPECT_FALSE(DecodeJpeg(&zero, 0, &pic));
    const uint8_t junk[] = {'n', 'o', 't', ' ', 'a', ' ', 'j', 'p', 'e', 'g'};
    EXPECT_FALSE(DecodeJpeg(junk, sizeof junk, &pic));
    EXPECT_EQ(pic.pixels, nullptr);

    std::vector<uint8_t> rgb(8 * 8 * 3, 10);
    const std::vector<uint8_t> good = TestJpeg::Encode(rgb.data(), 8, 8, 3, 80);

    // A header of 0 x 0 gives no picture.
    std::vector<uint8_t> empty = good;
    ASSERT_TRUE(TestJpeg::PatchSize(empty, 0, 0));
    EXPECT_FALSE(DecodeJpeg(empty.data(), empty.size(), &pic));

    // A header announcing 60000 x 60000 is refused before anything is allocated.
    std::vector<uint8_t> huge = good;
    ASSERT_TRUE(TestJpeg::PatchSize(huge, 60000, 60000));
    EXPECT_FALSE(DecodeJpeg(huge.data(), huge.size(), &pic));

    // Only the start-of-image marker.
    const uint8_t soi[] = {0xFF, 0xD8};
    EXPECT_FALSE(DecodeJpeg(soi, sizeof soi, &pic));
}

TEST(FitFrame, KeepsAspectRatioAndCentres)
{
    FrameRect r;
    ASSERT_TRUE(FitFrame(0, 0, 400, 200, 1600, 1200, &r));
    EXPECT_EQ(r.width, 266);
    EXPECT_EQ(r.height, 200);
    EXPECT_EQ(r.left, 67);
    EXPECT_EQ(r.top, 0);

    // Wider picture than the rectangle: full width, centred vertically.
    ASSERT_TRUE(FitFrame(10, 20, 110, 120, 1920, 1080, &r));
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.width, 100);
    EXPECT_EQ(r.height, 56);
    EXPECT_EQ(r.top, 20 + 22);

    EXPECT_FALSE(FitFrame(0, 0, 0, 10, 4, 3, &r));
    EXPECT_FALSE(FitFrame(0, 10, 10, 10, 4, 3, &r));
    EXPECT_FALSE(FitFrame(0, 0, 10, 10, 0, 3, &r));
}
