// The vector kernels against the plain ones: same bytes for every input, odd
// sizes and unaligned buffers.
#include "Helpers.h"

#include "imaging/Convert.h"
#include "imaging/Decoder.h"
#include "imaging/Encoder.h"
#include "imaging/Scaler.h"
#include "imaging/Simd.h"

#include <gtest/gtest.h>

#include <functional>

using namespace imaging;
using imaging_test::OwnedFrame;

namespace {

// Runs `op` on a copy of `frame` with the vector kernels off, with them on but
// the 512-bit ones off, and with all of them on.
void ExpectSameEveryWay(const OwnedFrame &frame, const std::function<bool(FrameBuffer &, std::vector<uint8_t> &)> &op,
                        const std::string &what)
{
    std::vector<uint8_t> results[3];
    FrameBuffer after[3];
    for (int mode = 0; mode < 3; ++mode) {
        SetSimdEnabled(mode != 0);
        SetWideVectorsEnabled(mode == 2);
        // One byte of offset so the kernels see unaligned rows.
        std::vector<uint8_t> storage(frame.bytes.size() + 1);
        std::copy(frame.bytes.begin(), frame.bytes.end(), storage.begin() + 1);
        FrameBuffer f = frame.frame;
        f.data = storage.data() + 1;
        std::vector<uint8_t> out(frame.bytes.size() + 64, 0xCD);
        const bool ok = op(f, out);
        SetSimdEnabled(true);
        SetWideVectorsEnabled(true);
        ASSERT_TRUE(ok) << what;
        results[mode] = storage;
        results[mode].insert(results[mode].end(), out.begin(), out.end());
        after[mode] = f;
    }
    for (int mode = 1; mode < 3; ++mode) {
        EXPECT_EQ(results[0], results[mode]) << what << " (vector mode " << mode << ")";
        EXPECT_EQ(after[0].format, after[mode].format) << what;
        EXPECT_EQ(after[0].size, after[mode].size) << what;
    }
}

using ResizeJobs = std::vector<std::pair<imaging_test::Size, imaging_test::Size>>;

// Each job's resize with the vector kernels on and off, into an output with 64
// guard bytes behind it.
void ExpectResizesSameEveryWay(uint32_t id, const ResizeJobs &jobs, bool (*resize)(const FrameBuffer &, FrameBuffer &))
{
    for (auto [from, to] : jobs) {
        OwnedFrame f(from.width, from.height, id, static_cast<uint32_t>(from.width * 31 + to.width));
        ExpectSameEveryWay(
            f,
            [&](FrameBuffer &fb, std::vector<uint8_t> &out) {
                out.resize(static_cast<size_t>(FrameSize(to.width, to.height, id)) + 64, 0xCD);
                FrameBuffer dst{out.data(), out.size() - 64, 0, to.width, to.height};
                return resize(fb, dst);
            },
            std::to_string(id) + " " + std::to_string(from.width) + "x" + std::to_string(from.height) + " to " +
                std::to_string(to.width) + "x" + std::to_string(to.height));
    }
}

}  // namespace

