#include <capture/Pipeline.h>

#include "Bitmap.h"

#include <imaging/Encoder.h>
#include <imaging/Format.h>
#include <imaging/Scaler.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

using namespace Capture;

namespace {

constexpr PixelFormat kAllOutputs[] = {PixelFormat::YUY2, PixelFormat::UYVY, PixelFormat::YV12, PixelFormat::I420,
                                       PixelFormat::BGR};

// A received frame in owned storage.
struct Source {
    uint32_t format = 0;
    int32_t width = 0, height = 0;
    std::vector<uint8_t> bytes;
    SourceFrame Frame() const { return {bytes.data(), bytes.size(), format, width, height}; }
};

// Random samples: catches any byte taken from the wrong place.
Source RandomSource(uint32_t format, int32_t w, int32_t h, uint32_t seed)
{
    Source s{format, w, h, std::vector<uint8_t>(size_t(imaging::FrameSize(w, h, format)))};
    std::mt19937 rng(seed);
    for (uint8_t &b : s.bytes)
        b = uint8_t(rng());
    return s;
}

// A smooth picture (what a resampler's comparison needs): blue first, top-down.
std::vector<uint8_t> SmoothBgr(int32_t w, int32_t h)
{
    std::vector<uint8_t> p(size_t(w) * size_t(h) * 3);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t *o = &p[(size_t(y) * size_t(w) + size_t(x)) * 3];
            o[0] = uint8_t(128 + 100 * std::sin(x * 0.11 + y * 0.05));
            o[1] = uint8_t(128 + 90 * std::cos(x * 0.03 - y * 0.09));
            o[2] = uint8_t(std::clamp(40 + x * 170 / w + (((x / 24 + y / 24) & 1) ? 40 : 0), 0, 255));
        }
    return p;
}

std::vector<uint8_t> Convert(FramePipeline &pipeline, const SourceFrame &frame)
{
    std::vector<uint8_t> out(FrameBytes(pipeline.Output()), 0xCD);
    EXPECT_TRUE(pipeline.Process(frame, out.data(), out.size()));
    return out;
}

struct Yuv {
    double y, u, v;
};
struct Rgb {
    double r, g, b;
};
Yuv ToYuv(Rgb c)
{
    return {16 + (65.738 * c.r + 129.057 * c.g + 25.064 * c.b) / 256,
            128 + (-37.945 * c.r - 74.494 * c.g + 112.439 * c.b) / 256,
            128 + (112.439 * c.r - 94.154 * c.g - 18.285 * c.b) / 256};
}
Rgb ToRgb(Yuv c)
{
    auto clamp = [](double v) { return std::clamp(v, 0.0, 255.0); };
    const double l = 1.164 * (c.y - 16);
    return {clamp(l + 1.596 * (c.v - 128)), clamp(l - 0.391 * (c.u - 128) - 0.813 * (c.v - 128)),
            clamp(l + 2.018 * (c.u - 128))};
}

// Reads a source picture as seen after the row order and the flip are applied.
struct SeenSource {
    const Source &s;
    bool upside_down;
    const uint8_t *RowOf(int32_t y) const
    {
        const int32_t row = upside_down ? s.height - 1 - y : y;
        return s.bytes.data() + size_t(row) * imaging::PackedRowBytes(s.width, s.format);
    }
    bool Rgb24() const { return imaging::FormatIdOf(s.format) == imaging::kRgb24 || imaging::FormatIdOf(s.format) == imaging::kBgr24; }
    Rgb RgbAt(int32_t x, int32_t y) const
    {
        const uint8_t *p = RowOf(y) + 3 * x;
        if (imaging::FormatIdOf(s.format) == imaging::kRgb24)
            return {double(p[0]), double(p[1]), double(p[2])};
        return {double(p[2]), double(p[1]), double(p[0])};
    }
    // Luma of the pixel and chroma of its pair, for packed 4:2:2 sources.
    Yuv YuvAt(int32_t x, int32_t y) const
    {
        const uint8_t *pair = RowOf(y) + 4 * (x / 2);
        const bool uyvy = imaging::FormatIdOf(s.format) == imaging::kUyvy;
        return uyvy ? Yuv{double(pair[1 + 2 * (x & 1)]), double(pair[0]), double(pair[2])}
                    : Yuv{double(pair[2 * (x & 1)]), double(pair[1]), double(pair[3])};
    }
    Yuv SeenYuv(int32_t x, int32_t y) const { return Rgb24() ? ToYuv(RgbAt(x, y)) : YuvAt(x, y); }
};

