#include "Helpers.h"

#include "imaging/Scaler.h"

#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

using namespace imaging;
using imaging_test::OwnedFrame;

namespace {

uint32_t WithMode(uint32_t id, uint32_t mode) { return id | mode << kScaleModeShift; }

OwnedFrame Destination(int32_t w, int32_t h, uint32_t id)
{
    OwnedFrame d(FrameSize(w, h, id));
    d.frame.width = w;
    d.frame.height = h;
    return d;
}

// Nearest source index along one dimension, straight from the rule.
int64_t NearestSource(int64_t i, int64_t s, int64_t d)
{
    if (d < s)
        return (2 * i + 1) * s / (2 * d);
    for (int64_t j = 0; j < s; ++j)
        if (j * d / s <= i && i < (j + 1) * d / s)
            return j;
    return -1;
}

// Reference pixel resize, pixel by pixel.
std::vector<uint8_t> ReferenceResize(const FrameBuffer &src, int64_t dw, int64_t dh)
{
    const uint32_t id = FormatIdOf(src.format);
    std::vector<uint8_t> out(FrameSize(dw, dh, id));
    const int64_t in_row = static_cast<int64_t>(PackedRowBytes(src.width, id));
    const int64_t out_row = static_cast<int64_t>(PackedRowBytes(dw, id));
    for (int64_t y = 0; y < dh; ++y) {
        const uint8_t *in = src.data + NearestSource(y, src.height, dh) * in_row;
        uint8_t *o = out.data() + y * out_row;
        for (int64_t x = 0; x < dw; ++x) {
            const int64_t m = NearestSource(x, src.width, dw);
            if (id == kRgb4) {
                const uint8_t nib = (m & 1) ? in[m / 2] & 0x0F : in[m / 2] >> 4;
                o[x / 2] = static_cast<uint8_t>((x & 1) ? (o[x / 2] & 0xF0) | nib : (o[x / 2] & 0x0F) | nib << 4);
            } else if (id == kYuy2 || id == kUyvy) {
                const int64_t l = id == kYuy2 ? 0 : 1;
                o[2 * x + l] = in[2 * m + l];
                // Same parity: the pixel's own chroma byte; otherwise its partner's.
                const int64_t from = (x & 1) == (m & 1) ? m : (m ^ 1);
                o[2 * x + 1 - l] = in[2 * from + 1 - l];
            } else {
                const int64_t b = BitsPerPixel(id) / 8;
                std::memcpy(o + x * b, in + m * b, static_cast<size_t>(b));
            }
        }
    }
    return out;
}

// Weights of one output element in 1/128 units: (source index, weight) pairs.
std::vector<std::pair<int64_t, int64_t>> ReferenceWeights(int64_t i, int64_t s, int64_t d)
{
    std::vector<std::pair<int64_t, int64_t>> w;
    if (d > s) {
        const int64_t j = i * s / d;
        if ((i + 1) * s > (j + 1) * d && j + 1 < s) {
            const int64_t f = ((j + 1) * d - i * s) * 128 / s;  // first element's share of the output
            w = {{j, f}, {j + 1, 128 - f}};
        } else {
            w = {{j, 128}};
        }
        return w;
    }
    const int64_t first = i * s / d, last = (i + 1) * s / d;
    for (int64_t e = first; e <= last && e < s; ++e) {
        int64_t weight = 128;
        if (e == first)
            weight = (first + 1) * 128 - i * s * 128 / d;
        if (e == last)
            weight = (i + 1) * s * 128 / d - last * 128;
        if (weight > 0)
            w.emplace_back(e, weight);
    }
    return w;
}

std::vector<uint8_t> ReferenceAverage(const FrameBuffer &src, int64_t dw, int64_t dh)
{
    std::vector<uint8_t> out(static_cast<size_t>(dw * dh * 3));
    for (int64_t y = 0; y < dh; ++y) {
        const auto wy = ReferenceWeights(y, src.height, dh);
        for (int64_t x = 0; x < dw; ++x) {
            const auto wx = ReferenceWeights(x, src.width, dw);
            uint64_t total = 0, sum[3] = {0, 0, 0};
            for (auto [sy, a] : wy)
                for (auto [sx, b] : wx) {
                    total += static_cast<uint64_t>(a * b);
                    for (int c = 0; c < 3; ++c)
                        sum[c] += static_cast<uint64_t>(a * b) * src.data[(sy * src.width + sx) * 3 + c];
                }
            for (int c = 0; c < 3; ++c)
                out[static_cast<size_t>((y * dw + x) * 3 + c)] = static_cast<uint8_t>(sum[c] / total);
        }
    }
    return out;
}

}  // namespace

