#include "Helpers.h"

#include "imaging/Convert.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace imaging;
using imaging_test::OwnedFrame;

namespace {

std::vector<uint8_t> Repeat(std::vector<uint8_t> pair, size_t times)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < times; ++i)
        out.insert(out.end(), pair.begin(), pair.end());
    return out;
}

FrameBuffer View(std::vector<uint8_t> &bytes, uint32_t format, int32_t w, int32_t h)
{
    return {bytes.data(), bytes.size(), format, w, h};
}

uint16_t Word(const std::vector<uint8_t> &b, size_t i) { return static_cast<uint16_t>(b[2 * i] | b[2 * i + 1] << 8); }

}  // namespace

TEST(FormatCodes, BitsAndSizes)
{
    EXPECT_EQ(BitsPerPixel(0x0004), 4);
    EXPECT_EQ(BitsPerPixel(0x80300018), 24);
    EXPECT_EQ(BitsPerPixel(kYuy2), 16);
    EXPECT_EQ(BitsPerPixel(kPlanarYuv420), 12);
    EXPECT_EQ(BitsPerPixel(kCompressedBgr24), 24);
    EXPECT_EQ(BitsPerPixel(kPixel32), 32);
    EXPECT_EQ(BitsPerPixel(0x0E00), 0);
    EXPECT_EQ(FrameSize(5, 3, kRgb4), 9u);
    EXPECT_EQ(FrameSize(5, 3, kPlanarYvu420), 27u);
    EXPECT_EQ(FrameSize(640, 480, 0x80000800), 921600u);
    EXPECT_EQ(FrameSize(640, 480, kCompressedYuv), 0u);
    // No 32-bit wrap for large sizes.
    EXPECT_EQ(FrameSize(70000, 70000, kPixel32), 4ull * 70000 * 70000);
}

TEST(ConvertFromYuy2, WorkedColours)
{
    std::vector<uint8_t> white = Repeat({235, 128, 235, 128}, 2);
    FrameBuffer f = View(white, kYuy2, 4, 1);
    ASSERT_TRUE(ConvertFromYuy2(f, kRgb565));
    EXPECT_EQ(Word(white, 0), 0xFFFF);
    EXPECT_EQ(Word(white, 3), 0xFFFF);

    std::vector<uint8_t> black = Repeat({16, 128, 16, 128}, 2);
    f = View(black, kYuy2, 4, 1);
    ASSERT_TRUE(ConvertFromYuy2(f, kRgb332));
    EXPECT_EQ(f.size, 4u);
    EXPECT_EQ(black[0], 0);
    EXPECT_EQ(black[3], 0);

    white = Repeat({235, 128, 235, 128}, 2);
    f = View(white, kYuy2, 4, 1);
    ASSERT_TRUE(ConvertFromYuy2(f, kRgb4));
    EXPECT_EQ(f.size, 2u);
    EXPECT_EQ(white[0], 0xFF);

    // Y 255 with U 255: blue clamps to 255; red 255; green 278 - 50 = 228.
    std::vector<uint8_t> bright = {255, 255, 255, 128};
    f = View(bright, kYuy2, 2, 1);
    ASSERT_TRUE(ConvertFromYuy2(f, kRgb565));
    EXPECT_EQ(Word(bright, 0), 0xF800 | (228 & 0xFC) << 3 | 0x1F);
    bright = {255, 255, 255, 128};
    f = View(bright, kYuy2, 2, 1);
    ASSERT_TRUE(ConvertFromYuy2(f, kBgr565));
    EXPECT_EQ(Word(bright, 0), 0xF800 | (228 & 0xFC) << 3 | 0x1F);
    // Pure red-ish: V high, U low. 0x0400 is 0x0010 with red and blue exchanged.
    std::vector<uint8_t> a = {120, 60, 130, 220}, b = a;
    FrameBuffer fa = View(a, kYuy2, 2, 1), fb = View(b, kYuy2, 2, 1);
    ASSERT_TRUE(ConvertFromYuy2(fa, kRgb565));
    ASSERT_TRUE(ConvertFromYuy2(fb, kBgr565));
    for (size_t i = 0; i < 2; ++i) {
        const uint16_t x = Word(a, i), y = Word(b, i);
        EXPECT_EQ(x >> 11, y & 0x1F);
        EXPECT_EQ(x & 0x1F, y >> 11);
        EXPECT_EQ(x & 0x7E0, y & 0x7E0);
    }
}