// An output frame read pixel by pixel.
struct Output {
    const std::vector<uint8_t> &bytes;
    PixelFormat format;
    int32_t w, h;
    Rgb RgbAt(int32_t x, int32_t y) const
    {
        const uint8_t *p = &bytes[(size_t(y) * size_t(w) + size_t(x)) * 3];
        return {double(p[2]), double(p[1]), double(p[0])};
    }
    Yuv YuvAt(int32_t x, int32_t y) const
    {
        if (format == PixelFormat::YUY2 || format == PixelFormat::UYVY) {
            const uint8_t *pair = &bytes[size_t(y) * size_t(w) * 2 + size_t(x / 2) * 4];
            return format == PixelFormat::UYVY ? Yuv{double(pair[1 + 2 * (x & 1)]), double(pair[0]), double(pair[2])}
                                               : Yuv{double(pair[2 * (x & 1)]), double(pair[1]), double(pair[3])};
        }
        const size_t luma = size_t(w) * size_t(h), quarter = luma / 4;
        const size_t c = size_t(y / 2) * size_t(w / 2) + size_t(x / 2);
        const size_t u = format == PixelFormat::I420 ? luma + c : luma + quarter + c;
        const size_t v = format == PixelFormat::I420 ? luma + quarter + c : luma + c;
        return {double(bytes[size_t(y) * size_t(w) + size_t(x)]), double(bytes[u]), double(bytes[v])};
    }
};

void ExpectNear(double got, double want, double tolerance, const std::string &what)
{
    ASSERT_LE(std::fabs(got - want), tolerance) << what << ": got " << got << ", want " << want;
}

int SwsFormat(PixelFormat f)
{
    switch (f) {
    case PixelFormat::YUY2: return AV_PIX_FMT_YUYV422;
    case PixelFormat::UYVY: return AV_PIX_FMT_UYVY422;
    case PixelFormat::YV12:
    case PixelFormat::I420: return AV_PIX_FMT_YUV420P;
    case PixelFormat::BGR: return AV_PIX_FMT_BGR24;
    }
    return AV_PIX_FMT_NONE;
}

// libswscale's own picture: `in` (shape_in) scaled to shape_out with its flag.
std::vector<uint8_t> SwsScale(const std::vector<uint8_t> &in, const OutputShape &shape_in, const OutputShape &shape_out,
                              int flag, int sws_format = AV_PIX_FMT_NONE)
{
    if (sws_format == AV_PIX_FMT_NONE)
        sws_format = SwsFormat(shape_in.format);
    FrameLayout li, lo;
    EXPECT_TRUE(LayoutOf(shape_in, &li));
    EXPECT_TRUE(LayoutOf(shape_out, &lo));
    if (sws_format == AV_PIX_FMT_GRAY8) {  // one plane of 24-bit pixels at a time
        li = {1, {0}, {shape_in.width}, {shape_in.height}, size_t(shape_in.width) * size_t(shape_in.height)};
        lo = {1, {0}, {shape_out.width}, {shape_out.height}, size_t(shape_out.width) * size_t(shape_out.height)};
    }
    // Padded copies: libswscale reads and writes past short rows.
    std::vector<uint8_t> src(in.size() + 4096), dst(lo.bytes + 4096);
    std::copy(in.begin(), in.end(), src.begin());
    SwsContext *ctx = sws_getContext(shape_in.width, shape_in.height, AVPixelFormat(sws_format), shape_out.width,
                                     shape_out.height, AVPixelFormat(sws_format), flag, nullptr, nullptr, nullptr);
    EXPECT_NE(ctx, nullptr);
    const uint8_t *sp[4] = {};
    uint8_t *dp[4] = {};
    int ss[4] = {}, ds[4] = {};
    for (int k = 0; k < li.planes; ++k) {
        sp[k] = src.data() + li.offset[k];
        ss[k] = li.stride[k];
        dp[k] = dst.data() + lo.offset[k];
        ds[k] = lo.stride[k];
    }
    EXPECT_EQ(sws_scale(ctx, sp, ss, 0, shape_in.height, dp, ds), shape_out.height);
    sws_freeContext(ctx);
    dst.resize(lo.bytes);
    return dst;
}

int MaxDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    EXPECT_EQ(a.size(), b.size());
    int most = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        most = std::max(most, std::abs(int(a[i]) - int(b[i])));
    return most;
}

using testsupport::Bitmap24;

}  // namespace

TEST(CapturePipeline, LayoutsNamesAndBlackNoSignal)
{
    PixelFormat format{};
    ASSERT_TRUE(FormatFromOptionName("IYUV", &format));
    EXPECT_EQ(format, PixelFormat::I420);
    ASSERT_TRUE(FormatFromOptionName("RGB24", &format));
    EXPECT_EQ(format, PixelFormat::BGR);
    EXPECT_FALSE(FormatFromOptionName("rgb24", &format));

    EXPECT_EQ(FrameBytes({PixelFormat::I420, 1280, 720}), 1280u * 720 * 3 / 2);
    EXPECT_EQ(FrameBytes({PixelFormat::YUY2, 1366, 768}), 1366u * 768 * 2);
    EXPECT_EQ(FrameBytes({PixelFormat::BGR, 641, 480}), 0u);
    EXPECT_EQ(FrameBytes({PixelFormat::YV12, 640, 481}), 0u);
    EXPECT_EQ(FrameBytes({PixelFormat::YUY2, 640, 481}), 640u * 481 * 2);
    FrameLayout layout;
    ASSERT_TRUE(LayoutOf({PixelFormat::YV12, 8, 4}, &layout));
    EXPECT_EQ(layout.planes, 3);
    EXPECT_EQ(layout.offset[1], 32u);
    EXPECT_EQ(layout.offset[2], 40u);
    EXPECT_EQ(layout.bytes, 48u);

    FramePipeline pipeline;
    std::vector<uint8_t> out(48, 0xEE);
    pipeline.RenderNoSignal(out.data(), out.size());  // not configured: untouched
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_FALSE(pipeline.Configure({PixelFormat::I420, 8, 4}, {13, false}));
    ASSERT_TRUE(pipeline.Configure({PixelFormat::I420, 8, 4}, {}));
    pipeline.RenderNoSignal(out.data(), out.size());
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], i < 32 ? 16 : 128) << i;
    ASSERT_TRUE(pipeline.Configure({PixelFormat::UYVY, 4, 2}, {}));
    pipeline.RenderNoSignal(out.data(), out.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), (std::vector<uint8_t>{128, 16, 128, 16}));
}

