// Vector versions of the hot row kernels: AVX2 chosen at run time, SSE2 (always
// present on x86-64) for the transposes. Each has a plain counterpart that tests
// compare it with.
#include "Kernels.h"

#include "imaging/Simd.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define IMAGING_X86 1
#endif

namespace imaging {
namespace {
std::atomic<bool> g_enabled{true};
std::atomic<bool> g_wide{true};
std::atomic<unsigned> g_chosen{0};

// Notes that a kernel chose path (read first, so the hot case writes nothing).
void Chose(unsigned path)
{
    if ((g_chosen.load(std::memory_order_relaxed) & path) != path)
        g_chosen.fetch_or(path, std::memory_order_relaxed);
}
}  // namespace

unsigned TakeSimdPathsChosen() { return g_chosen.exchange(0, std::memory_order_relaxed); }

bool SimdActive() { return g_enabled.load(std::memory_order_relaxed) && kernels::HaveAvx2(); }
void SetSimdEnabled(bool enabled) { g_enabled.store(enabled, std::memory_order_relaxed); }
void SetWideVectorsEnabled(bool enabled) { g_wide.store(enabled, std::memory_order_relaxed); }

namespace kernels {

bool VectorsEnabled() { return g_enabled.load(std::memory_order_relaxed); }
bool UseAvx512() { return VectorsEnabled() && g_wide.load(std::memory_order_relaxed) && HaveAvx512(); }

#ifdef IMAGING_X86

// The Have... tests run where a kernel picks its path (after VectorsEnabled), so a
// true answer records the path as chosen.
bool HaveAvx2()
{
    static const bool have = __builtin_cpu_supports("avx2");
    if (have)
        Chose(kSimdAvx2);
    return have;
}

namespace {

#define IMAGING_AVX2 __attribute__((target("avx2")))

// Repeats a 16-byte pattern over a 64-byte table, so each width loads its own
// lanes' worth of the same pattern.
struct LanePattern {
    alignas(64) uint8_t bytes[64];
    constexpr explicit LanePattern(const uint8_t (&lane)[16]) : bytes{}
    {
        for (int i = 0; i < 64; ++i)
            bytes[i] = lane[i % 16];
    }
};
constexpr uint8_t kDupLowLane[16] = {0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13};
constexpr uint8_t kDupHighLane[16] = {2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15};
// Each chroma sum of a pair, from its low or high 16 bits, to both pixels.
constexpr LanePattern kDupLow{kDupLowLane}, kDupHigh{kDupHighLane};

IMAGING_AVX2 inline __m256i Reverse32Bytes(__m256i v)
{
    const __m256i mask = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11,
                                          10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    return _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, mask), 0x4E);
}

#define IMG_BITS 256
#define IMG_TARGET IMAGING_AVX2
#include "Yuy2Colour.inc"

}  // namespace

IMAGING_AVX2 int64_t Yuy2To565Avx2(const uint8_t *in, uint8_t *out, int64_t pixels, bool swapped)
{
    int64_t i = Yuy2To565Blocks256(in, out, pixels, swapped);
    if (i + 16 <= pixels) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 2 * i));
        __m256i wa, unused;
        Pack565256(ToBytes256(a, a), swapped, wa, unused);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 2 * i), wa);
        i += 16;
    }
    return i;
}

IMAGING_AVX2 int64_t Yuy2To332Avx2(const uint8_t *in, uint8_t *out, int64_t pixels)
{
    int64_t i = 0;
    for (; i + 32 <= pixels; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 2 * i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + 2 * i + 32));
        const __m256i bytes = _mm256_permute4x64_epi64(Pack332256(ToBytes256(a, b)), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), bytes);
    }
    return i;
}

#define IMAGING_AVX512 __attribute__((target("avx512f,avx512bw")))

bool HaveAvx512()
{
    static const bool have = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
    if (have)
        Chose(kSimdAvx512);
    return have;
}

namespace {

#define IMG_BITS 512
#define IMG_TARGET IMAGING_AVX512
#include "Yuy2Colour.inc"

}  // namespace

IMAGING_AVX512 int64_t Yuy2To565Avx512(const uint8_t *in, uint8_t *out, int64_t pixels, bool swapped)
{
    const int64_t i = Yuy2To565Blocks512(in, out, pixels, swapped);
    return i + Yuy2To565Avx2(in + 2 * i, out + 2 * i, pixels - i, swapped);
}