TEST(ConvertFromYuy2, UyvySwapAndRefusals)
{
    std::vector<uint8_t> bytes = {10, 20, 30, 40, 50, 60, 70, 80};
    FrameBuffer f = View(bytes, kYuy2 | kBottomUp, 4, 1);
    ASSERT_TRUE(ConvertFromYuy2(f, kUyvy));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{20, 10, 40, 30, 60, 50, 80, 70}));
    EXPECT_EQ(f.format, kUyvy | kBottomUp);

    for (uint32_t target : {uint32_t{kRgb24}, uint32_t{kBgr24}, uint32_t{kCompressedYuv}, uint32_t{kPlanarYvu420}}) {
        OwnedFrame src(8, 4, kYuy2, 3);
        const std::vector<uint8_t> before = src.bytes;
        EXPECT_FALSE(ConvertFromYuy2(src.frame, target)) << target;
        EXPECT_EQ(src.bytes, before);
        EXPECT_EQ(src.frame.format, kYuy2);
    }
    OwnedFrame uyvy(8, 4, kUyvy, 3);
    EXPECT_FALSE(ConvertFromYuy2(uyvy.frame, kRgb565));
    OwnedFrame same(8, 4, kYuy2, 3);
    const std::vector<uint8_t> before = same.bytes;
    EXPECT_TRUE(ConvertFromYuy2(same.frame, kYuy2));
    EXPECT_EQ(same.bytes, before);
    // A buffer shorter than the frame is refused.
    OwnedFrame short_frame(8, 4, kYuy2, 3);
    short_frame.frame.size -= 1;
    EXPECT_FALSE(ConvertFromYuy2(short_frame.frame, kRgb565));
}

TEST(ConvertFromYuy2, RowOrderAndSmallFormatsAgree)
{
    for (int32_t h : {1, 4, 7}) {
        OwnedFrame plain(10, h, kYuy2, 11);
        OwnedFrame flipped(10, h, kYuy2, 11);
        OwnedFrame small(10, h, kYuy2, 11);
        OwnedFrame nibbles(10, h, kYuy2, 11);
        ASSERT_TRUE(ConvertFromYuy2(plain.frame, kRgb565));
        ASSERT_TRUE(ConvertFromYuy2(flipped.frame, kRgb565 | kBottomUp));
        EXPECT_EQ(flipped.frame.format, kRgb565 | kBottomUp);
        ASSERT_TRUE(FlipRows(plain.bytes.data(), h, 20));
        EXPECT_EQ(plain.bytes, flipped.bytes) << h;
        ASSERT_TRUE(FlipRows(plain.bytes.data(), h, 20));
        // 8-bit and 4-bit results keep the top bits of the same colours.
        ASSERT_TRUE(ConvertFromYuy2(small.frame, kRgb332));
        ASSERT_TRUE(ConvertFromYuy2(nibbles.frame, kRgb4));
        for (int i = 0; i < 10 * h; ++i) {
            const uint16_t w = Word(plain.bytes, static_cast<size_t>(i));
            const int r = w >> 8 & 0xF8, g = (w >> 3) & 0xFC, b = (w << 3) & 0xF8;
            EXPECT_EQ(small.bytes[static_cast<size_t>(i)], (r & 0xC0) | (g >> 5) << 3 | b >> 5);
            const uint8_t nib = static_cast<uint8_t>((b >> 7) << 3 | (g >> 6) << 1 | r >> 7);
            const uint8_t byte = nibbles.bytes[static_cast<size_t>(i / 2)];
            EXPECT_EQ((i & 1) ? byte >> 4 : byte & 0x0F, nib);
        }
    }
}

TEST(Flip, RefusalsAndPlanes)
{
    OwnedFrame wide(641, 4, kRgb24, 2);
    const std::vector<uint8_t> before = wide.bytes;
    EXPECT_FALSE(FlipRows(wide.bytes.data(), 4, 1923));
    EXPECT_FALSE(FlipFrame(wide.frame));
    EXPECT_EQ(wide.bytes, before);
    OwnedFrame odd(8, 5, kPlanarYvu420, 2);
    EXPECT_FALSE(FlipFrame(odd.frame));
    OwnedFrame compressed(8, 4, kYuy2, 2);
    compressed.frame.format = kCompressedYuv;
    EXPECT_FALSE(FlipFrame(compressed.frame));

    // Planar: every plane turns upside down by itself.
    OwnedFrame planar(8, 4, kPlanarYvu420, 5);
    const std::vector<uint8_t> orig = planar.bytes;
    ASSERT_TRUE(FlipFrame(planar.frame));
    EXPECT_TRUE(IsBottomUp(planar.frame.format));
    for (int y = 0; y < 4; ++y)
        EXPECT_EQ(0, std::memcmp(&planar.bytes[static_cast<size_t>(y * 8)], &orig[static_cast<size_t>((3 - y) * 8)], 8));
    for (int plane = 0; plane < 2; ++plane)
        for (int y = 0; y < 2; ++y)
            EXPECT_EQ(0, std::memcmp(&planar.bytes[static_cast<size_t>(32 + plane * 8 + y * 4)],
                                     &orig[static_cast<size_t>(32 + plane * 8 + (1 - y) * 4)], 4));
}