// Every source kind, both row orders, flipped or not, into every output at the
// same size, checked pixel by pixel against the colour formulas.
TEST(CapturePipeline, EveryConversionMatchesTheFormulas)
{
    constexpr int32_t w = 38, h = 12;
    const uint32_t ids[] = {imaging::kBgr24, imaging::kRgb24, imaging::kYuy2, imaging::kUyvy};
    for (uint32_t id : ids)
        for (bool bottom_up : {false, true})
            for (bool flip : {false, true})
                for (PixelFormat out_format : kAllOutputs) {
                    const std::string what = "source " + std::to_string(id) + (bottom_up ? " bottom-up" : "") +
                                             (flip ? " flipped" : "") + " to " + FormatName(out_format);
                    const Source src = RandomSource(id | (bottom_up ? imaging::kBottomUp : 0), w, h, id + 7);
                    FramePipeline pipeline;
                    ASSERT_TRUE(pipeline.Configure({out_format, w, h}, {kScaleNone, flip}));
                    const std::vector<uint8_t> bytes = Convert(pipeline, src.Frame());
                    const SeenSource seen{src, bottom_up != flip};
                    const Output out{bytes, out_format, w, h};
                    const bool rgb_source = seen.Rgb24();
                    for (int32_t y = 0; y < h; ++y)
                        for (int32_t x = 0; x < w; ++x) {
                            const std::string at = what + " at " + std::to_string(x) + "," + std::to_string(y);
                            if (out_format == PixelFormat::BGR) {
                                const Rgb want = rgb_source ? seen.RgbAt(x, y) : ToRgb(seen.YuvAt(x, y));
                                const Rgb got = out.RgbAt(x, y);
                                const double tol = rgb_source ? 0 : 1.5;
                                ExpectNear(got.r, want.r, tol, at + " red");
                                ExpectNear(got.g, want.g, tol, at + " green");
                                ExpectNear(got.b, want.b, tol, at + " blue");
                                continue;
                            }
                            const Yuv got = out.YuvAt(x, y);
                            ExpectNear(got.y, seen.SeenYuv(x, y).y, rgb_source ? 1 : 0, at + " luma");
                            // Chroma: the mean over the block the output shares it with.
                            const bool planar = out_format == PixelFormat::I420 || out_format == PixelFormat::YV12;
                            const int32_t x0 = x & ~1, y0 = planar ? y & ~1 : y, rows = planar ? 2 : 1;
                            double u = 0, v = 0;
                            for (int32_t dy = 0; dy < rows; ++dy)
                                for (int32_t dx = 0; dx < 2; ++dx) {
                                    u += seen.SeenYuv(x0 + dx, y0 + dy).u;
                                    v += seen.SeenYuv(x0 + dx, y0 + dy).v;
                                }
                            ExpectNear(got.u, u / (2 * rows), 1, at + " U");
                            ExpectNear(got.v, v / (2 * rows), 1, at + " V");
                        }
                }
}

