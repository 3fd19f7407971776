// In-place pixel conversions, vertical flip, rotations and cropping.
//
// Every routine works on caller-owned buffers, allocates nothing, never throws
// and returns false (leaving its output undefined) when a size condition fails.
#pragma once

#include "imaging/Format.h"

namespace imaging {

// Converts a YUY2 frame (id 0x0100) in place to 0x0004, 0x0008, 0x0010, 0x0300
// or 0x0400. Same id: success with nothing done. On success the frame's id (and
// for 0x0010/0x0400 its row order) becomes the target's and `size` shrinks to the
// bytes in use. For 0x0010 and 0x0400, a differing row order (bit 31) also turns
// the picture upside down. Any other pair fails with the frame unchanged.
[[nodiscard]] bool ConvertFromYuy2(FrameBuffer &frame, uint32_t target_code);

// Swaps row i with row rows-1-i. Refused (false, nothing changed) when the
// stride is not a multiple of 4 bytes.
[[nodiscard]] bool FlipRows(uint8_t *buffer, int32_t rows, int64_t stride);

// Flips a whole frame upside down, planar 4:2:0 plane by plane (even height
// needed), and toggles the row-order bit. Compressed and unknown ids fail.
[[nodiscard]] bool FlipFrame(FrameBuffer &frame);

// Turns the frame by 180 degrees in place (even width and height). Clears the
// scale and rotation bits (16-23) of its format code.
[[nodiscard]] bool Rotate180(FrameBuffer &frame);

// Turns `src` by 90 degrees into dst.data (dst.size bytes, at least the frame
// size). Even width and height needed; 4-bit frames are not supported. On success
// dst gets width = src height, height = src width and src's format code with the
// scale and rotation bits (16-23) cleared.
[[nodiscard]] bool Rotate90(const FrameBuffer &src, FrameBuffer &dst, bool clockwise);

// Clamps and aligns a crop rectangle to a frame: left and right to multiples of
// 4, planar (4:2:0 and 0x0C00) top and bottom to even rows; an empty span becomes the whole
// width or height. False when the result is empty.
[[nodiscard]] bool NormaliseCropRect(Rect &rect, int32_t width, int32_t height, uint32_t code);

// Copies `rect` (already normalised, inside the frame) of `src` into dst.data
// (dst.size bytes). With bottom-up rows the rectangle's top is measured from the
// top of the picture as seen. On success dst gets the rectangle's size and src's
// format code with the scale bits (16-19) cleared.
[[nodiscard]] bool Crop(const FrameBuffer &src, FrameBuffer &dst, const Rect &rect);

}  // namespace imaging