TEST(Flip, TwiceIsIdentityForEveryId)
{
    for (uint32_t id : imaging_test::RotatableIds()) {
        for (auto [w, h] : std::vector<imaging_test::Size>{{4, 2}, {8, 6}, {12, 7}, {40, 30}}) {
            OwnedFrame f(w, h, id, static_cast<uint32_t>(id + w));
            const std::vector<uint8_t> before = f.bytes;
            const bool ok = FlipFrame(f.frame);
            if (!ok)
                continue;  // planar with odd height, strides not a multiple of 4
            ASSERT_TRUE(FlipFrame(f.frame));
            EXPECT_EQ(f.bytes, before) << id << " " << w << "x" << h;
            EXPECT_EQ(f.frame.format, id);
        }
    }
}

namespace {

// Straightforward reference: the address of pixel (x, y) of a packed frame.
const uint8_t *At(const FrameBuffer &f, int64_t x, int64_t y)
{
    const int64_t b = BitsPerPixel(f.format) / 8;
    return f.data + (y * f.width + x) * b;
}

}  // namespace

TEST(Rotate, WorkedCasesAndRefusals)
{
    OwnedFrame odd(3, 2, kRgb24, 1);
    OwnedFrame out(64);
    EXPECT_FALSE(Rotate180(odd.frame));
    EXPECT_FALSE(Rotate90(odd.frame, out.frame, true));
    OwnedFrame nibbles(4, 2, kRgb4, 1);
    EXPECT_FALSE(Rotate90(nibbles.frame, out.frame, true));
    OwnedFrame big(8, 8, kRgb24, 1);
    OwnedFrame small_out(8 * 8 * 3 - 1);
    EXPECT_FALSE(Rotate90(big.frame, small_out.frame, false));

    // A 2 x 2 YUY2 block: luma moves like pixels, chroma is the mean of the two rows.
    std::vector<uint8_t> yuy2 = {1, 100, 2, 200, 3, 51, 4, 150};
    FrameBuffer src = {yuy2.data(), yuy2.size(), kYuy2, 2, 2};
    std::vector<uint8_t> cw(8), ccw(8);
    FrameBuffer dst = {cw.data(), cw.size(), 0, 0, 0};
    ASSERT_TRUE(Rotate90(src, dst, true));
    EXPECT_EQ(cw, (std::vector<uint8_t>{3, 75, 1, 175, 4, 75, 2, 175}));
    dst = {ccw.data(), ccw.size(), 0, 0, 0};
    ASSERT_TRUE(Rotate90(src, dst, false));
    EXPECT_EQ(ccw, (std::vector<uint8_t>{2, 75, 4, 175, 1, 75, 3, 175}));

    // 180 degrees on 4-bit pixels exchanges the nibbles too; the scale and rotation bits go.
    std::vector<uint8_t> nib = {0x12, 0x34, 0x56, 0x78};
    FrameBuffer n = {nib.data(), nib.size(), kRgb4 | 0x00350000u | kBottomUp, 4, 2};
    ASSERT_TRUE(Rotate180(n));
    EXPECT_EQ(nib, (std::vector<uint8_t>{0x87, 0x65, 0x43, 0x21}));
    EXPECT_EQ(n.format, kRgb4 | kBottomUp);
    std::vector<uint8_t> uyvy = {10, 1, 20, 2, 30, 3, 40, 4};
    FrameBuffer u = {uyvy.data(), uyvy.size(), kUyvy, 4, 1};
    u.height = 2;
    u.width = 2;
    ASSERT_TRUE(Rotate180(u));
    EXPECT_EQ(uyvy, (std::vector<uint8_t>{30, 4, 40, 3, 10, 2, 20, 1}));
}