// Each scale mode, from 24-bit and 4:2:2 sources to every output, against
// libswscale scaling the same picture itself (24-bit modes 1 and 2 against the
// library's own scaler).
TEST(CapturePipeline, ScaleModesStayWithinTwoOfTheReference)
{
    constexpr int32_t sw = 320, sh = 180, dw = 212, dh = 120;
    const std::vector<uint8_t> picture = SmoothBgr(sw, sh);
    const Source bgr{imaging::kBgr24, sw, sh, picture};
    for (PixelFormat out_format : kAllOutputs)
        for (uint32_t mode = 1; mode <= kScaleLast; ++mode) {
            const std::string what = std::string(FormatName(out_format)) + " " + ScaleModeName(mode);
            FramePipeline same, scaled;
            ASSERT_TRUE(same.Configure({out_format, sw, sh}, {}));
            ASSERT_TRUE(scaled.Configure({out_format, dw, dh}, {mode, false}));
            const std::vector<uint8_t> full = Convert(same, bgr.Frame());
            const std::vector<uint8_t> ours = Convert(scaled, bgr.Frame());
            std::vector<uint8_t> want;
            if (out_format == PixelFormat::BGR && (mode == 1 || mode == 2)) {
                imaging::Scaler scaler;
                want.resize(ours.size());
                imaging::FrameBuffer in{const_cast<uint8_t *>(picture.data()), picture.size(),
                                        imaging::kBgr24 | (mode << imaging::kScaleModeShift), sw, sh};
                imaging::FrameBuffer out{want.data(), want.size(), 0, dw, dh};
                ASSERT_TRUE(scaler.Scale(in, out)) << what;
            } else if (out_format == PixelFormat::BGR && mode == 3) {
                // Its 24-bit fast bilinear goes through subsampled colour; plane by
                // plane it is the filter ours follows.
                want.resize(ours.size());
                for (int k = 0; k < 3; ++k) {
                    std::vector<uint8_t> plane(size_t(sw) * sh);
                    for (size_t i = 0; i < plane.size(); ++i)
                        plane[i] = picture[3 * i + size_t(k)];
                    const std::vector<uint8_t> scaled_plane =
                        SwsScale(plane, {out_format, sw, sh}, {out_format, dw, dh}, SWS_FAST_BILINEAR, AV_PIX_FMT_GRAY8);
                    for (size_t i = 0; i < scaled_plane.size(); ++i)
                        want[3 * i + size_t(k)] = scaled_plane[i];
                }
            } else if (mode == 1 || mode == 2) {
                continue;  // nearest pixels and their mean: the imaging tests cover them
            } else {
                want = SwsScale(full, {out_format, sw, sh}, {out_format, dw, dh}, imaging::SwsFlagForMode(mode));
            }
            // Its packed 4:2:2 writer sums the widest filter (sinc) its own way,
            // one step further off near the edges than its planar one.
            const bool packed_sinc = mode == 10 && (out_format == PixelFormat::YUY2 || out_format == PixelFormat::UYVY);
            EXPECT_LE(MaxDifference(ours, want), packed_sinc ? 3 : 2) << what;
        }

    // Flipping a scaled picture is scaling the flipped one; a source of another
    // size with no scaling keeps its pixels, centred, and the rest is black.
    FramePipeline flipped;
    ASSERT_TRUE(flipped.Configure({PixelFormat::BGR, dw, dh}, {11, true}));
    const std::vector<uint8_t> ours = Convert(flipped, bgr.Frame());
    const Source bottom_up{imaging::kBgr24 | imaging::kBottomUp, sw, sh, picture};
    ASSERT_TRUE(flipped.Configure({PixelFormat::BGR, dw, dh}, {11, false}));
    EXPECT_EQ(Convert(flipped, bottom_up.Frame()), ours);
    FramePipeline centred;
    ASSERT_TRUE(centred.Configure({PixelFormat::BGR, 8, 6}, {kScaleNone, false}));
    const Source small = RandomSource(imaging::kBgr24, 4, 4, 3);
    const std::vector<uint8_t> framed = Convert(centred, small.Frame());
    for (int32_t y = 0; y < 6; ++y)
        for (int32_t x = 0; x < 8; ++x)
            for (int c = 0; c < 3; ++c) {
                const bool inside = x >= 2 && x < 6 && y >= 1 && y < 5;
                const uint8_t want = inside ? small.bytes[size_t((y - 1) * 4 + (x - 2)) * 3 + size_t(c)] : 0;
                ASSERT_EQ(framed[size_t(y * 8 + x) * 3 + size_t(c)], want) << x << "," << y;
            }
}

