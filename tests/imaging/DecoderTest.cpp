#include "Helpers.h"

#include "imaging/Decoder.h"
#include "imaging/Encoder.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace imaging;

namespace {

// Builds compressed frames block by block.
struct FrameBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kCompressedHeaderBytes, 0);

    FrameBuilder(uint32_t width, uint32_t height, uint32_t flags, uint32_t id)
    {
        Put(12, width);
        Put(16, height);
        Put(32, flags);
        Put(36, id);
    }
    void Put(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
    FrameBuilder &Block(uint8_t type, uint16_t number, std::vector<uint8_t> data)
    {
        const uint8_t head[4] = {0x5A, static_cast<uint8_t>(type << 4 | 0x0A), static_cast<uint8_t>(number),
                                 static_cast<uint8_t>(number >> 8)};
        bytes.insert(bytes.end(), head, head + 4);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    std::vector<uint8_t> Done()
    {
        Put(40, static_cast<uint32_t>(bytes.size() - kCompressedHeaderBytes));
        return bytes;
    }
};

std::vector<uint8_t> Picture(uint64_t size, uint32_t seed)
{
    std::vector<uint8_t> p(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t &b : p) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return p;
}

size_t Decode(FrameDecoder &d, const std::vector<uint8_t> &frame, std::vector<uint8_t> &out)
{
    return d.Decode(frame.data(), frame.size(), out.data(), out.size());
}

// A YUY2 frame 8 x 2 whose reference is all zeros: Y samples are component 1.
std::vector<uint8_t> DeltaY(std::vector<uint8_t> deltas)
{
    return FrameBuilder(8, 2, 1, kCompressedYuv).Block(1, 0, std::move(deltas)).Done();
}

}  // namespace

TEST(Decoder, DeltaRunCounts)
{
    FrameDecoder d;
    std::vector<uint8_t> out(32, 0xEE);
    ASSERT_EQ(Decode(d, DeltaY({5, 5, 3}), out), 64u + 4 + 3);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(out[static_cast<size_t>(2 * k)], k < 5 ? 5 : 0) << k;
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(out[static_cast<size_t>(2 * k + 1)], 0);  // chroma untouched

    FrameDecoder z;
    ASSERT_GT(Decode(z, DeltaY({0, 0, 10, 7, 9}), out), 0u);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(out[static_cast<size_t>(2 * k)], k == 12 ? 7 : (k == 13 ? 9 : 0)) << k;

    // Every block but the last holds 1024 bytes. A count split across blocks comes
    // from the next block of the same component.
    std::vector<uint8_t> first_y(1024), full_v(1024);
    for (size_t i = 0; i < 1024; ++i) {
        first_y[i] = static_cast<uint8_t>(7 + (i & 1));
        full_v[i] = static_cast<uint8_t>(1 + (i & 1));
    }
    first_y[1022] = first_y[1023] = 3;
    std::vector<uint8_t> split = FrameBuilder(64, 32, 1, kCompressedYuv)
                                     .Block(1, 0, first_y)
                                     .Block(0, 0, full_v)
                                     .Block(1, 1, {4, 2})
                                     .Done();
    FrameDecoder s;
    std::vector<uint8_t> big(64 * 32 * 2);
    ASSERT_EQ(Decode(s, split, big), split.size());
    for (size_t k = 0; k < 1022; ++k)
        ASSERT_EQ(big[2 * k], 7 + (k & 1)) << k;
    for (size_t k = 1022; k < 1028; ++k)
        EXPECT_EQ(big[2 * k], 3) << k;
    EXPECT_EQ(big[2 * 1028], 2);
    EXPECT_EQ(big[2 * 1029], 0);
    EXPECT_EQ(big[3], 1);  // first V sample
    EXPECT_EQ(big[7], 2);

    // A run past the end of the walk stops that block only.
    std::vector<uint8_t> runaway(1024, 9);
    runaway[0] = runaway[1] = 1;
    runaway[2] = 200;
    std::vector<uint8_t> over = FrameBuilder(8, 2, 1, kCompressedYuv).Block(1, 0, runaway).Block(2, 0, {6}).Done();
    FrameDecoder o;
    ASSERT_GT(Decode(o, over, out), 0u);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ(out[static_cast<size_t>(2 * k)], 1);
    EXPECT_EQ(out[1], 6);
}

