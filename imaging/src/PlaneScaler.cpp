// Separable plane resampling with taps read from libswscale.
//
// The taps are read by scaling probe pictures: a flat picture with one impulse,
// into a 16-bit plane so the response comes back with seven bits to spare. One
// such picture per source sample gives its weight on every output sample, edges
// included, whatever the mode does there. The weights become Q14 taps over one window of fixed width per output.
//
// Running: each source row is summed across once (Q6 intermediate, int16, kept
// in a ring of as many rows as the vertical window), then each output row is
// summed down its window of those.
#include "imaging/PlaneScaler.h"

#include "Kernels.h"
#include "imaging/Scaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}


namespace imaging {
namespace {

constexpr int32_t kMaxPlaneSide = 16384;
constexpr int kTapBits = 14;
constexpr int kMidShift = 6;  // fraction bits of the intermediate
constexpr int kOutShift = kTapBits + kMidShift;

struct Filter {
    int32_t taps = 0;
    int32_t stride = 0;          // coefficients kept per output: taps, or more (zeros) for the vector kernels
    std::vector<int32_t> start;  // first source sample of each output's window
    std::vector<int16_t> coef;   // taps per output, Q14, summing to 1 << 14
};

struct SwsFree {
    void operator()(SwsContext *c) const { sws_freeContext(c); }
};

// One probe geometry: the picture libswscale scales so that the probed plane
// goes from n_src to n_dst samples in one direction and stays 16 wide (or 1
// high) in the other.
struct Probe {
    AVPixelFormat in = AV_PIX_FMT_GRAY8, out = AV_PIX_FMT_GRAY16LE;
    int plane = 0;      // the plane probed
    int chroma_shift_x = 0, chroma_shift_y = 0;
    bool across = true;
    int32_t n_src = 0, n_dst = 0;
    int32_t other = 1;  // samples of the probed plane in the other direction