TEST(Rotate, PackedMatchesReferenceAndRoundTrips)
{
    for (uint32_t id : imaging_test::SimplePackedIds()) {
        for (auto [w, h] : imaging_test::EvenSizes()) {
            OwnedFrame src(w, h, id, static_cast<uint32_t>(w * 31 + h));
            OwnedFrame cw(src.frame.size), back(src.frame.size);
            ASSERT_TRUE(Rotate90(src.frame, cw.frame, true));
            ASSERT_EQ(cw.frame.width, h);
            ASSERT_EQ(cw.frame.height, w);
            const int b = imaging_test::BytesPerPixel(id);
            for (int64_t y = 0; y < h; ++y)
                for (int64_t x = 0; x < w; ++x)
                    ASSERT_EQ(0, std::memcmp(At(cw.frame, h - 1 - y, x), At(src.frame, x, y), static_cast<size_t>(b)))
                        << id << " " << w << "x" << h;
            ASSERT_TRUE(Rotate90(cw.frame, back.frame, false));
            EXPECT_EQ(back.bytes, src.bytes);
            // 180 degrees: pixel i trades with pixel N-1-i; twice is the identity.
            OwnedFrame turned(w, h, id, static_cast<uint32_t>(w * 31 + h));
            ASSERT_TRUE(Rotate180(turned.frame));
            for (int64_t i = 0; i < int64_t{w} * h; ++i)
                ASSERT_EQ(0, std::memcmp(turned.bytes.data() + i * b,
                                         src.bytes.data() + (int64_t{w} * h - 1 - i) * b, static_cast<size_t>(b)));
            ASSERT_TRUE(Rotate180(turned.frame));
            EXPECT_EQ(turned.bytes, src.bytes);
        }
    }
}

TEST(Rotate, ChromaFormatsRoundTrip)
{
    for (uint32_t id : {uint32_t{kYuy2}, uint32_t{kUyvy}, uint32_t{kPlanarYvu420}, uint32_t{kPlanarYuv420}}) {
        for (auto [w, h] : imaging_test::EvenSizes()) {
            OwnedFrame src(w, h, id, static_cast<uint32_t>(w + 7 * h));
            if (id == kYuy2 || id == kUyvy) {
                // Equal chroma in both rows of each block survives the averaging.
                const int64_t stride = 2 * int64_t{w};
                const int64_t c = id == kYuy2 ? 1 : 0;
                for (int64_t y = 0; y < h; y += 2)
                    for (int64_t x = 0; x < w; ++x)
                        src.bytes[static_cast<size_t>((y + 1) * stride + 2 * x + c)] =
                            src.bytes[static_cast<size_t>(y * stride + 2 * x + c)];
            }
            const std::vector<uint8_t> orig = src.bytes;
            OwnedFrame cw(src.frame.size), back(src.frame.size);
            ASSERT_TRUE(Rotate90(src.frame, cw.frame, true));
            ASSERT_TRUE(Rotate90(cw.frame, back.frame, false));
            EXPECT_EQ(back.bytes, orig) << id << " " << w << "x" << h;
            ASSERT_TRUE(Rotate90(src.frame, cw.frame, false));
            ASSERT_TRUE(Rotate90(cw.frame, back.frame, true));
            EXPECT_EQ(back.bytes, orig) << id << " " << w << "x" << h;
            ASSERT_TRUE(Rotate180(src.frame));
            if (IsPlanar420(id)) {
                // Luma plane reversed byte by byte.
                const int64_t n = int64_t{w} * h;
                for (int64_t i = 0; i < n; ++i)
                    ASSERT_EQ(src.bytes[static_cast<size_t>(i)], orig[static_cast<size_t>(n - 1 - i)]);
            }
            ASSERT_TRUE(Rotate180(src.frame));
            EXPECT_EQ(src.bytes, orig);
        }
    }
}

namespace {
void ExpectRect(const Rect &r, int32_t x, int32_t y, int32_t w, int32_t h)
{
    EXPECT_EQ(r.x, x);
    EXPECT_EQ(r.y, y);
    EXPECT_EQ(r.width, w);
    EXPECT_EQ(r.height, h);
}
}  // namespace

TEST(CropRect, Normalisation)
{
    Rect r{5, 3, 10, 10};
    ASSERT_TRUE(NormaliseCropRect(r, 640, 480, kRgb24));
    ExpectRect(r, 4, 3, 12, 10);
    r = {5, 3, 10, 10};
    ASSERT_TRUE(NormaliseCropRect(r, 640, 480, kPlanarYuv420));
    ExpectRect(r, 4, 2, 12, 12);
    r = {700, 500, 20, 20};
    ASSERT_TRUE(NormaliseCropRect(r, 640, 480, kYuy2));
    ExpectRect(r, 0, 0, 640, 480);
    // Right edge rounded past the frame comes back by 4.
    r = {600, 0, 42, 10};
    ASSERT_TRUE(NormaliseCropRect(r, 642, 480, kRgb24));
    EXPECT_EQ(r.x + r.width, 640);
    // Huge values do not wrap.
    r = {0x7FFFFFF0, 0x7FFFFFF0, 0x7FFFFFF0, 0x7FFFFFF0};
    ASSERT_TRUE(NormaliseCropRect(r, 640, 480, kRgb24));
    EXPECT_EQ(r.width, 640);
    EXPECT_FALSE(NormaliseCropRect(r, 0, 480, kRgb24));
}