TEST(Decoder, PassCountsAndHostileHeaders)
{
    std::vector<uint8_t> out(1 << 16, 0xEE);
    const std::vector<uint8_t> untouched = out;
    for (uint32_t passes : {0u, 3u}) {
        FrameDecoder d;
        auto frame = FrameBuilder(8, 2, passes | kCompressedSelfContained, kCompressedYuv).Block(3, 0, {1, 2, 3}).Done();
        EXPECT_EQ(Decode(d, frame, out), 0u) << passes;
        EXPECT_EQ(out, untouched);
    }
    FrameDecoder d;
    // Huge sizes, sizes whose product wraps 32 bits, zero sizes, unknown ids, short headers.
    for (auto [w, h] : std::vector<std::pair<uint32_t, uint32_t>>{{0xFFFFFFFF, 0xFFFFFFFF}, {65536, 65536},
                                                                  {0x8000, 0x4000}, {0, 10}, {8192, 8192}}) {
        auto frame = FrameBuilder(w, h, 1 | kCompressedSelfContained, kCompressedBgr24).Block(3, 0, {1}).Done();
        EXPECT_EQ(Decode(d, frame, out), 0u) << w << "x" << h;
    }
    auto unknown = FrameBuilder(8, 2, 1, kYuy2).Block(3, 0, {1}).Done();
    EXPECT_EQ(Decode(d, unknown, out), 0u);
    std::vector<uint8_t> header_only(63, 0);
    EXPECT_EQ(Decode(d, header_only, out), 0u);
    // Odd widths cannot hold chroma pairs.
    auto odd = FrameBuilder(7, 2, 1, kCompressedYuv).Done();
    EXPECT_EQ(Decode(d, odd, out), 0u);
    // Output smaller than one frame.
    auto fine = FrameBuilder(8, 2, 1 | kCompressedSelfContained, kCompressedYuv).Done();
    std::vector<uint8_t> small(31);
    EXPECT_EQ(Decode(d, fine, small), 0u);
    EXPECT_EQ(out, untouched);

    // A payload length beyond the frame: only the bytes present are read, and the
    // result is the frame's length. Block numbers past the frame are ignored.
    auto frame = FrameBuilder(8, 2, 1 | kCompressedSelfContained, kCompressedBgr24)
                     .Block(3, 0xFFFF, std::vector<uint8_t>(1024, 9))
                     .Block(3, 0, {1, 2, 3})
                     .Done();
    frame[40] = 0xFF;
    frame[41] = 0xFF;
    frame[42] = 0xFF;
    frame[43] = 0x7F;
    std::vector<uint8_t> pic(48, 0);
    EXPECT_EQ(d.Decode(frame.data(), frame.size(), pic.data(), pic.size()), frame.size());
    EXPECT_EQ(pic[0], 1);
    EXPECT_EQ(pic[2], 3);
    EXPECT_EQ(pic[3], 0);
    // A payload length shorter than the frame bounds the consumed bytes.
    frame = FrameBuilder(8, 2, 1 | kCompressedSelfContained, kCompressedBgr24).Block(3, 0, {1, 2, 3}).Done();
    frame.resize(frame.size() + 100, 0xFF);
    EXPECT_EQ(d.Decode(frame.data(), frame.size(), pic.data(), pic.size()), 64u + 7);
}

TEST(Decoder, ReferencePictureAndSelfContainedFrames)
{
    const uint32_t w = 40, h = 30;
    const std::vector<uint8_t> first = Picture(w * h * 3, 1), second = Picture(w * h * 3, 2);
    FrameEncoder enc;
    FrameDecoder dec;
    std::vector<uint8_t> out(w * h * 3);
    auto key = enc.EncodeSelfContained(first.data(), w, h, kCompressedBgr24, {});
    ASSERT_EQ(Decode(dec, key, out), key.size());
    EXPECT_EQ(out, first);
    // A delta frame without delta blocks gives the reference back.
    auto same = FrameBuilder(w, h, 1, kCompressedBgr24).Done();
    std::fill(out.begin(), out.end(), 0);
    ASSERT_GT(Decode(dec, same, out), 0u);
    EXPECT_EQ(out, first);
    // Deltas apply to the reference, never change it.
    auto delta = enc.EncodeDelta(second.data(), w, h, kCompressedBgr24, {});
    ASSERT_GT(Decode(dec, delta, out), 0u);
    EXPECT_EQ(out, second);
    ASSERT_GT(Decode(dec, same, out), 0u);
    EXPECT_EQ(out, first);
    // A self-contained frame covering the picture wins whatever the reference held.
    FrameDecoder fresh;
    auto key2 = enc.EncodeSelfContained(second.data(), w, h, kCompressedBgr24, {});
    ASSERT_GT(Decode(fresh, delta, out), 0u);
    ASSERT_GT(Decode(fresh, key2, out), 0u);
    EXPECT_EQ(out, second);
    // A size change starts from a zero reference.
    auto small_same = FrameBuilder(4, 2, 1, kCompressedBgr24).Done();
    ASSERT_GT(Decode(dec, small_same, out), 0u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 24), std::vector<uint8_t>(24, 0));
}