IMAGING_AVX512 int64_t Yuy2To332Avx512(const uint8_t *in, uint8_t *out, int64_t pixels)
{
    // Byte packing leaves lane k holding 8 pixels of each block: a0 b0 a1 b1 ...
    // in 64-bit quarters; this puts them back in pixel order.
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    int64_t i = 0;
    for (; i + 64 <= pixels; i += 64) {
        const __m512i a = _mm512_loadu_si512(in + 2 * i);
        const __m512i b = _mm512_loadu_si512(in + 2 * i + 64);
        const __m512i bytes = _mm512_maskz_permutexvar_epi64(0xFF, order, Pack332512(ToBytes512(a, b)));
        _mm512_storeu_si512(out + i, bytes);
    }
    return i + Yuy2To332Avx2(in + 2 * i, out + i, pixels - i);
}

IMAGING_AVX2 int64_t SwapBytePairsAvx2(uint8_t *data, int64_t units)
{
    const __m256i mask = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1, 0, 3, 2, 5, 4,
                                          7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    int64_t i = 0;
    for (; i + 16 <= units; i += 16) {
        __m256i *p = reinterpret_cast<__m256i *>(data + 2 * i);
        _mm256_storeu_si256(p, _mm256_shuffle_epi8(_mm256_loadu_si256(p), mask));
    }
    return i;
}

__attribute__((target("ssse3"))) int64_t GroupsToPairsSsse3(const uint8_t *in, uint8_t *out, int64_t pairs,
                                                             bool uyvy)
{
    const __m128i mask = uyvy ? _mm_setr_epi8(0, 1, 5, 4, 6, 7, 11, 10, -1, -1, -1, -1, -1, -1, -1, -1)
                              : _mm_setr_epi8(1, 0, 4, 5, 7, 6, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1);
    int64_t k = 0;
    // Each step reads 16 bytes at 6k + 12: stop while that stays inside the input.
    for (; k + 5 <= pairs; k += 4) {
        const __m128i lo = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 6 * k)), mask);
        const __m128i hi = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 6 * k + 12)), mask);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * k), _mm_unpacklo_epi64(lo, hi));
    }
    return k;
}

__attribute__((target("ssse3"))) void BlendAcrossSsse3(const uint8_t *row, const BlendGroup *groups, int64_t count,
                                                       uint16_t *out)
{
    for (int64_t g = 0; g < count; ++g) {
        const BlendGroup &b = groups[g];
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + b.base));
        const __m128i p0 = _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i *>(b.take0)));
        const __m128i p1 = _mm_shuffle_epi8(v, _mm_load_si128(reinterpret_cast<const __m128i *>(b.take1)));
        const __m128i sum = _mm_add_epi16(_mm_mullo_epi16(p0, _mm_load_si128(reinterpret_cast<const __m128i *>(b.w0))),
                                          _mm_mullo_epi16(p1, _mm_load_si128(reinterpret_cast<const __m128i *>(b.w1))));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 8 * g), sum);
    }
}

__attribute__((target("ssse3"))) void PickAcrossSsse3(const uint8_t *row, const PickGroup *groups, int64_t count,
                                                      uint8_t *out, int64_t step)
{
    for (int64_t g = 0; g < count; ++g) {
        const PickGroup &p = groups[g];
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + p.base));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + p.base + 16));
        const __m128i v = _mm_or_si128(_mm_shuffle_epi8(a, _mm_load_si128(reinterpret_cast<const __m128i *>(p.lo))),
                                       _mm_shuffle_epi8(b, _mm_load_si128(reinterpret_cast<const __m128i *>(p.hi))));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + step * g), v);
    }
}

IMAGING_AVX2 int64_t SwapRangesAvx2(uint8_t *a, uint8_t *b, int64_t bytes)
{
    int64_t i = 0;
    for (; i + 64 <= bytes; i += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(a + i + 32));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + i + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(a + i), b0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(a + i + 32), b1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(b + i), a0);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(b + i + 32), a1);
    }
    return i;
}