TEST(VectorKernels, ColourConversionsOverEveryLumaAndChroma)
{
    // Every (Y, U) pair with a varying V, then every (Y, V) pair with a varying U,
    // across all targets and both row orders.
    for (bool every_v : {false, true}) {
        OwnedFrame all(512, 256, kYuy2, 1);
        for (int i = 0; i < 256; ++i)
            for (int j = 0; j < 256; ++j) {
                uint8_t *p = &all.bytes[static_cast<size_t>((i * 256 + j) * 4)];
                const auto other = static_cast<uint8_t>((i * 7 + j * 13) & 255);
                p[0] = static_cast<uint8_t>(i);
                p[1] = every_v ? other : static_cast<uint8_t>(j);
                p[2] = static_cast<uint8_t>(255 - i);
                p[3] = every_v ? static_cast<uint8_t>(j) : other;
            }
        for (uint32_t target : {uint32_t{kRgb565}, uint32_t{kBgr565}, uint32_t{kRgb565} | kBottomUp,
                                uint32_t{kRgb332}, uint32_t{kRgb4}, uint32_t{kUyvy}})
            ExpectSameEveryWay(
                all, [&](FrameBuffer &f, std::vector<uint8_t> &) { return ConvertFromYuy2(f, target); },
                "target " + std::to_string(target) + (every_v ? " every V" : " every U"));
    }
    for (auto [w, h] : std::vector<imaging_test::Size>{{2, 1}, {6, 3}, {18, 5}, {34, 7}, {50, 3}, {66, 9}, {642, 4}})
        for (uint32_t target : {uint32_t{kRgb565}, uint32_t{kBgr565} | kBottomUp, uint32_t{kRgb332}, uint32_t{kUyvy}}) {
            OwnedFrame f(w, h, kYuy2, static_cast<uint32_t>(w * h));
            ExpectSameEveryWay(f, [&](FrameBuffer &fb, std::vector<uint8_t> &) { return ConvertFromYuy2(fb, target); },
                               std::to_string(w) + "x" + std::to_string(h));
        }
}

TEST(VectorKernels, RotationsAndReversal)
{
    const std::vector<imaging_test::Size> sizes = {{2, 2},   {8, 8},   {10, 6},  {18, 14}, {32, 24},
                                                   {50, 34}, {66, 34}, {82, 18}, {130, 18}};
    for (uint32_t id : {uint32_t{kLuma8}, uint32_t{kPixel32}, uint32_t{kPlanarYvu420}, uint32_t{kRgb4}})
        for (auto [w, h] : sizes) {
            OwnedFrame f(w, h, id, static_cast<uint32_t>(id + w));
            const std::string what = std::to_string(id) + " " + std::to_string(w) + "x" + std::to_string(h);
            for (bool cw : {true, false}) {
                if (id == kRgb4)
                    continue;
                ExpectSameEveryWay(
                    f,
                    [&](FrameBuffer &fb, std::vector<uint8_t> &out) {
                        FrameBuffer dst{out.data(), out.size(), 0, 0, 0};
                        return Rotate90(fb, dst, cw);
                    },
                    what);
            }
            ExpectSameEveryWay(f, [&](FrameBuffer &fb, std::vector<uint8_t> &) { return Rotate180(fb); }, what);
        }
}

TEST(VectorKernels, DecoderPixelPairs)
{
    const std::vector<imaging_test::Size> sizes = {{2, 2}, {10, 4}, {34, 20}, {130, 10}};
    for (auto [w, h] : sizes) {
        OwnedFrame pic(w, h, kYuy2, static_cast<uint32_t>(w));
        for (uint32_t id : {uint32_t{kCompressedYuv}, uint32_t{kCompressedUyvy}}) {
            FrameEncoder enc;
            const auto frame = enc.EncodeSelfContained(pic.bytes.data(), uint32_t(w), uint32_t(h), id, {});
            std::vector<uint8_t> out[2];
            for (int plain = 0; plain < 2; ++plain) {
                SetSimdEnabled(plain == 0);
                FrameDecoder dec;
                out[plain].resize(pic.bytes.size());
                EXPECT_EQ(dec.Decode(frame.data(), frame.size(), out[plain].data(), out[plain].size()), frame.size());
                SetSimdEnabled(true);
            }
            EXPECT_EQ(out[0], pic.bytes);
            EXPECT_EQ(out[1], pic.bytes);
        }
    }
}

TEST(VectorKernels, WeightedAverageEnlargementsAndHalving)
{
    // Enlargements whose source pixels repeat, straddle, or end at the row's last
    // bytes; halvings around the vector blocks of eight and sixteen pixels.
    const ResizeJobs jobs = {{{2, 2}, {3, 3}},    {{4, 3}, {6, 5}},    {{7, 5}, {11, 9}},    {{10, 4}, {15, 6}},
                             {{33, 9}, {50, 14}}, {{64, 8}, {97, 13}}, {{100, 6}, {301, 7}}, {{17, 3}, {200, 4}},
                             {{16, 2}, {8, 1}},   {{18, 4}, {9, 2}},   {{34, 6}, {17, 3}},   {{50, 2}, {25, 1}},
                             {{66, 4}, {33, 2}},  {{80, 4}, {40, 2}},  {{98, 2}, {49, 1}},   {{130, 2}, {65, 1}}};
    for (uint32_t id : {uint32_t{kBgr24}, uint32_t{kRgb24}})
        ExpectResizesSameEveryWay(id, jobs, WeightedAverage);
}

