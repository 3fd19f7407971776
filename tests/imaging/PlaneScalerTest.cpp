// The plane resampler: vector and plain kernels agree bit for bit, every
// geometry (shrinking, enlarging, odd sizes, one direction only, chroma siting)
// follows libswscale, and bad configurations are refused.
#include "imaging/PlaneScaler.h"
#include "imaging/Scaler.h"
#include "imaging/Simd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

using namespace imaging;

namespace {

std::vector<uint8_t> SmoothPlane(int32_t w, int32_t h, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> p(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            p[size_t(y) * size_t(w) + size_t(x)] =
                uint8_t(std::clamp(128 + 110 * std::sin(x * 0.13 + y * 0.07) + int(rng() % 9) - 4.0, 0.0, 255.0));
    return p;
}

// libswscale scaling a gray plane itself.
std::vector<uint8_t> Reference(const std::vector<uint8_t> &in, int32_t sw, int32_t sh, int32_t dw, int32_t dh, int flag)
{
    std::vector<uint8_t> src(in.size() + 4096), dst(size_t(dw) * size_t(dh) + 4096);
    std::copy(in.begin(), in.end(), src.begin());
    SwsContext *ctx = sws_getContext(sw, sh, AV_PIX_FMT_GRAY8, dw, dh, AV_PIX_FMT_GRAY8, flag, nullptr, nullptr, nullptr);
    const uint8_t *sp[4] = {src.data()};
    uint8_t *dp[4] = {dst.data()};
    int ss[4] = {sw}, ds[4] = {dw};
    EXPECT_EQ(sws_scale(ctx, sp, ss, 0, sh, dp, ds), dh);
    sws_freeContext(ctx);
    dst.resize(size_t(dw) * size_t(dh));
    return dst;
}

}  // namespace

TEST(PlaneScaler, FollowsLibswscaleWithVectorAndPlainKernelsAlike)
{
    struct Geometry {
        int32_t sw, sh, dw, dh;
    };
    const Geometry geometries[] = {{333, 97, 211, 61}, {90, 50, 251, 133}, {64, 64, 64, 40}, {45, 30, 45, 30},
                                   {17, 9, 3, 2}};
    for (const Geometry &g : geometries)
        for (uint32_t mode = 3; mode <= 12; ++mode) {
            const std::vector<uint8_t> in = SmoothPlane(g.sw, g.sh, mode);
            PlaneScaler scaler;
            ASSERT_TRUE(scaler.Configure(g.sw, g.sh, g.dw, g.dh, mode, PlaneSiting::kFull)) << mode;
            std::vector<uint8_t> vec(size_t(g.dw) * size_t(g.dh)), plain(vec.size());
            ASSERT_TRUE(scaler.Run({in.data(), g.sw}, {vec.data(), g.dw}));
            SetSimdEnabled(false);
            ASSERT_TRUE(scaler.Run({in.data(), g.sw}, {plain.data(), g.dw}));
            SetSimdEnabled(true);
            ASSERT_EQ(vec, plain) << g.sw << "x" << g.sh << " mode " << mode;
            const std::vector<uint8_t> want = Reference(in, g.sw, g.sh, g.dw, g.dh, SwsFlagForMode(mode));
            int most = 0;
            for (size_t i = 0; i < want.size(); ++i)
                most = std::max(most, std::abs(int(want[i]) - int(vec[i])));
            EXPECT_LE(most, 2) << g.sw << "x" << g.sh << " to " << g.dw << "x" << g.dh << " mode " << mode;
        }
}

TEST(PlaneScaler, RefusesWhatItCannotDo)
{
    PlaneScaler scaler;
    uint8_t byte = 0;
    EXPECT_FALSE(scaler.Run({&byte, 1}, {&byte, 1}));  // not configured
    EXPECT_FALSE(scaler.Configure(64, 64, 32, 32, 1, PlaneSiting::kFull));  // pixel resize is not a filter mode
    EXPECT_FALSE(scaler.Configure(64, 64, 32, 32, 13, PlaneSiting::kFull));
    EXPECT_FALSE(scaler.Configure(0, 64, 32, 32, 4, PlaneSiting::kFull));
    EXPECT_FALSE(scaler.Configure(64, 64, 32, 16385, 4, PlaneSiting::kFull));
    EXPECT_EQ(scaler.TapsAcross(), 0);
    ASSERT_TRUE(scaler.Configure(64, 64, 32, 32, 11, PlaneSiting::kChroma420));
    EXPECT_GT(scaler.TapsAcross(), 4);
    EXPECT_FALSE(scaler.Run({nullptr, 64}, {&byte, 32}));
}