TEST(PixelResize, HalvingTakesOddRowsAndPixels)
{
    OwnedFrame src(640, 480, WithMode(kYuy2, 1), 4);
    OwnedFrame dst = Destination(320, 240, kYuy2);
    Scaler scaler;
    ASSERT_TRUE(scaler.Scale(src.frame, dst.frame));
    EXPECT_EQ(dst.frame.format, kYuy2);
    for (int64_t y = 0; y < 240; ++y)
        for (int64_t x = 0; x < 320; ++x) {
            const uint8_t *in = src.bytes.data() + (2 * y + 1) * 1280;
            const uint8_t *out = dst.bytes.data() + y * 640;
            ASSERT_EQ(out[2 * x], in[2 * (2 * x + 1)]);
            // Output and source pixel differ in parity when x is even: the partner's chroma.
            ASSERT_EQ(out[2 * x + 1], in[4 * x + 2 * (x & 1) + 1]);
        }
}

TEST(PixelResize, DoublingRepeatsRowsAndPixels)
{
    OwnedFrame src(320, 240, WithMode(kBgr24, 1) | kBottomUp, 5);
    OwnedFrame dst = Destination(640, 480, kBgr24);
    Scaler scaler;
    ASSERT_TRUE(scaler.Scale(src.frame, dst.frame));
    EXPECT_EQ(dst.frame.format, kBgr24 | kBottomUp);
    for (int64_t y = 0; y < 480; ++y)
        for (int64_t x = 0; x < 640; ++x)
            ASSERT_EQ(0, std::memcmp(&dst.bytes[static_cast<size_t>((y * 640 + x) * 3)],
                                     &src.bytes[static_cast<size_t>(((y / 2) * 320 + x / 2) * 3)], 3));
}

TEST(PixelResize, EqualsReferenceForEveryId)
{
    const std::vector<uint32_t> ids = {kRgb4, kRgb332, kLuma8, kRgb565, kBgr565, kRgb24, kBgr24, kYuy2, kUyvy};
    const std::vector<imaging_test::Size> sizes = {{2, 2}, {6, 5}, {10, 7}, {16, 16}, {34, 9}, {50, 40}, {98, 3}};
    for (uint32_t id : ids)
        for (auto a : sizes)
            for (auto b : sizes) {
                OwnedFrame src(a.width, a.height, id, id ^ static_cast<uint32_t>(a.width * b.height));
                OwnedFrame dst = Destination(b.width, b.height, id);
                ASSERT_TRUE(PixelResize(src.frame, dst.frame));
                EXPECT_EQ(dst.bytes, ReferenceResize(src.frame, b.width, b.height))
                    << id << " " << a.width << "x" << a.height << " -> " << b.width << "x" << b.height;
            }
}

TEST(WeightedAverage, EqualsReference)
{
    // Includes exact halvings (12x18, 64x48), which take their own path.
    const std::vector<imaging_test::Size> sizes = {{2, 2},   {4, 3},   {6, 6},   {6, 9},   {10, 7},
                                                   {8, 30}, {12, 18}, {30, 20}, {32, 24}, {64, 48}};
    for (auto a : sizes)
        for (auto b : sizes) {
            OwnedFrame src(a.width, a.height, kRgb24, static_cast<uint32_t>(a.width * 7 + b.height));
            OwnedFrame dst = Destination(b.width, b.height, kRgb24);
            ASSERT_TRUE(WeightedAverage(src.frame, dst.frame));
            EXPECT_EQ(dst.bytes, ReferenceAverage(src.frame, b.width, b.height))
                << a.width << "x" << a.height << " -> " << b.width << "x" << b.height;
        }
    // Integer shrink: the plain mean of the block, truncated.
    std::vector<uint8_t> px = {10, 20, 30, 11, 21, 31, 12, 22, 32, 13, 23, 34};
    std::vector<uint8_t> out(3);
    FrameBuffer src = {px.data(), px.size(), kBgr24, 2, 2}, dst = {out.data(), 3, 0, 1, 1};
    ASSERT_TRUE(WeightedAverage(src, dst));
    EXPECT_EQ(out, (std::vector<uint8_t>{11, 21, 31}));
    // A 3x shrink of one row: (a + b + c) / 3.
    std::vector<uint8_t> row = {0, 0, 0, 1, 1, 1, 255, 255, 255};
    src = {row.data(), row.size(), kRgb24, 3, 1};
    ASSERT_TRUE(WeightedAverage(src, dst));
    EXPECT_EQ(out, (std::vector<uint8_t>{85, 85, 85}));
    OwnedFrame yuy2(8, 8, kYuy2, 1);
    OwnedFrame d = Destination(4, 4, kYuy2);
    EXPECT_FALSE(WeightedAverage(yuy2.frame, d.frame));
}

