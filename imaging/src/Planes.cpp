// Colour conversions and plane splitting between packed and planar layouts.
// The row kernels are plain loops the compiler vectorises; each is built for
// AVX2 as well and the processor picks at load time.
#include "imaging/Planes.h"

#include "Kernels.h"

#include <cstring>

// Under ThreadSanitizer the clones' load-time resolver would run instrumented before
// the sanitizer is set up (and crash the program): that build keeps the plain loops.
#if defined(__SANITIZE_THREAD__)
#define IMAGING_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define IMAGING_CLONES
#endif
#endif
#ifndef IMAGING_CLONES
#define IMAGING_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace imaging {
namespace {

inline const uint8_t *Row(ConstPlane p, int64_t r) { return p.data + r * p.stride; }
inline uint8_t *Row(Plane p, int64_t r) { return p.data + r * p.stride; }

// BT.601 studio range, 8 fractional bits.
inline uint8_t Luma(int r, int g, int b) { return uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16); }
// Chroma of the sum of 2 << extra pixels (extra 0: a pair, 1: a 2 x 2 block).
inline uint8_t ChromaU(int rs, int gs, int bs, int shift)
{
    return uint8_t(((-38 * rs - 74 * gs + 112 * bs + (1 << (shift - 1))) >> shift) + 128);
}
inline uint8_t ChromaV(int rs, int gs, int bs, int shift)
{
    return uint8_t(((112 * rs - 94 * gs - 18 * bs + (1 << (shift - 1))) >> shift) + 128);
}

// One or two 24-bit rows to a luma row each and one chroma row (the mean of the
// rows given). r1 may be null (4:2:2).
template <bool RedFirst>
[[gnu::always_inline]] inline void RgbRowsToYuvOf(const uint8_t *r0, const uint8_t *r1, uint8_t *y0, uint8_t *y1, uint8_t *u,
                                 uint8_t *v, int32_t pairs)
{
    constexpr int R = RedFirst ? 0 : 2, B = RedFirst ? 2 : 0;
    for (int32_t k = 0; k < pairs; ++k) {
        const uint8_t *a = r0 + 6 * k;
        y0[2 * k] = Luma(a[R], a[1], a[B]);
        y0[2 * k + 1] = Luma(a[3 + R], a[4], a[3 + B]);
        int rs = a[R] + a[3 + R], gs = a[1] + a[4], bs = a[B] + a[3 + B];
        int shift = 9;
        if (r1) {
            const uint8_t *c = r1 + 6 * k;
            y1[2 * k] = Luma(c[R], c[1], c[B]);
            y1[2 * k + 1] = Luma(c[3 + R], c[4], c[3 + B]);
            rs += c[R] + c[3 + R], gs += c[1] + c[4], bs += c[B] + c[3 + B];
            shift = 10;
        }
        u[k] = ChromaU(rs, gs, bs, shift);
        v[k] = ChromaV(rs, gs, bs, shift);
    }
}

template <bool RedFirst>
[[gnu::always_inline]] inline void RgbRowToPackedOf(const uint8_t *in, uint8_t *out, int32_t pairs, bool uyvy)
{
    constexpr int R = RedFirst ? 0 : 2, B = RedFirst ? 2 : 0;
    const int yo = uyvy ? 1 : 0, co = uyvy ? 0 : 1;
    for (int32_t k = 0; k < pairs; ++k) {
        const uint8_t *a = in + 6 * k;
        uint8_t *o = out + 4 * k;
        o[yo] = Luma(a[R], a[1], a[B]);
        o[yo + 2] = Luma(a[3 + R], a[4], a[3 + B]);
        const int rs = a[R] + a[3 + R], gs = a[1] + a[4], bs = a[B] + a[3 + B];
        o[co] = ChromaU(rs, gs, bs, 9);
        o[co + 2] = ChromaV(rs, gs, bs, 9);
    }
}