namespace {

// Plain reference crop: rows of the rectangle, plane by plane.
std::vector<uint8_t> ReferenceCrop(const FrameBuffer &f, Rect r)
{
    const uint32_t id = FormatIdOf(f.format);
    std::vector<uint8_t> out;
    auto rows = [&](const uint8_t *plane, int64_t stride, int64_t x_bytes, int64_t w_bytes, int64_t y0, int64_t h) {
        for (int64_t y = y0; y < y0 + h; ++y)
            out.insert(out.end(), plane + y * stride + x_bytes, plane + y * stride + x_bytes + w_bytes);
    };
    const int64_t top = IsBottomUp(f.format) ? f.height - r.y - r.height : r.y;
    if (IsPlanar420(id) || id == kNv12 || id == kLuma8) {
        rows(f.data, f.width, r.x, r.width, top, r.height);
        const uint8_t *chroma = f.data + int64_t{f.width} * f.height;
        if (IsPlanar420(id)) {
            const int64_t q = (f.width / 2) * (f.height / 2);
            rows(chroma, f.width / 2, r.x / 2, r.width / 2, top / 2, r.height / 2);
            rows(chroma + q, f.width / 2, r.x / 2, r.width / 2, top / 2, r.height / 2);
        } else if (id == kNv12) {
            rows(chroma, f.width, r.x, r.width, top / 2, r.height / 2);
        }
        return out;
    }
    const int64_t b = BitsPerPixel(id) / 8;
    rows(f.data, f.width * b, r.x * b, r.width * b, top, r.height);
    return out;
}

}  // namespace

TEST(Crop, EqualsReferenceForEveryId)
{
    std::vector<uint32_t> ids = imaging_test::RotatableIds();
    ids.push_back(kNv12);
    const std::vector<Rect> rects = {{5, 3, 10, 10}, {0, 0, 64, 48}, {0, 10, 64, 6}, {60, 40, 30, 30},
                                     {-8, -8, 20, 20}, {33, 17, 3, 3}};
    for (uint32_t id : ids) {
        for (uint32_t order : {0u, kBottomUp}) {
            OwnedFrame src(64, 48, id | order | 0x00050000u, id);
            for (Rect r : rects) {
                ASSERT_TRUE(NormaliseCropRect(r, 64, 48, src.frame.format));
                OwnedFrame dst(FrameSize(r.width, r.height, id) + 16);
                ASSERT_TRUE(Crop(src.frame, dst.frame, r)) << id << " " << r.x << "," << r.y;
                EXPECT_EQ(dst.frame.width, r.width);
                EXPECT_EQ(dst.frame.height, r.height);
                EXPECT_EQ(dst.frame.format, id | order);
                const std::vector<uint8_t> want = ReferenceCrop(src.frame, r);
                ASSERT_EQ(0, std::memcmp(dst.bytes.data(), want.data(), want.size())) << id << " order " << order;
            }
        }
    }
}

TEST(Crop, Refusals)
{
    OwnedFrame src(64, 48, kRgb24, 1);
    OwnedFrame dst(64 * 48 * 3);
    EXPECT_FALSE(Crop(src.frame, dst.frame, {60, 0, 8, 8}));   // past the right edge
    EXPECT_FALSE(Crop(src.frame, dst.frame, {0, 44, 8, 8}));   // past the bottom
    EXPECT_FALSE(Crop(src.frame, dst.frame, {0, 0, 0, 8}));
    OwnedFrame tiny(8 * 8 * 3 - 1);
    EXPECT_FALSE(Crop(src.frame, tiny.frame, {0, 0, 8, 8}));
    OwnedFrame odd(63, 48, kYuy2, 1);
    odd.frame.width = 63;
    EXPECT_FALSE(Crop(odd.frame, dst.frame, {0, 0, 8, 8}));
    OwnedFrame nib(64, 48, kRgb4, 1);
    EXPECT_FALSE(Crop(nib.frame, dst.frame, {0, 0, 8, 8}));
    OwnedFrame comp(64, 48, kYuy2, 1);
    comp.frame.format = kCompressedYuv;
    EXPECT_FALSE(Crop(comp.frame, dst.frame, {0, 0, 8, 8}));
}