TEST(Scaler, ModeChoiceAndFallbacks)
{
    // Mode 2 on YUY2 falls back to the pixel resize.
    OwnedFrame yuy2(64, 48, WithMode(kYuy2, 2), 9);
    OwnedFrame a = Destination(40, 30, kYuy2), b = Destination(40, 30, kYuy2);
    Scaler scaler;
    ASSERT_TRUE(scaler.Scale(yuy2.frame, a.frame));
    ASSERT_TRUE(PixelResize(yuy2.frame, b.frame));
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(scaler.ContextBuilds(), 0u);

    // Mode 2 on planar 4:2:0 runs libswscale's area algorithm on the same planes.
    OwnedFrame planar(64, 48, WithMode(kPlanarYvu420, 2), 10);
    OwnedFrame ours = Destination(40, 30, kPlanarYvu420), theirs = Destination(40, 30, kPlanarYvu420);
    ASSERT_TRUE(scaler.Scale(planar.frame, ours.frame));
    EXPECT_EQ(scaler.ContextBuilds(), 1u);
    SwsContext *ctx = sws_getContext(64, 48, AV_PIX_FMT_YUV420P, 40, 30, AV_PIX_FMT_YUV420P, SWS_AREA, nullptr,
                                     nullptr, nullptr);
    ASSERT_NE(ctx, nullptr);
    const uint8_t *in[4] = {planar.bytes.data(), planar.bytes.data() + 64 * 48 + 32 * 24, planar.bytes.data() + 64 * 48,
                            nullptr};
    const int in_stride[4] = {64, 32, 32, 0};
    uint8_t *out[4] = {theirs.bytes.data(), theirs.bytes.data() + 40 * 30 + 20 * 15, theirs.bytes.data() + 40 * 30,
                       nullptr};
    const int out_stride[4] = {40, 20, 20, 0};
    EXPECT_EQ(sws_scale(ctx, in, in_stride, 0, 48, out, out_stride), 30);
    sws_freeContext(ctx);
    EXPECT_EQ(ours.bytes, theirs.bytes);

    // Mode 1 on 32-bit pixels becomes libswscale's nearest neighbour.
    OwnedFrame argb(16, 8, WithMode(kPixel32, 1), 2);
    OwnedFrame argb_out = Destination(8, 4, kPixel32);
    Scaler second;
    ASSERT_TRUE(second.Scale(argb.frame, argb_out.frame));
    EXPECT_EQ(second.ContextBuilds(), 1u);

    // Every libswscale mode produces a frame.
    for (uint32_t mode = 3; mode <= 12; ++mode) {
        OwnedFrame src(64, 48, WithMode(kYuy2, mode), mode);
        OwnedFrame dst = Destination(32, 24, kYuy2);
        Scaler s;
        EXPECT_TRUE(s.Scale(src.frame, dst.frame)) << mode;
        EXPECT_NE(SwsFlagForMode(mode), 0);
    }
    EXPECT_EQ(SwsFlagForMode(7), SWS_POINT);
    EXPECT_EQ(SwsFlagForMode(12), SWS_SPLINE);
    EXPECT_EQ(SwsFlagForMode(13), 0);
}

TEST(Scaler, SizeRulesAndRefusals)
{
    Scaler scaler;
    OwnedFrame src(640, 480, WithMode(kYuy2, 1), 1);
    OwnedFrame wide = Destination(641, 480, kYuy2);
    EXPECT_FALSE(scaler.Scale(src.frame, wide.frame));
    // An odd height is fine for packed ids, refused for the planar ones.
    OwnedFrame odd_rows = Destination(320, 241, kYuy2);
    EXPECT_TRUE(scaler.Scale(src.frame, odd_rows.frame));
    OwnedFrame planar(640, 480, WithMode(kPlanarYuv420, 1), 1);
    OwnedFrame planar_odd = Destination(320, 241, kPlanarYuv420);
    EXPECT_FALSE(scaler.Scale(planar.frame, planar_odd.frame));
    // Short buffers.
    OwnedFrame short_dst = Destination(320, 240, kYuy2);
    short_dst.frame.size -= 1;
    EXPECT_FALSE(scaler.Scale(src.frame, short_dst.frame));
    OwnedFrame short_src(640, 480, WithMode(kYuy2, 1), 1);
    short_src.frame.size -= 1;
    OwnedFrame dst = Destination(320, 240, kYuy2);
    EXPECT_FALSE(scaler.Scale(short_src.frame, dst.frame));
    // Compressed and unknown ids are refused even at equal sizes.
    OwnedFrame comp(64, 48, kYuy2, 1);
    comp.frame.format = kCompressedYuv;
    OwnedFrame same = Destination(64, 48, kYuy2);
    EXPECT_FALSE(scaler.Scale(comp.frame, same.frame));
    comp.frame.format = 0x0E10;
    EXPECT_FALSE(scaler.Scale(comp.frame, same.frame));
    // Mode 0 at different sizes resizes; the planar ids have no own resize for it.
    OwnedFrame planar_dst = Destination(320, 240, kPlanarYuv420);
    planar.frame.format = kPlanarYuv420;
    EXPECT_FALSE(scaler.Scale(planar.frame, planar_dst.frame));
}