    int32_t PlaneW(bool src) const { return across ? (src ? n_src : n_dst) : other; }
    int32_t PlaneH(bool src) const { return across ? other : (src ? n_src : n_dst); }
    int32_t LumaW(bool src) const { return PlaneW(src) << (plane ? chroma_shift_x : 0); }
    int32_t LumaH(bool src) const { return PlaneH(src) << (plane ? chroma_shift_y : 0); }
};

class ProbeRunner {
public:
    explicit ProbeRunner(const Probe &p) : p_(p)
    {
        const int planes = p.in == AV_PIX_FMT_GRAY8 ? 1 : 3;
        for (int k = 0; k < planes; ++k) {
            const bool chroma = k > 0;
            const int32_t sw = chroma ? p.LumaW(true) >> p.chroma_shift_x : p.LumaW(true);
            const int32_t sh = chroma ? p.LumaH(true) >> p.chroma_shift_y : p.LumaH(true);
            const int32_t dw = chroma ? p.LumaW(false) >> p.chroma_shift_x : p.LumaW(false);
            const int32_t dh = chroma ? p.LumaH(false) >> p.chroma_shift_y : p.LumaH(false);
            src_stride_[k] = (sw + 63) / 64 * 64 + 64;
            dst_stride_[k] = (2 * dw + 63) / 64 * 64 + 64;  // room for 16-bit samples
            src_[k].assign(size_t(src_stride_[k]) * size_t(sh + 2), 64);
            dst_[k].assign(size_t(dst_stride_[k]) * size_t(dh + 2), 0);
        }
        planes_ = planes;
    }
    bool Make(int flag)
    {
        ctx_.reset(sws_getContext(p_.LumaW(true), p_.LumaH(true), p_.in, p_.LumaW(false), p_.LumaH(false), p_.out,
                                  flag, nullptr, nullptr, nullptr));
        return ctx_ != nullptr;
    }
    // Sets sample j of the probed plane's probe line (every sample across the other direction).
    void Set(int32_t j, uint8_t value)
    {
        uint8_t *base = src_[p_.plane].data();
        const int64_t stride = src_stride_[p_.plane];
        if (p_.across) {
            for (int32_t r = 0; r < p_.other; ++r)
                base[r * stride + j] = value;
        } else {
            std::memset(base + j * stride, value, size_t(p_.other));
        }
    }
    void Fill(uint8_t value)
    {
        for (int32_t j = 0; j < p_.n_src; ++j)
            Set(j, value);
    }
    bool Run(std::vector<int32_t> &response)
    {
        const uint8_t *in[4] = {};
        uint8_t *out[4] = {};
        int in_stride[4] = {}, out_stride[4] = {};
        for (int k = 0; k < planes_; ++k) {
            in[k] = src_[k].data();
            out[k] = dst_[k].data();
            in_stride[k] = int(src_stride_[k]);
            out_stride[k] = int(dst_stride_[k]);
        }
        if (sws_scale(ctx_.get(), in, in_stride, 0, p_.LumaH(true), out, out_stride) != p_.LumaH(false))
            return false;
        response.resize(size_t(p_.n_dst));
        const uint8_t *o = dst_[p_.plane].data();
        const bool wide = p_.out != p_.in;
        for (int32_t i = 0; i < p_.n_dst; ++i) {
            const uint8_t *at = p_.across ? o + (wide ? 2 : 1) * i : o + int64_t(i) * dst_stride_[p_.plane];
            response[size_t(i)] = wide ? at[0] | at[1] << 8 : at[0];
        }
        return true;
    }

private:
    Probe p_;
    int planes_ = 1;
    std::unique_ptr<SwsContext, SwsFree> ctx_;
    std::vector<uint8_t> src_[3], dst_[3];
    int64_t src_stride_[3] = {}, dst_stride_[3] = {};
};

int32_t PaddedTaps(int32_t taps);

bool ReadFilter(PlaneSiting siting, bool across, int32_t n_src, int32_t n_dst, int flag, Filter &filter)
{
    Probe p;
    p.across = across;
    p.n_src = n_src;
    p.n_dst = n_dst;
    p.other = across ? 1 : 16;
    if (siting != PlaneSiting::kFull) {
        p.in = siting == PlaneSiting::kChroma420 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV422P;
        p.out = siting == PlaneSiting::kChroma420 ? AV_PIX_FMT_YUV420P16LE : AV_PIX_FMT_YUV422P16LE;
        p.plane = 1;
        p.chroma_shift_x = 1;
        p.chroma_shift_y = siting == PlaneSiting::kChroma420 ? 1 : 0;
        if (p.across)
            p.other = 1;
    }
    // The fast bilinear mode has a path of its own for 8-bit output: read that
    // one (its taps are never negative, so the full range probes them).
    const bool eight_bit = flag == SWS_FAST_BILINEAR;
    if (eight_bit)
        p.out = p.in;
    ProbeRunner runner(p);
    if (!runner.Make(flag))
        return false;
    const uint8_t kBase = eight_bit ? 0 : 64, kHigh = eight_bit ? 255 : 192;
    std::vector<int32_t> base, high, response;
    runner.Fill(kBase);
    if (!runner.Run(base))
        return false;
    runner.Fill(kHigh);
    if (!runner.Run(high))
        return false;
    runner.Fill(kBase);
    // One impulse per probe: filters near the edges reach much further than in
    // the middle (and some modes' do not shrink with the ratio), so no spacing
    // guessed from one place is safe everywhere.
    std::vector<std::vector<std::pair<int32_t, double>>> weights(static_cast<size_t>(n_dst));
    for (int32_t j = 0; j < n_src; ++j) {
        runner.Set(j, kHigh);
        if (!runner.Run(response))
            return false;
        runner.Set(j, kBase);
        for (int32_t i = 0; i < n_dst; ++i) {
            const int32_t delta = response[size_t(i)] - base[size_t(i)];
            const int32_t scale = high[size_t(i)] - base[size_t(i)];
            if (delta != 0 && scale > 0)
                weights[size_t(i)].push_back({j, double(delta) / scale});
        }
    }
    int32_t taps = 1;
    std::vector<int32_t> lo(size_t(n_dst), 0);
    for (int32_t i = 0; i < n_dst; ++i) {
        auto &w = weights[size_t(i)];
        if (w.empty())
            return false;
        std::sort(w.begin(), w.end());
        lo[size_t(i)] = w.front().first;
        taps = std::max(taps, w.back().first - w.front().first + 1);
    }
    taps = std::min(taps, n_src);
    filter.taps = taps;
    filter.stride = across ? PaddedTaps(taps) : taps;
    filter.start.assign(size_t(n_dst), 0);
    filter.coef.assign(size_t(n_dst) * size_t(filter.stride), 0);
    for (int32_t i = 0; i < n_dst; ++i) {
        const int32_t s = std::clamp(lo[size_t(i)], 0, n_src - taps);
        filter.start[size_t(i)] = s;
        int16_t *c = &filter.coef[size_t(i) * size_t(filter.stride)];
        int32_t sum = 0, biggest = 0;
        for (const auto &[j, w] : weights[size_t(i)]) {
            const int32_t k = j - s;
            if (k < 0 || k >= taps)
                return false;
            c[k] = int16_t(std::lround(w * (1 << kTapBits)));
            sum += c[k];
            if (std::abs(c[k]) > std::abs(c[biggest]))
                biggest = k;
        }
        c[biggest] = int16_t(c[biggest] + ((1 << kTapBits) - sum));
    }
    return true;
}

// Q6 intermediate, capped just below 256 as libswscale caps its own (its
// filters overshoot on sharp edges; the cap decides what the second pass sees).
constexpr int32_t kMidMax = (256 << kMidShift) - 1;
inline int16_t MidOf(int32_t acc) { return int16_t(std::min((acc + (1 << 7)) >> 8, kMidMax)); }

inline uint8_t ClampOut(int32_t a)
{
    const int32_t v = (a + (1 << (kOutShift - 1))) >> kOutShift;
    return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// Outputs [from, width) of one row summed across `taps` (padded) taps each.
void SumAcrossPlain(const uint8_t *row, const int32_t *start, const int16_t *coef, int32_t taps, int16_t *mid,
                    int32_t from, int32_t width)
{
    for (int32_t x = from; x < width; ++x) {
        const uint8_t *m = row + start[x];
        const int16_t *c = coef + int64_t(x) * taps;
        int32_t a = 0;
        for (int32_t k = 0; k < taps; ++k)
            a += int32_t(m[k]) * c[k];
        mid[x] = MidOf(a);
    }
}

// Samples [from, width) summed down `taps` intermediate rows.
void SumDownPlain(const int16_t *const *rows, const int16_t *coef, int32_t taps, uint8_t *out, int32_t from,
                  int32_t width)
{
    for (int32_t x = from; x < width; ++x) {
        int32_t a = 0;
        for (int32_t k = 0; k < taps; ++k)
            a += coef[k] * rows[k][x];
        out[x] = ClampOut(a);
    }
}

#if defined(__x86_64__)
#define IMAGING_AVX2 __attribute__((target("avx2")))

IMAGING_AVX2 inline __m128i FinishFour(__m128i s0, __m128i s1, __m128i s2, __m128i s3)
{
    const __m128i sums = _mm_hadd_epi32(_mm_hadd_epi32(s0, s1), _mm_hadd_epi32(s2, s3));
    const __m128i mid = _mm_srai_epi32(_mm_add_epi32(sums, _mm_set1_epi32(1 << 7)), 8);
    return _mm_min_epi32(mid, _mm_set1_epi32(kMidMax));
}

IMAGING_AVX2 inline void StoreFour(__m128i v, int16_t *out)
{
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), _mm_packs_epi32(v, v));
}

// Four outputs a step; taps padded to 8 (one 128-bit multiply-add each) or to a
// multiple of 16 (256-bit ones). The row has room for the padding past its end.
IMAGING_AVX2 int32_t SumAcrossAvx2(const uint8_t *row, const int32_t *start, const int16_t *coef, int32_t taps,
                                   int16_t *mid, int32_t width)
{
    int32_t x = 0;
    if (taps == 8) {
        for (; x + 4 <= width; x += 4) {
            __m128i s[4];
            for (int j = 0; j < 4; ++j) {
                const __m128i m = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(row + start[x + j])));
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(coef + (x + j) * 8));
                s[j] = _mm_madd_epi16(m, c);
            }
            StoreFour(FinishFour(s[0], s[1], s[2], s[3]), mid + x);
        }
        return x;
    }
    if (taps % 16 != 0)
        return 0;
    for (; x + 4 <= width; x += 4) {
        __m128i s[4];
        for (int j = 0; j < 4; ++j) {
            const uint8_t *m = row + start[x + j];
            const int16_t *c = coef + int64_t(x + j) * taps;
            __m256i a = _mm256_setzero_si256();
            for (int32_t k = 0; k < taps; k += 16) {
                const __m256i v = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(m + k)));
                a = _mm256_add_epi32(a, _mm256_madd_epi16(v, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(c + k))));
            }
            s[j] = _mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
        }
        StoreFour(FinishFour(s[0], s[1], s[2], s[3]), mid + x);
    }
    return x;
}