IMAGING_AVX2 void CopyRowsAvx2(const uint8_t *src, int64_t src_stride, uint8_t *dst, int64_t dst_stride,
                               int64_t row_bytes, int64_t rows)
{
    constexpr int64_t kAhead = 512;
    const int64_t n = row_bytes;
    for (int64_t r = 0; r < rows; ++r) {
        const uint8_t *s = src + r * src_stride;
        uint8_t *d = dst + r * dst_stride;
        const bool last = r + 1 == rows;
        int64_t i = 0;
        for (; i + 64 <= n; i += 64) {
            // The byte kAhead further along the copy: in this row, or as far into the next.
            const int64_t at = i + kAhead;
            const uint8_t *ahead = at < n ? s + at : last ? s + i : s + src_stride + std::min(at - n, n - 1);
            _mm_prefetch(reinterpret_cast<const char *>(ahead), _MM_HINT_T0);
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i + 32));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i), a);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i + 32), b);
        }
        if (i + 32 <= n) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i)));
            i += 32;
        }
        if (i < n)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + n - 32),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + n - 32)));
    }
}

IMAGING_AVX2 int64_t BlendRowsAvx2(const uint16_t *h0, const uint16_t *h1, uint32_t a, uint32_t b, uint8_t *out,
                                   int64_t count)
{
    const __m256i weights = _mm256_set1_epi32(static_cast<int>(a | b << 16));
    // Sixteen sums: interleaved with their partners, multiplied and added in 32 bits,
    // then packed back in their own order.
    auto sixteen = [&](int64_t i) IMAGING_AVX2 {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(h0 + i));
        const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(h1 + i));
        const __m256i lo = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(p, q), weights), 14);
        const __m256i hi = _mm256_srli_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(p, q), weights), 14);
        return _mm256_packs_epi32(lo, hi);
    };
    int64_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(sixteen(i), sixteen(i + 16)), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + i), bytes);
    }
    return i;
}

namespace {

// Sixteen block sums (the byte at i plus the byte 3 further, in both rows),
// quartered: valid where the position lies in the first half of a pixel pair.
__attribute__((target("ssse3"))) inline __m128i QuarterSums(const uint8_t *r0, const uint8_t *r1)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i rows[4] = {_mm_loadu_si128(reinterpret_cast<const __m128i *>(r0)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(r1)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(r0 + 3)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(r1 + 3))};
    __m128i lo = zero, hi = zero;
    for (const __m128i &r : rows) {
        lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(r, zero));
        hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(r, zero));
    }
    return _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2));
}

}  // namespace

__attribute__((target("ssse3"))) int64_t HalveRow24Ssse3(const uint8_t *r0, const uint8_t *r1, uint8_t *out,
                                                          int64_t pixels)
{
    // Eight output pixels (24 bytes) from 48 bytes of each row, as three blocks of
    // 16 whose valid bytes are gathered by shuffles.
    const __m128i first0 = _mm_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1);
    const __m128i first1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 4, 8, 9, 10, 14);
    const __m128i second1 = _mm_setr_epi8(15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i second2 = _mm_setr_epi8(-1, 0, 4, 5, 6, 10, 11, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    int64_t x = 0;
    // The last block reads 3 bytes past its 16: keep that inside the rows.
    for (; x + 9 <= pixels; x += 8) {
        const uint8_t *a = r0 + 6 * x, *b = r1 + 6 * x;
        const __m128i s0 = QuarterSums(a, b), s1 = QuarterSums(a + 16, b + 16), s2 = QuarterSums(a + 32, b + 32);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 3 * x),
                         _mm_or_si128(_mm_shuffle_epi8(s0, first0), _mm_shuffle_epi8(s1, first1)));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 3 * x + 16),
                         _mm_or_si128(_mm_shuffle_epi8(s1, second1), _mm_shuffle_epi8(s2, second2)));
    }
    return x;
}

namespace {

// 16 bytes at p in lane 0 and 16 bytes at p + 48 in lane 1.
IMAGING_AVX2 inline __m256i LanesApart48(const uint8_t *p)
{
    return _mm256_loadu2_m128i(reinterpret_cast<const __m128i *>(p + 48), reinterpret_cast<const __m128i *>(p));
}

// QuarterSums in both lanes: lane 0 from r0/r1, lane 1 from 48 bytes further.
IMAGING_AVX2 inline __m256i QuarterSums2(const uint8_t *r0, const uint8_t *r1)
{
    auto both = LanesApart48;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i rows[4] = {both(r0), both(r1), both(r0 + 3), both(r1 + 3)};
    __m256i lo = zero, hi = zero;
    for (const __m256i &r : rows) {
        lo = _mm256_add_epi16(lo, _mm256_unpacklo_epi8(r, zero));
        hi = _mm256_add_epi16(hi, _mm256_unpackhi_epi8(r, zero));
    }
    return _mm256_packus_epi16(_mm256_srli_epi16(lo, 2), _mm256_srli_epi16(hi, 2));
}

}  // namespace

