// Vector kernels and their constants, private to the library. Each returns how
// many elements it handled (a multiple of its block); the caller finishes the
// rest with the plain kernel.
#pragma once

#include <cstdint>

namespace imaging::kernels {

// Colour products in fixed point: round(c * x) == (((x << shift) * k + 2^14) >> 15)
// for every table index (checked against the tables before the kernels are used).
constexpr int kLumaShift = 1, kLumaFactor = 19071;     // 1.164 * (Y - 16)
constexpr int kChromaShift = 2;                        // (U - 128), (V - 128)
constexpr int kBlueU = 16531, kGreenU = -3203, kRedV = 13075, kGreenV = -6660;

// Emulates one lane of the rounding high multiply the kernels use.
constexpr int FixedProduct(int x, int shift, int factor) { return ((x * (1 << shift)) * factor + (1 << 14)) >> 15; }

bool HaveAvx2();
bool HaveAvx512();
// False after SetSimdEnabled(false).
bool VectorsEnabled();
// The 512-bit kernels may run: supported, and neither switch is off.
bool UseAvx512();

// YUY2 pixels to 16-bit words (red high, or blue high when `swapped`). `in` and
// `out` are the same buffer or do not overlap.
int64_t Yuy2To565Avx2(const uint8_t *in, uint8_t *out, int64_t pixels, bool swapped);
// YUY2 pixels to 3-3-2 bytes; `out` may be `in` (the output is half as long).
int64_t Yuy2To332Avx2(const uint8_t *in, uint8_t *out, int64_t pixels);
// The same two conversions 64 pixels a step, finishing with the AVX2 forms.
int64_t Yuy2To565Avx512(const uint8_t *in, uint8_t *out, int64_t pixels, bool swapped);
int64_t Yuy2To332Avx512(const uint8_t *in, uint8_t *out, int64_t pixels);
// Exchanges the two bytes of every 16-bit unit.
int64_t SwapBytePairsAvx2(uint8_t *data, int64_t units);
// Pixel pairs sent as U Y V U Y V to YUY2 or UYVY (6 bytes in, 4 out). The
// buffers do not overlap.
int64_t GroupsToPairsSsse3(const uint8_t *in, uint8_t *out, int64_t pairs, bool uyvy);
bool HaveSsse3();
// Copies `rows` rows of `row_bytes` (at least 32) between strided buffers,
// asking for the source a few cache lines ahead, across row ends, so the gaps
// between source rows do not stall the copy.
void CopyRowsAvx2(const uint8_t *src, int64_t src_stride, uint8_t *dst, int64_t dst_stride, int64_t row_bytes,
                  int64_t rows);
// Exchanges `bytes` bytes between two ranges that do not overlap. Returns how
// many it did (a multiple of 64).
int64_t SwapRangesAvx2(uint8_t *a, uint8_t *b, int64_t bytes);
// Reverses `count` bytes in place.
void ReverseBytesSimd(uint8_t *data, int64_t count);

// Eight output bytes of a 24-bit row blended across two source pixels: output
// byte i is w0[i] * row[base + take0[i]] + w1[i] * row[base + take1[i]] (take
// entries are byte offsets below 16, each followed by 0x80 so the byte widens to
// 16 bits). The 16 bytes from `base` lie inside the row.
struct BlendGroup {
    alignas(16) uint8_t take0[16];
    alignas(16) uint8_t take1[16];
    alignas(16) uint16_t w0[8];
    alignas(16) uint16_t w1[8];
    uint32_t base;
};
// Runs `count` groups over `row`, eight 16-bit sums each into `out`.
void BlendAcrossSsse3(const uint8_t *row, const BlendGroup *groups, int64_t count, uint16_t *out);

// Up to 16 output bytes picked from 32 source bytes: byte k of the group is
// row[base + k'] where lo[k] (k' < 16) or hi[k] (k' - 16) names it and the other
// holds 0x80. Each group stores 16 bytes; a group of fewer (15: five 24-bit
// pixels) leaves the rest to be written again by whoever writes those pixels.
// The 32 bytes from `base` lie inside the row.
struct PickGroup {
    alignas(16) uint8_t lo[16];
    alignas(16) uint8_t hi[16];
    uint32_t base;
};
// Runs `count` groups over `row`, `step` output bytes apart from `out`.
void PickAcrossSsse3(const uint8_t *row, const PickGroup *groups, int64_t count, uint8_t *out, int64_t step);

// out[i] = (a * h0[i] + b * h1[i]) >> 14 for 16-bit sums below 2^15 and weights
// summing to at most 128. Returns how many it did (a multiple of 32).
int64_t BlendRowsAvx2(const uint16_t *h0, const uint16_t *h1, uint32_t a, uint32_t b, uint8_t *out, int64_t count);

// Means of 2 x 2 blocks of 24-bit pixels, truncated: rows r0 and r1 of 6 * pixels
// bytes to `pixels` output pixels. Returns how many it did.
int64_t HalveRow24Ssse3(const uint8_t *r0, const uint8_t *r1, uint8_t *out, int64_t pixels);
// The same sixteen pixels a step, finishing with the SSSE3 form.
int64_t HalveRow24Avx2(const uint8_t *r0, const uint8_t *r1, uint8_t *out, int64_t pixels);

// Copies a width x height plane of bytes turned by 90 degrees.
void TurnPlane8(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise);
// The same for 32-bit pixels.
void TurnPlane32(const uint8_t *src, int64_t width, int64_t height, uint8_t *dst, bool clockwise);

// Plain row kernel (the YUY2 colour tables): `pairs` YUY2 (or UYVY) pixel pairs to
// 24-bit pixels, blue first unless `red_first`.
void Packed422RowToRgb24(const uint8_t *in, uint8_t *out, int64_t pairs, bool uyvy, bool red_first);

}  // namespace imaging::kernels