// Sixteen samples a step, two rows a multiply-add, the sums in registers
// across all taps.
IMAGING_AVX2 int32_t SumDownAvx2(const int16_t *const *rows, const int16_t *coef, int32_t taps, uint8_t *out,
                                 int32_t width)
{
    const __m256i round = _mm256_set1_epi32(1 << (kOutShift - 1));
    int32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
        int32_t k = 0;
        for (; k + 2 <= taps; k += 2) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[k] + x));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[k + 1] + x));
            const __m256i c = _mm256_set1_epi32(int32_t(uint16_t(coef[k])) | int32_t(uint32_t(uint16_t(coef[k + 1])) << 16));
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), c));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), c));
        }
        if (k < taps) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rows[k] + x));
            const __m256i c = _mm256_set1_epi32(int32_t(uint16_t(coef[k])));
            const __m256i z = _mm256_setzero_si256();
            lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, z), c));
            hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, z), c));
        }
        lo = _mm256_srai_epi32(_mm256_add_epi32(lo, round), kOutShift);
        hi = _mm256_srai_epi32(_mm256_add_epi32(hi, round), kOutShift);
        // unpacklo/hi split each 128-bit lane, and so do the packs: the order comes back.
        const __m256i words = _mm256_packs_epi32(lo, hi);
        const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), bytes);
    }
    return x;
}
#else
int32_t SumAcrossAvx2(const uint8_t *, const int32_t *, const int16_t *, int32_t, int16_t *, int32_t) { return 0; }
int32_t SumDownAvx2(const int16_t *const *, const int16_t *, int32_t, uint8_t *, int32_t) { return 0; }
#endif