// The clones are made per byte order (templates cannot be cloned).
IMAGING_CLONES void BgrRowsToYuv(const uint8_t *r0, const uint8_t *r1, uint8_t *y0, uint8_t *y1, uint8_t *u, uint8_t *v,
                                 int32_t pairs)
{
    RgbRowsToYuvOf<false>(r0, r1, y0, y1, u, v, pairs);
}
IMAGING_CLONES void RgbRowsToYuv(const uint8_t *r0, const uint8_t *r1, uint8_t *y0, uint8_t *y1, uint8_t *u, uint8_t *v,
                                 int32_t pairs)
{
    RgbRowsToYuvOf<true>(r0, r1, y0, y1, u, v, pairs);
}
IMAGING_CLONES void BgrRowToPacked(const uint8_t *in, uint8_t *out, int32_t pairs, bool uyvy)
{
    RgbRowToPackedOf<false>(in, out, pairs, uyvy);
}
IMAGING_CLONES void RgbRowToPacked(const uint8_t *in, uint8_t *out, int32_t pairs, bool uyvy)
{
    RgbRowToPackedOf<true>(in, out, pairs, uyvy);
}

IMAGING_CLONES void PackedRowsToYuv(const uint8_t *r0, const uint8_t *r1, uint8_t *y0, uint8_t *y1, uint8_t *u,
                                    uint8_t *v, int32_t pairs, bool uyvy)
{
    const int yo = uyvy ? 1 : 0, co = uyvy ? 0 : 1;
    for (int32_t k = 0; k < pairs; ++k) {
        y0[2 * k] = r0[4 * k + yo];
        y0[2 * k + 1] = r0[4 * k + yo + 2];
    }
    if (!r1) {
        for (int32_t k = 0; k < pairs; ++k) {
            u[k] = r0[4 * k + co];
            v[k] = r0[4 * k + co + 2];
        }
        return;
    }
    for (int32_t k = 0; k < pairs; ++k) {
        y1[2 * k] = r1[4 * k + yo];
        y1[2 * k + 1] = r1[4 * k + yo + 2];
        u[k] = uint8_t((r0[4 * k + co] + r1[4 * k + co] + 1) >> 1);
        v[k] = uint8_t((r0[4 * k + co + 2] + r1[4 * k + co + 2] + 1) >> 1);
    }
}

IMAGING_CLONES void YuvRowToPacked(const uint8_t *y, const uint8_t *u, const uint8_t *v, uint8_t *out, int32_t pairs,
                                   bool uyvy)
{
    const int yo = uyvy ? 1 : 0, co = uyvy ? 0 : 1;
    for (int32_t k = 0; k < pairs; ++k) {
        out[4 * k + yo] = y[2 * k];
        out[4 * k + yo + 2] = y[2 * k + 1];
        out[4 * k + co] = u[k];
        out[4 * k + co + 2] = v[k];
    }
}

IMAGING_CLONES void SwapPairsRow(const uint8_t *in, uint8_t *out, int32_t units)
{
    for (int32_t k = 0; k < units; ++k) {
        out[2 * k] = in[2 * k + 1];
        out[2 * k + 1] = in[2 * k];
    }
}

IMAGING_CLONES void SwapRedBlueRow(const uint8_t *in, uint8_t *out, int32_t pixels)
{
    for (int32_t k = 0; k < pixels; ++k) {
        out[3 * k] = in[3 * k + 2];
        out[3 * k + 1] = in[3 * k + 1];
        out[3 * k + 2] = in[3 * k];
    }
}

IMAGING_CLONES void SplitRow(const uint8_t *in, uint8_t *a, uint8_t *b, uint8_t *c, int32_t pixels)
{
    for (int32_t k = 0; k < pixels; ++k) {
        a[k] = in[3 * k];
        b[k] = in[3 * k + 1];
        c[k] = in[3 * k + 2];
    }
}

IMAGING_CLONES void MergeRow(const uint8_t *a, const uint8_t *b, const uint8_t *c, uint8_t *out, int32_t pixels)
{
    for (int32_t k = 0; k < pixels; ++k) {
        out[3 * k] = a[k];
        out[3 * k + 1] = b[k];
        out[3 * k + 2] = c[k];
    }
}

}  // namespace

