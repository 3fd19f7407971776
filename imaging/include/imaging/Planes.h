// Pictures as planes of 8-bit samples: colour conversions between the packed
// 24-bit, packed 4:2:2 (YUY2, UYVY) and planar Y/U/V layouts, and splitting
// 24-bit pixels into three planes and back.
//
// Every routine takes the first row of each plane and its stride; a negative
// stride walks the rows upwards, so a conversion also turns the picture upside
// down at no cost. Sizes are the caller's to check: width even (pixel pairs) and,
// for 4:2:0 chroma, height even. Nothing allocates; rows never overlap.
//
// Colours are ITU-R BT.601, studio range. From Y/U/V to 24 bits the YUY2 tables
// of ConvertFromYuy2 are used; the way there rounds to nearest. Chroma of a
// subsampled block is the rounded mean of the block's pixels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

struct Plane {
    uint8_t *data = nullptr;
    ptrdiff_t stride = 0;
};
struct ConstPlane {
    const uint8_t *data = nullptr;
    ptrdiff_t stride = 0;
    ConstPlane() = default;
    ConstPlane(const uint8_t *d, ptrdiff_t s) : data(d), stride(s) {}
    ConstPlane(const Plane &p) : data(p.data), stride(p.stride) {}  // NOLINT: a writable plane reads too
};

// The chroma planes' resolution: 4:2:0 halves both directions, 4:2:2 only the width.
enum class ChromaRows { kHalf, kFull };

// 24-bit pixels (blue first, or red first with red_first) to Y, U and V planes.
void Rgb24ToYuv(ConstPlane src, bool red_first, Plane y, Plane u, Plane v, int32_t width, int32_t height,
                ChromaRows chroma);
// 24-bit pixels to YUY2 (or UYVY) pixel pairs.
void Rgb24ToPacked422(ConstPlane src, bool red_first, Plane dst, bool uyvy, int32_t width, int32_t height);
// YUY2 (or UYVY) to Y, U and V planes; 4:2:0 chroma is the mean of two rows.
void Packed422ToYuv(ConstPlane src, bool uyvy, Plane y, Plane u, Plane v, int32_t width, int32_t height,
                    ChromaRows chroma);
// Y, U and V planes to YUY2 (or UYVY); a 4:2:0 chroma row serves two rows.
void YuvToPacked422(ConstPlane y, ConstPlane u, ConstPlane v, Plane dst, bool uyvy, int32_t width, int32_t height,
                    ChromaRows chroma);
// YUY2 (or UYVY) to 24-bit pixels.
void Packed422ToRgb24(ConstPlane src, bool uyvy, Plane dst, bool red_first, int32_t width, int32_t height);
// YUY2 or UYVY to YUY2 or UYVY.
void Packed422ToPacked422(ConstPlane src, bool src_uyvy, Plane dst, bool dst_uyvy, int32_t width, int32_t height);
// 24-bit pixels copied, with red and blue exchanged when `swap`.
void Rgb24ToRgb24(ConstPlane src, Plane dst, bool swap, int32_t width, int32_t height);
// Byte 0, 1 and 2 of each 24-bit pixel to three planes, and back.
void SplitRgb24(ConstPlane src, Plane p0, Plane p1, Plane p2, int32_t width, int32_t height);
void MergeRgb24(ConstPlane p0, ConstPlane p1, ConstPlane p2, Plane dst, int32_t width, int32_t height);
// Rows of `row_bytes` bytes copied.
void CopyPlane(ConstPlane src, Plane dst, int64_t row_bytes, int32_t rows);

}  // namespace imaging