IMAGING_AVX2 int64_t HalveRow24Avx2(const uint8_t *r0, const uint8_t *r1, uint8_t *out, int64_t pixels)
{
    // HalveRow24Ssse3 for sixteen output pixels at once: eight per lane.
    const __m256i first0 = _mm256_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 6, 7,
                                            8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1);
    const __m256i first1 = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 4, 8, 9, 10, 14, -1, -1, -1, -1,
                                            -1, -1, -1, -1, -1, 2, 3, 4, 8, 9, 10, 14);
    const __m256i second1 = _mm256_setr_epi8(15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 15, -1,
                                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i second2 = _mm256_setr_epi8(-1, 0, 4, 5, 6, 10, 11, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 5,
                                             6, 10, 11, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    int64_t x = 0;
    // The last block of lane 1 reads 3 bytes past its 16: keep that inside the rows.
    for (; x + 17 <= pixels; x += 16) {
        const uint8_t *a = r0 + 6 * x, *b = r1 + 6 * x;
        const __m256i s0 = QuarterSums2(a, b), s1 = QuarterSums2(a + 16, b + 16), s2 = QuarterSums2(a + 32, b + 32);
        const __m256i head = _mm256_or_si256(_mm256_shuffle_epi8(s0, first0), _mm256_shuffle_epi8(s1, first1));
        const __m256i tail = _mm256_or_si256(_mm256_shuffle_epi8(s1, second1), _mm256_shuffle_epi8(s2, second2));
        uint8_t *o = out + 3 * x;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(head));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o + 16), _mm256_castsi256_si128(tail));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 24), _mm256_extracti128_si256(head, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(o + 40), _mm256_extracti128_si256(tail, 1));
    }
    return x + HalveRow24Ssse3(r0 + 6 * x, r1 + 6 * x, out + 3 * x, pixels - x);
}

bool HaveSsse3()
{
    static const bool have = __builtin_cpu_supports("ssse3");
    if (have)
        Chose(kSimdSsse3);
    return have;
}

namespace {

IMAGING_AVX2 void ReverseBytesAvx2(uint8_t *data, int64_t count)
{
    uint8_t *lo = data, *hi = data + count;
    while (hi - lo >= 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(lo));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hi - 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(lo), Reverse32Bytes(b));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hi - 32), Reverse32Bytes(a));
        lo += 32;
        hi -= 32;
    }
    std::reverse(lo, hi);
}

// Rows r[0..15] (16 bytes each) to the 16 columns, written at out + i * stride:
// byte pairs, then pairs of pairs, and so on until each column is whole.
inline void Transpose16x16(const uint8_t *const r[16], uint8_t *out, int64_t stride)
{
    __m128i b[8][2], c[4][4], d[2][8];
    for (int p = 0; p < 8; ++p) {
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r[2 * p]));
        const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(r[2 * p + 1]));
        b[p][0] = _mm_unpacklo_epi8(x0, x1);
        b[p][1] = _mm_unpackhi_epi8(x0, x1);
    }
    for (int q = 0; q < 4; ++q)
        for (int h = 0; h < 2; ++h) {
            c[q][2 * h] = _mm_unpacklo_epi16(b[2 * q][h], b[2 * q + 1][h]);
            c[q][2 * h + 1] = _mm_unpackhi_epi16(b[2 * q][h], b[2 * q + 1][h]);
        }
    for (int o = 0; o < 2; ++o)
        for (int k = 0; k < 4; ++k) {
            d[o][2 * k] = _mm_unpacklo_epi32(c[2 * o][k], c[2 * o + 1][k]);
            d[o][2 * k + 1] = _mm_unpackhi_epi32(c[2 * o][k], c[2 * o + 1][k]);
        }
    for (int m = 0; m < 8; ++m) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (2 * m) * stride), _mm_unpacklo_epi64(d[0][m], d[1][m]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (2 * m + 1) * stride),
                         _mm_unpackhi_epi64(d[0][m], d[1][m]));
    }
}