// Taps a window is padded to, so the vector kernels read whole blocks.
int32_t PaddedTaps(int32_t taps) { return taps <= 8 ? 8 : (taps + 15) / 16 * 16; }

}  // namespace

struct PlaneScaler::State {
    int32_t src_w = 0, src_h = 0, dst_w = 0, dst_h = 0;
    uint32_t mode = 0;
    PlaneSiting siting = PlaneSiting::kFull;
    bool ready = false;
    Filter across, down;
    std::vector<uint8_t> row;        // one source row with room for padded taps
    std::vector<int16_t> ring;       // intermediate rows, source row r in slot r % taps down
    std::vector<int32_t> ring_row;   // which source row each slot holds (-1: none)
    std::vector<const int16_t *> rows;
};

PlaneScaler::PlaneScaler() : state_(std::make_unique<State>()) {}
PlaneScaler::~PlaneScaler() = default;

bool PlaneScaler::Configure(int32_t src_width, int32_t src_height, int32_t dst_width, int32_t dst_height,
                            uint32_t mode, PlaneSiting siting)
{
    State &s = *state_;
    if (s.ready && s.src_w == src_width && s.src_h == src_height && s.dst_w == dst_width && s.dst_h == dst_height &&
        s.mode == mode && s.siting == siting)
        return true;
    s.ready = false;
    const int flag = SwsFlagForMode(mode);
    auto in_range = [](int32_t v) { return v >= 1 && v <= kMaxPlaneSide; };
    if (!flag || !in_range(src_width) || !in_range(src_height) || !in_range(dst_width) || !in_range(dst_height))
        return false;
    if (!ReadFilter(siting, true, src_width, dst_width, flag, s.across) ||
        !ReadFilter(siting, false, src_height, dst_height, flag, s.down))
        return false;
    s.src_w = src_width, s.src_h = src_height, s.dst_w = dst_width, s.dst_h = dst_height;
    s.mode = mode;
    s.siting = siting;
    s.row.assign(size_t(src_width) + size_t(s.across.stride), 0);
    s.ring.assign(size_t(s.down.taps) * size_t(dst_width), 0);
    s.ring_row.assign(size_t(s.down.taps), -1);
    s.rows.assign(size_t(s.down.taps), nullptr);
    s.ready = true;
    return true;
}

bool PlaneScaler::Run(ConstPlane src, Plane dst)
{
    State &s = *state_;
    if (!s.ready || !src.data || !dst.data)
        return false;
    const int32_t down = s.down.taps, across = s.across.stride;
    const bool vectors = kernels::VectorsEnabled() && kernels::HaveAvx2();
    std::fill(s.ring_row.begin(), s.ring_row.end(), -1);
    for (int32_t i = 0; i < s.dst_h; ++i) {
        const int32_t first = s.down.start[size_t(i)];
        for (int32_t k = 0; k < down; ++k) {
            const int32_t r = first + k, slot = r % down;
            int16_t *mid = &s.ring[size_t(slot) * size_t(s.dst_w)];
            if (s.ring_row[size_t(slot)] != r) {
                std::memcpy(s.row.data(), src.data + int64_t(r) * src.stride, size_t(s.src_w));
                const int32_t done = vectors ? SumAcrossAvx2(s.row.data(), s.across.start.data(),
                                                             s.across.coef.data(), across, mid, s.dst_w)
                                             : 0;
                SumAcrossPlain(s.row.data(), s.across.start.data(), s.across.coef.data(), across, mid, done, s.dst_w);
                s.ring_row[size_t(slot)] = r;
            }
            s.rows[size_t(k)] = mid;
        }
        const int16_t *coef = &s.down.coef[size_t(i) * size_t(down)];
        uint8_t *out = dst.data + int64_t(i) * dst.stride;
        const int32_t done = vectors ? SumDownAvx2(s.rows.data(), coef, down, out, s.dst_w) : 0;
        SumDownPlain(s.rows.data(), coef, down, out, done, s.dst_w);
    }
    return true;
}

int32_t PlaneScaler::TapsAcross() const { return state_->ready ? state_->across.taps : 0; }
int32_t PlaneScaler::TapsDown() const { return state_->ready ? state_->down.taps : 0; }

}  // namespace imaging