TEST(Decoder, FieldRebuild)
{
    // Rows A, B, C, D as transmitted come out as A, C, B, D.
    std::vector<uint8_t> rows;
    for (uint8_t r : {'A', 'B', 'C', 'D'})
        rows.insert(rows.end(), 6, r);
    auto frame = FrameBuilder(2, 4, 1 | kCompressedFields | kCompressedSelfContained, kCompressedBgr24)
                     .Block(3, 0, rows)
                     .Done();
    FrameDecoder d;
    std::vector<uint8_t> out(24);
    ASSERT_GT(Decode(d, frame, out), 0u);
    std::string got(out.begin(), out.end());
    EXPECT_EQ(got, "AAAAAACCCCCCBBBBBBDDDDDD");
    // 32-bit targets are rebuilt as well.
    ASSERT_TRUE(d.ChooseTarget(frame.data(), frame.size(), kPixel32));
    std::vector<uint8_t> wide(32);
    ASSERT_GT(Decode(d, frame, wide), 0u);
    EXPECT_EQ(wide[0], 255);
    EXPECT_EQ(wide[1], 'A');
    EXPECT_EQ(wide[8 + 1], 'C');
    // Odd heights: the first field holds the extra row, nothing lands past the frame.
    auto three = FrameBuilder(2, 3, 1 | kCompressedFields | kCompressedSelfContained, kCompressedBgr24)
                     .Block(3, 0, std::vector<uint8_t>(rows.begin(), rows.begin() + 18))
                     .Done();
    FrameDecoder t;
    std::vector<uint8_t> three_out(18);
    ASSERT_GT(Decode(t, three, three_out), 0u);
    EXPECT_EQ(std::string(three_out.begin(), three_out.end()), "AAAAAACCCCCCBBBBBB");
}

TEST(Decoder, TargetChoice)
{
    auto yuv = FrameBuilder(8, 2, 1, kCompressedYuv).Done();
    auto rgb = FrameBuilder(8, 2, 1, kCompressed24).Done();
    FrameDecoder d;
    EXPECT_EQ(DecodedId(yuv.data(), yuv.size()), kYuy2);
    EXPECT_EQ(DecodedId(rgb.data(), rgb.size()), kRgb24);
    EXPECT_FALSE(IsSelfContained(yuv.data(), yuv.size()));
    EXPECT_TRUE(d.ChooseTarget(yuv.data(), yuv.size(), kPlanarYuv420));
    EXPECT_EQ(d.TargetId(), kPlanarYuv420);
    EXPECT_EQ(d.OutputSize(yuv.data(), yuv.size()), 24u);
    EXPECT_FALSE(d.ChooseTarget(yuv.data(), yuv.size(), kBgr24));
    EXPECT_EQ(d.TargetId(), kYuy2);
    EXPECT_FALSE(d.ChooseTarget(rgb.data(), rgb.size(), kYuy2));
    EXPECT_EQ(d.TargetId(), kRgb24);
    EXPECT_TRUE(IsAcceptedTarget(kCompressedBgr24, kPixel32));
    EXPECT_FALSE(IsAcceptedTarget(kCompressedUyvy, kYuy2));
}

namespace {

// Planar 4:2:0 expected from a YUY2 picture: luma, then V and U from even rows.
std::vector<uint8_t> PlanarFromYuy2(const std::vector<uint8_t> &yuy2, uint32_t w, uint32_t h, bool yvu, bool luma_only)
{
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < w * h; ++i)
        out.push_back(yuy2[2 * i]);
    if (luma_only)
        return out;
    std::vector<uint8_t> u, v;
    for (uint32_t y = 0; y < h; y += 2)
        for (uint32_t x = 0; x < w; x += 2) {
            u.push_back(yuy2[(y * w + x) * 2 + 1]);
            v.push_back(yuy2[(y * w + x) * 2 + 3]);
        }
    out.insert(out.end(), (yvu ? v : u).begin(), (yvu ? v : u).end());
    out.insert(out.end(), (yvu ? u : v).begin(), (yvu ? u : v).end());
    return out;
}

}  // namespace