// Rows r[0..15] (32 bytes each) to 32 columns: the 16 x 16 transpose above in
// both 128-bit lanes at once, lane 0 giving columns 0-15 and lane 1 16-31.
IMAGING_AVX2 inline void Transpose16x32(const uint8_t *const r[16], uint8_t *out, int64_t stride)
{
    __m256i b[8][2], c[4][4], d[2][8];
    for (int p = 0; p < 8; ++p) {
        const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r[2 * p]));
        const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(r[2 * p + 1]));
        b[p][0] = _mm256_unpacklo_epi8(x0, x1);
        b[p][1] = _mm256_unpackhi_epi8(x0, x1);
    }
    for (int q = 0; q < 4; ++q)
        for (int h = 0; h < 2; ++h) {
            c[q][2 * h] = _mm256_unpacklo_epi16(b[2 * q][h], b[2 * q + 1][h]);
            c[q][2 * h + 1] = _mm256_unpackhi_epi16(b[2 * q][h], b[2 * q + 1][h]);
        }
    for (int o = 0; o < 2; ++o)
        for (int k = 0; k < 4; ++k) {
            d[o][2 * k] = _mm256_unpacklo_epi32(c[2 * o][k], c[2 * o + 1][k]);
            d[o][2 * k + 1] = _mm256_unpackhi_epi32(c[2 * o][k], c[2 * o + 1][k]);
        }
    auto put = [&](int column, __m256i v) IMAGING_AVX2 {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + column * stride), _mm256_castsi256_si128(v));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (column + 16) * stride), _mm256_extracti128_si256(v, 1));
    };
    for (int m = 0; m < 8; ++m) {
        put(2 * m, _mm256_unpacklo_epi64(d[0][m], d[1][m]));
        put(2 * m + 1, _mm256_unpackhi_epi64(d[0][m], d[1][m]));
    }
}

inline void Transpose4x4x32(const uint8_t *const r[4], uint8_t *out, int64_t stride)
{
    auto row = [&](int k) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(r[k])); };
    const __m128i t0 = _mm_unpacklo_epi32(row(0), row(1)), t1 = _mm_unpacklo_epi32(row(2), row(3));
    const __m128i t2 = _mm_unpackhi_epi32(row(0), row(1)), t3 = _mm_unpackhi_epi32(row(2), row(3));
    const __m128i cols[4] = {_mm_unpacklo_epi64(t0, t1), _mm_unpackhi_epi64(t0, t1), _mm_unpacklo_epi64(t2, t3),
                             _mm_unpackhi_epi64(t2, t3)};
    for (int k = 0; k < 4; ++k)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k * stride), cols[k]);
}

}  // namespace

#else  // not x86-64: the plain kernels only

bool HaveAvx2() { return false; }
bool HaveAvx512() { return false; }
int64_t Yuy2To565Avx512(const uint8_t *, uint8_t *, int64_t, bool) { return 0; }
int64_t Yuy2To332Avx512(const uint8_t *, uint8_t *, int64_t) { return 0; }
int64_t Yuy2To565Avx2(const uint8_t *, uint8_t *, int64_t, bool) { return 0; }
int64_t Yuy2To332Avx2(const uint8_t *, uint8_t *, int64_t) { return 0; }
int64_t SwapBytePairsAvx2(uint8_t *, int64_t) { return 0; }
int64_t GroupsToPairsSsse3(const uint8_t *, uint8_t *, int64_t, bool) { return 0; }
void BlendAcrossSsse3(const uint8_t *, const BlendGroup *, int64_t, uint16_t *) {}
void PickAcrossSsse3(const uint8_t *, const PickGroup *, int64_t, uint8_t *, int64_t) {}
void CopyRowsAvx2(const uint8_t *, int64_t, uint8_t *, int64_t, int64_t, int64_t) {}
int64_t SwapRangesAvx2(uint8_t *, uint8_t *, int64_t) { return 0; }
int64_t HalveRow24Ssse3(const uint8_t *, const uint8_t *, uint8_t *, int64_t) { return 0; }
int64_t HalveRow24Avx2(const uint8_t *, const uint8_t *, uint8_t *, int64_t) { return 0; }
int64_t BlendRowsAvx2(const uint16_t *, const uint16_t *, uint32_t, uint32_t, uint8_t *, int64_t) { return 0; }
bool HaveSsse3() { return false; }