void Rgb24ToYuv(ConstPlane src, bool red_first, Plane y, Plane u, Plane v, int32_t width, int32_t height,
                ChromaRows chroma)
{
    const int32_t pairs = width / 2;
    auto rows = red_first ? RgbRowsToYuv : BgrRowsToYuv;
    if (chroma == ChromaRows::kFull) {
        for (int32_t r = 0; r < height; ++r)
            rows(Row(src, r), nullptr, Row(y, r), nullptr, Row(u, r), Row(v, r), pairs);
        return;
    }
    for (int32_t r = 0; r + 1 < height; r += 2)
        rows(Row(src, r), Row(src, r + 1), Row(y, r), Row(y, r + 1), Row(u, r / 2), Row(v, r / 2), pairs);
}

void Rgb24ToPacked422(ConstPlane src, bool red_first, Plane dst, bool uyvy, int32_t width, int32_t height)
{
    auto row = red_first ? RgbRowToPacked : BgrRowToPacked;
    for (int32_t r = 0; r < height; ++r)
        row(Row(src, r), Row(dst, r), width / 2, uyvy);
}

void Packed422ToYuv(ConstPlane src, bool uyvy, Plane y, Plane u, Plane v, int32_t width, int32_t height,
                    ChromaRows chroma)
{
    const int32_t pairs = width / 2;
    if (chroma == ChromaRows::kFull) {
        for (int32_t r = 0; r < height; ++r)
            PackedRowsToYuv(Row(src, r), nullptr, Row(y, r), nullptr, Row(u, r), Row(v, r), pairs, uyvy);
        return;
    }
    for (int32_t r = 0; r + 1 < height; r += 2)
        PackedRowsToYuv(Row(src, r), Row(src, r + 1), Row(y, r), Row(y, r + 1), Row(u, r / 2), Row(v, r / 2), pairs,
                        uyvy);
}

void YuvToPacked422(ConstPlane y, ConstPlane u, ConstPlane v, Plane dst, bool uyvy, int32_t width, int32_t height,
                    ChromaRows chroma)
{
    for (int32_t r = 0; r < height; ++r) {
        const int32_t c = chroma == ChromaRows::kHalf ? r / 2 : r;
        YuvRowToPacked(Row(y, r), Row(u, c), Row(v, c), Row(dst, r), width / 2, uyvy);
    }
}

void Packed422ToRgb24(ConstPlane src, bool uyvy, Plane dst, bool red_first, int32_t width, int32_t height)
{
    for (int32_t r = 0; r < height; ++r)
        kernels::Packed422RowToRgb24(Row(src, r), Row(dst, r), width / 2, uyvy, red_first);
}

void Packed422ToPacked422(ConstPlane src, bool src_uyvy, Plane dst, bool dst_uyvy, int32_t width, int32_t height)
{
    if (src_uyvy == dst_uyvy) {
        CopyPlane(src, dst, int64_t(width) * 2, height);
        return;
    }
    for (int32_t r = 0; r < height; ++r)
        SwapPairsRow(Row(src, r), Row(dst, r), width);
}

void Rgb24ToRgb24(ConstPlane src, Plane dst, bool swap, int32_t width, int32_t height)
{
    if (!swap) {
        CopyPlane(src, dst, int64_t(width) * 3, height);
        return;
    }
    for (int32_t r = 0; r < height; ++r)
        SwapRedBlueRow(Row(src, r), Row(dst, r), width);
}

void SplitRgb24(ConstPlane src, Plane p0, Plane p1, Plane p2, int32_t width, int32_t height)
{
    for (int32_t r = 0; r < height; ++r)
        SplitRow(Row(src, r), Row(p0, r), Row(p1, r), Row(p2, r), width);
}

void MergeRgb24(ConstPlane p0, ConstPlane p1, ConstPlane p2, Plane dst, int32_t width, int32_t height)
{
    for (int32_t r = 0; r < height; ++r)
        MergeRow(Row(p0, r), Row(p1, r), Row(p2, r), Row(dst, r), width);
}

void CopyPlane(ConstPlane src, Plane dst, int64_t row_bytes, int32_t rows)
{
    if (src.stride == row_bytes && dst.stride == row_bytes) {
        std::memcpy(dst.data, src.data, size_t(row_bytes) * size_t(rows));
        return;
    }
    for (int32_t r = 0; r < rows; ++r)
        std::memcpy(Row(dst, r), Row(src, r), size_t(row_bytes));
}

}  // namespace imaging