TEST(Scaler, EqualSizesCopyWhateverTheMode)
{
    for (uint32_t mode = 0; mode < 16; ++mode) {
        OwnedFrame src(48, 32, WithMode(kPlanarYvu420, mode) | 0x00200000u | kRequestDirect, mode);
        OwnedFrame dst = Destination(48, 32, kPlanarYvu420);
        Scaler scaler;
        ASSERT_TRUE(scaler.Scale(src.frame, dst.frame)) << mode;
        EXPECT_EQ(dst.bytes, src.bytes);
        EXPECT_EQ(dst.frame.format, kPlanarYvu420 | 0x00200000u);
        EXPECT_EQ(scaler.ContextBuilds(), 0u);
    }
}

TEST(Scaler, ContextIsCachedUntilSomethingChanges)
{
    Scaler scaler;
    OwnedFrame src(64, 48, WithMode(kBgr24, 4), 3);
    OwnedFrame dst = Destination(32, 24, kBgr24);
    ASSERT_TRUE(scaler.Scale(src.frame, dst.frame));
    ASSERT_TRUE(scaler.Scale(src.frame, dst.frame));
    EXPECT_EQ(scaler.ContextBuilds(), 1u);
    src.frame.format = WithMode(kBgr24, 5);  // only the mode changes
    ASSERT_TRUE(scaler.Scale(src.frame, dst.frame));
    EXPECT_EQ(scaler.ContextBuilds(), 2u);
    OwnedFrame other = Destination(48, 24, kBgr24);
    ASSERT_TRUE(scaler.Scale(src.frame, other.frame));
    EXPECT_EQ(scaler.ContextBuilds(), 3u);
    ASSERT_TRUE(scaler.Scale(src.frame, other.frame));
    EXPECT_EQ(scaler.ContextBuilds(), 3u);
}

// Frames whose rows are whole multiples of 64 bytes are scaled in the caller's
// buffers; the result equals the one made through padded copies (forced here by
// a misaligned buffer).
TEST(Scaler, InPlaceScalingEqualsScalingThroughCopies)
{
    struct Case {
        uint32_t id;
        int32_t sw, sh, dw, dh;
    };
    const Case cases[] = {{kYuy2, 128, 64, 64, 32},      {kPixel32, 128, 64, 192, 96},
                          {kBgr24, 128, 64, 64, 32},     {kPlanarYuv420, 256, 128, 128, 64},
                          {kLuma8, 128, 64, 256, 128},   {kRgb565, 64, 32, 96, 48}};
    for (const Case &c : cases)
        for (uint32_t mode : {3u, 5u, 7u, 8u}) {
            const size_t in_size = FrameSize(c.sw, c.sh, c.id), out_size = FrameSize(c.dw, c.dh, c.id);
            std::vector<uint8_t> store(in_size + out_size * 2 + 256);
            uint8_t *base = store.data() + (64 - reinterpret_cast<uintptr_t>(store.data()) % 64) % 64;
            uint8_t *aligned_in = base, *aligned_out = base + in_size;
            for (size_t i = 0; i < in_size; ++i)
                aligned_in[i] = static_cast<uint8_t>(i * 7 + i / 97);
            std::vector<uint8_t> odd_in(in_size + 1), odd_out(out_size + 1);
            std::memcpy(odd_in.data() + 1, aligned_in, in_size);
            const uint32_t code = WithMode(c.id, mode);
            FrameBuffer src{aligned_in, in_size, code, c.sw, c.sh}, dst{aligned_out, out_size, 0, c.dw, c.dh};
            FrameBuffer src2{odd_in.data() + 1, in_size, code, c.sw, c.sh};
            FrameBuffer dst2{odd_out.data() + 1, out_size, 0, c.dw, c.dh};
            Scaler a, b;
            ASSERT_TRUE(a.Scale(src, dst)) << std::hex << c.id << " mode " << mode;
            ASSERT_TRUE(b.Scale(src2, dst2)) << std::hex << c.id << " mode " << mode;
            EXPECT_EQ(std::memcmp(aligned_out, odd_out.data() + 1, out_size), 0)
                << std::hex << c.id << " mode " << std::dec << mode;
        }
}