// Compressed frames decode to what the same picture gives uncompressed; damaged
// or short frames, unknown ids and impossible sizes are refused.
TEST(CapturePipeline, CompressedFramesAndBadInput)
{
    constexpr int32_t w = 64, h = 32;
    const Source yuy2 = RandomSource(imaging::kYuy2, w, h, 5);
    FramePipeline pipeline;
    ASSERT_TRUE(pipeline.Configure({PixelFormat::I420, w, h}, {}));
    const std::vector<uint8_t> plain = Convert(pipeline, yuy2.Frame());
    imaging::FrameEncoder encoder;
    const std::vector<uint8_t> packed =
        encoder.EncodeSelfContained(yuy2.bytes.data(), w, h, imaging::kCompressedYuv, {});
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ(Convert(pipeline, {packed.data(), packed.size(), imaging::kCompressedYuv, 0, 0}), plain);

    std::vector<uint8_t> out(FrameBytes(pipeline.Output()));
    EXPECT_FALSE(pipeline.Process({packed.data(), 40, imaging::kCompressedYuv, 0, 0}, out.data(), out.size()));
    std::vector<uint8_t> garbage(packed.size(), 0xFF);
    EXPECT_FALSE(pipeline.Process({garbage.data(), garbage.size(), imaging::kCompressedYuv, 0, 0}, out.data(),
                                  out.size()));
    SourceFrame frame = yuy2.Frame();
    frame.size -= 1;
    EXPECT_FALSE(pipeline.Process(frame, out.data(), out.size()));
    frame = yuy2.Frame();
    EXPECT_FALSE(pipeline.Process(frame, out.data(), out.size() - 1));
    frame.format = imaging::kPlanarYuv420;
    EXPECT_FALSE(pipeline.Process(frame, out.data(), out.size()));
    frame = yuy2.Frame();
    frame.width = 1 << 30;
    EXPECT_FALSE(pipeline.Process(frame, out.data(), out.size()));
    frame.width = -w;
    EXPECT_FALSE(pipeline.Process(frame, out.data(), out.size()));

    // Odd sizes (a mode change the stream has not caught up with) still give a
    // whole frame in every output and mode, bottom-up too.
    for (uint32_t id : {uint32_t(imaging::kBgr24 | imaging::kBottomUp), uint32_t(imaging::kUyvy)})
        for (PixelFormat format : kAllOutputs)
            for (uint32_t mode : {kScaleNone, 1u, 2u, 7u, 12u}) {
                const Source odd = RandomSource(id, 37, 23, mode);
                FramePipeline small;
                ASSERT_TRUE(small.Configure({format, 20, 10}, {mode, true}));
                std::vector<uint8_t> picture(FrameBytes(small.Output()));
                EXPECT_TRUE(small.Process(odd.Frame(), picture.data(), picture.size())) << FormatName(format) << mode;
            }
}