#endif

void ReverseBytesSimd(uint8_t *data, int64_t count)
{
#ifdef IMAGING_X86
    if (VectorsEnabled() && HaveAvx2()) {
        ReverseBytesAvx2(data, count);
        return;
    }
#endif
    std::reverse(data, data + count);
}

namespace {

// Plain turn of one pixel, for the strips the blocks leave over.
template <size_t Size>
inline void TurnPixel(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise, int64_t x,
                      int64_t y)
{
    const int64_t ox = clockwise ? height - 1 - y : y;
    const int64_t oy = clockwise ? x : width - 1 - x;
    std::memcpy(dst + (oy * height + ox) * int64_t{Size}, src + (y * width + x) * int64_t{Size}, Size);
}

// Turns a strip of Block rows at a time: blocks of Wide x Block pixels with
// `wide` while the row has room, then Block x Block with `transpose`; the plain
// loop does the right and bottom strips.
template <size_t Size, int Block, int Wide, typename Transpose, typename WideTranspose>
void TurnBlocks(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise, Transpose transpose,
                WideTranspose wide)
{
    static_assert(Wide % Block == 0);
    const int64_t bw = width / Block * Block, bh = height / Block * Block;
    const int64_t row = width * int64_t{Size}, out_row = height * int64_t{Size};
    for (int64_t y0 = 0; y0 < bh; y0 += Block) {
        const uint8_t *rows[Block];
        for (int k = 0; k < Block; ++k) {
            const int64_t y = clockwise ? y0 + Block - 1 - k : y0 + k;
            rows[k] = src + y * row;
        }
        int64_t x0 = 0;
        auto turn = [&](auto &&op, int64_t step) {
            if (clockwise)
                op(rows, dst + x0 * out_row + (height - Block - y0) * int64_t{Size}, out_row);
            else
                op(rows, dst + (width - 1 - x0) * out_row + y0 * int64_t{Size}, -out_row);
            x0 += step;
            for (auto &r : rows)
                r += step * int64_t{Size};
        };
        while (x0 + Wide <= bw)
            turn(wide, Wide);
        while (x0 < bw)
            turn(transpose, Block);
        for (int64_t y = y0; y < y0 + Block; ++y)
            for (int64_t x = bw; x < width; ++x)
                TurnPixel<Size>(src, width, height, dst, clockwise, x, y);
    }
    for (int64_t y = bh; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            TurnPixel<Size>(src, width, height, dst, clockwise, x, y);
}

template <size_t Size>
void TurnPlain(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise)
{
    for (int64_t y = 0; y < height; ++y)
        for (int64_t x = 0; x < width; ++x)
            TurnPixel<Size>(src, width, height, dst, clockwise, x, y);
}

}  // namespace

void TurnPlane8(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise)
{
#ifdef IMAGING_X86
    if (VectorsEnabled()) {
        auto narrow = [](const uint8_t *const r[16], uint8_t *out, int64_t s) { Transpose16x16(r, out, s); };
        if (HaveAvx2())
            TurnBlocks<1, 16, 32>(src, width, height, dst, clockwise, narrow,
                                  [](const uint8_t *const r[16], uint8_t *out, int64_t s)
                                      IMAGING_AVX2 { Transpose16x32(r, out, s); });
        else
            TurnBlocks<1, 16, 16>(src, width, height, dst, clockwise, narrow, narrow);
        return;
    }
#endif
    TurnPlain<1>(src, width, height, dst, clockwise);
}

void TurnPlane32(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise)
{
#ifdef IMAGING_X86
    if (VectorsEnabled()) {
        auto block = [](const uint8_t *const r[4], uint8_t *out, int64_t s) { Transpose4x4x32(r, out, s); };
        TurnBlocks<4, 4, 4>(src, width, height, dst, clockwise, block, block);
        return;
    }
#endif
    TurnPlain<4>(src, width, height, dst, clockwise);
}

}  // namespace kernels

unsigned SimdPathsSupported()
{
#ifdef IMAGING_X86
    return (__builtin_cpu_supports("ssse3") ? kSimdSsse3 : 0u) | (__builtin_cpu_supports("avx2") ? kSimdAvx2 : 0u) |
           (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") ? kSimdAvx512 : 0u);
#else
    return 0;
#endif
}

}  // namespace imaging