TEST(Decoder, EncoderRoundTripEveryTarget)
{
    struct Case {
        uint32_t compressed, target;
    };
    const std::vector<Case> cases = {{kCompressedBgr24, kBgr24}, {kCompressed24, kRgb24},   {kCompressedBgr24, kPixel32},
                                     {kCompressedYuv, kYuy2},    {kCompressedUyvy, kUyvy},  {kCompressedYuv, kUyvy},
                                     {kCompressedYuv, kPlanarYvu420}, {kCompressedYuv, kPlanarYuv420},
                                     {kCompressedYuv, kLuma8}};
    for (const Case &c : cases)
        for (uint32_t passes : {1u, 2u})
            for (bool fields : {false, true})
                for (auto [w, h] : std::vector<imaging_test::Size>{{2, 2}, {6, 4}, {36, 20}, {64, 40}}) {
                    const uint32_t source = DefaultTargetFor(c.compressed);
                    const uint64_t size = FrameSize(w, h, source);
                    FrameEncoder enc;
                    FrameDecoder dec;
                    const EncodeOptions opt{passes, fields};
                    std::vector<uint8_t> out(static_cast<size_t>(FrameSize(w, h, c.target)));
                    const std::string what = std::to_string(c.compressed) + "->" + std::to_string(c.target) + " n" +
                                             std::to_string(passes) + (fields ? " fields " : " ") +
                                             std::to_string(w) + "x" + std::to_string(h);
                    for (int step = 0; step < 4; ++step) {
                        std::vector<uint8_t> pic = Picture(size, static_cast<uint32_t>(step + w));
                        if (step == 2)  // long runs of equal deltas
                            pic = std::vector<uint8_t>(size, 77);
                        auto frame = step == 0 ? enc.EncodeSelfContained(pic.data(), w, h, c.compressed, opt)
                                               : enc.EncodeDelta(pic.data(), w, h, c.compressed, opt);
                        ASSERT_FALSE(frame.empty());
                        ASSERT_TRUE(dec.ChooseTarget(frame.data(), frame.size(), c.target));
                        ASSERT_EQ(Decode(dec, frame, out), frame.size()) << what;
                        std::vector<uint8_t> want;
                        const bool planar = IsPlanar420(c.target) || c.target == kLuma8;
                        if (c.target == source) {
                            want = pic;
                        } else if (c.target == kPixel32) {
                            for (uint64_t i = 0; i < size / 3; ++i)
                                want.insert(want.end(), {255, pic[3 * i], pic[3 * i + 1], pic[3 * i + 2]});
                        } else if (c.target == kUyvy) {
                            want = pic;
                            for (size_t i = 0; i + 1 < want.size(); i += 2)
                                std::swap(want[i], want[i + 1]);
                        } else {
                            // Planar targets keep the transmitted row order.
                            std::vector<uint8_t> sent = pic;
                            if (fields)
                                for (uint32_t r = 0; r < static_cast<uint32_t>(h); ++r) {
                                    const uint32_t from = r < (h + 1) / 2u ? 2 * r : 2 * (r - (h + 1) / 2u) + 1;
                                    std::memcpy(&sent[r * w * 2u], &pic[from * w * 2u], w * 2u);
                                }
                            want = PlanarFromYuy2(sent, w, h, c.target == kPlanarYvu420, c.target == kLuma8);
                        }
                        ASSERT_EQ(out, want) << what << " step " << step << (planar ? " planar" : "");
                    }
                }
}

TEST(Decoder, PlanarChromaComesFromEvenRows)
{
    // Rows of distinct chroma: only rows 0 and 2 reach the 4:2:0 planes.
    const uint32_t w = 4, h = 4;
    std::vector<uint8_t> yuy2(w * h * 2);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; x += 2) {
            uint8_t *p = &yuy2[(y * w + x) * 2];
            p[0] = static_cast<uint8_t>(y * 10 + x);
            p[1] = static_cast<uint8_t>(100 + y);
            p[2] = static_cast<uint8_t>(y * 10 + x + 1);
            p[3] = static_cast<uint8_t>(200 + y);
        }
    FrameEncoder enc;
    auto frame = enc.EncodeSelfContained(yuy2.data(), w, h, kCompressedYuv, {});
    FrameDecoder dec;
    ASSERT_TRUE(dec.ChooseTarget(frame.data(), frame.size(), kPlanarYvu420));
    std::vector<uint8_t> out(24);
    ASSERT_GT(Decode(dec, frame, out), 0u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 16, out.end()),
              (std::vector<uint8_t>{200, 200, 202, 202, 100, 100, 102, 102}));
}