// The no-signal bitmap is decoded, scaled to the stream with the configured
// mode (bilinear without one) and served until it is cleared; a damaged or
// odd-width bitmap is refused and the picture is black.
TEST(CapturePipeline, NoSignalBitmapScaledOrBlack)
{
    constexpr int32_t bw = 96, bh = 54, dw = 64, dh = 36;
    const std::vector<uint8_t> picture = SmoothBgr(bw, bh);
    const std::vector<uint8_t> file = Bitmap24(picture, bw, bh);
    FramePipeline pipeline;
    ASSERT_TRUE(pipeline.Configure({PixelFormat::BGR, dw, dh}, {}));
    ASSERT_TRUE(pipeline.SetNoSignalBitmap(file.data(), file.size()));
    std::vector<uint8_t> out(FrameBytes(pipeline.Output()));
    pipeline.RenderNoSignal(out.data(), out.size());
    EXPECT_LE(MaxDifference(out, SwsScale(picture, {PixelFormat::BGR, bw, bh}, {PixelFormat::BGR, dw, dh}, SWS_BILINEAR)), 2);

    // Same size as the stream: the bitmap's own pixels, upright, in any format.
    ASSERT_TRUE(pipeline.Configure({PixelFormat::BGR, bw, bh}, {kScaleNone, true}));
    std::vector<uint8_t> same(FrameBytes(pipeline.Output()));
    pipeline.RenderNoSignal(same.data(), same.size());
    EXPECT_EQ(same, picture);
    ASSERT_TRUE(pipeline.Configure({PixelFormat::YV12, dw, dh}, {5, false}));
    std::vector<uint8_t> planar(FrameBytes(pipeline.Output()));
    pipeline.RenderNoSignal(planar.data(), planar.size());
    EXPECT_NE(planar[0], 16);

    // Damaged files: cut short, odd width, garbage. Each leaves black.
    std::vector<uint8_t> cut(file.begin(), file.end() - 1);
    const std::vector<uint8_t> odd = Bitmap24(SmoothBgr(bw - 1, bh), bw - 1, bh);
    const std::vector<uint8_t> garbage(300, 0x42);
    for (const std::vector<uint8_t> *bad : std::vector<const std::vector<uint8_t> *>{&cut, &odd, &garbage}) {
        EXPECT_FALSE(pipeline.SetNoSignalBitmap(bad->data(), bad->size()));
        EXPECT_FALSE(pipeline.HasNoSignalBitmap());
        pipeline.RenderNoSignal(planar.data(), planar.size());
        EXPECT_EQ(planar[0], 16);
        EXPECT_EQ(planar.back(), 128);
    }
    EXPECT_FALSE(pipeline.LoadNoSignalBitmap("/nonexistent/no-signal.bmp"));

    // An 8-bit palette file and a 16-bit one with bit fields decode to their colours.
    const std::string path = ::testing::TempDir() + "/capture_no_signal.bmp";
    std::vector<uint8_t> pal = Bitmap24(std::vector<uint8_t>(size_t(4) * 2 * 3, 0), 4, 2);
    pal.resize(54 + 2 * 4 + 2 * 4);
    pal[10] = 54 + 8;
    pal[28] = 8;
    pal[46] = 2;  // two colours: blue, then white
    const uint8_t entries[8] = {255, 0, 0, 0, 255, 255, 255, 0};
    std::copy(entries, entries + 8, pal.begin() + 54);
    const uint8_t rows[8] = {1, 0, 0, 1, 0, 1, 1, 0};  // bottom row first
    std::copy(rows, rows + 8, pal.begin() + 62);
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(pal.data(), 1, pal.size(), f), pal.size());
    std::fclose(f);
    ASSERT_TRUE(pipeline.Configure({PixelFormat::BGR, 4, 2}, {}));
    ASSERT_TRUE(pipeline.LoadNoSignalBitmap(path));
    std::vector<uint8_t> tiny(FrameBytes(pipeline.Output()));
    pipeline.RenderNoSignal(tiny.data(), tiny.size());
    const std::vector<uint8_t> want = {255, 0, 0, 255, 255, 255, 255, 255, 255, 255, 0, 0,
                                       255, 255, 255, 255, 0, 0, 255, 0, 0, 255, 255, 255};
    EXPECT_EQ(tiny, want);
    // The same picture followed by 300 MiB of nothing is more than any no-signal
    // image needs: refused without being read.
    ASSERT_EQ(truncate(path.c_str(), off_t(300) << 20), 0);
    EXPECT_FALSE(pipeline.LoadNoSignalBitmap(path));
    std::remove(path.c_str());

    std::vector<uint8_t> bits16 = Bitmap24(std::vector<uint8_t>(size_t(2) * 1 * 3, 0), 2, 1);
    bits16.resize(66 + 4);
    bits16[10] = 66;
    bits16[28] = 16;
    bits16[30] = 3;
    const uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};  // 5-6-5
    for (int m = 0; m < 3; ++m)
        for (int i = 0; i < 4; ++i)
            bits16[54 + size_t(m) * 4 + size_t(i)] = uint8_t(masks[m] >> (8 * i));
    const uint8_t px[4] = {0x00, 0xF8, 0xE0, 0x07};  // pure red, pure green
    std::copy(px, px + 4, bits16.begin() + 66);
    ASSERT_TRUE(pipeline.Configure({PixelFormat::BGR, 2, 1}, {}));
    ASSERT_TRUE(pipeline.SetNoSignalBitmap(bits16.data(), bits16.size()));
    std::vector<uint8_t> two(6);
    pipeline.RenderNoSignal(two.data(), two.size());
    EXPECT_EQ(two, (std::vector<uint8_t>{0, 0, 255, 0, 255, 0}));
    pipeline.ClearNoSignalBitmap();
    pipeline.RenderNoSignal(two.data(), two.size());
    EXPECT_EQ(two, std::vector<uint8_t>(6, 0));
}