TEST(VectorKernels, PixelResizeRows)
{
    // Shrinking and enlarging around the shuffle groups (five 24-bit pixels, eight
    // 16-bit, sixteen 8-bit): rows that end inside a group, ratios whose groups
    // reach the 32-byte limit or pass it, and rows whose last source pixel is
    // picked.
    const ResizeJobs jobs = {{{10, 2}, {5, 1}},    {{11, 3}, {5, 2}},  {{12, 2}, {6, 2}},   {{22, 2}, {10, 1}},
                             {{45, 3}, {20, 2}},   {{64, 4}, {27, 3}}, {{100, 2}, {11, 1}}, {{640, 4}, {320, 2}},
                             {{641, 3}, {213, 2}}, {{7, 2}, {16, 3}},  {{20, 2}, {30, 2}},  {{33, 1}, {101, 2}}};
    ExpectResizesSameEveryWay(kBgr24, jobs, PixelResize);
    const ResizeJobs even = {{{10, 2}, {4, 1}},    {{12, 2}, {6, 2}},   {{22, 2}, {10, 1}}, {{46, 3}, {20, 2}},
                             {{64, 4}, {26, 3}},   {{100, 2}, {12, 1}}, {{640, 4}, {320, 2}}, {{642, 3}, {214, 2}},
                             {{8, 2}, {16, 3}},    {{20, 2}, {30, 2}},  {{34, 1}, {102, 2}}, {{96, 2}, {144, 2}}};
    for (uint32_t id : {uint32_t{kLuma8}, uint32_t{kRgb332}, uint32_t{kRgb565}, uint32_t{kYuy2}, uint32_t{kUyvy}})
        ExpectResizesSameEveryWay(id, even, PixelResize);
}

TEST(VectorKernels, CropOfLongRows)
{
    // Rows of 256 bytes and more go through the prefetching copy: row lengths
    // that are and are not multiples of 32 and 64, with the last row at the
    // frame's end.
    const std::vector<Rect> rects = {{0, 0, 86, 6}, {3, 1, 100, 4}, {8, 2, 192, 4}, {1, 0, 199, 6}, {13, 5, 150, 1}};
    for (uint32_t id : {uint32_t{kBgr24}, uint32_t{kPixel32}})
        for (Rect r : rects) {
            OwnedFrame f(200, 6, id, static_cast<uint32_t>(r.x * 7 + r.width));
            ExpectSameEveryWay(
                f,
                [&](FrameBuffer &fb, std::vector<uint8_t> &out) {
                    FrameBuffer dst{out.data(), out.size() - 64, 0, 0, 0};
                    return Crop(fb, dst, r);
                },
                std::to_string(id) + " " + std::to_string(r.x) + "," + std::to_string(r.y) + " " +
                    std::to_string(r.width) + "x" + std::to_string(r.height));
        }
}

TEST(VectorKernels, FlipOfRowsAroundTheVectorBlock)
{
    // Rows shorter than, equal to and past a 64-byte block, odd and even heights.
    for (auto [w, h] : std::vector<imaging_test::Size>{{4, 3}, {20, 2}, {28, 5}, {64, 4}, {100, 7}, {644, 6}}) {
        OwnedFrame f(w, h, kBgr24, static_cast<uint32_t>(w * h));
        ExpectSameEveryWay(
            f, [](FrameBuffer &fb, std::vector<uint8_t> &) { return FlipFrame(fb); },
            std::to_string(w) + "x" + std::to_string(h));
    }
}
