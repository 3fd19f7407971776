// Frame format codes, bits per pixel, frame sizes and the frame buffer description.
//
// A frame format code is a 32-bit value: the pixel format id in bits 0-15, the
// scale mode in bits 16-19, the rotation in bits 20-21, the "ask the device
// directly" request flag in bit 30 and the row order in bit 31 (set = bottom-up).
// Rows are tightly packed; every size is computed in 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

// Pixel format ids (bits 0-15 of a frame format code).
enum PixelFormatId : uint32_t {
    kRgb4 = 0x0004,         // packed, two pixels per byte
    kRgb332 = 0x0008,       // red 7-6, green 5-3, blue 2-0
    kRgb565 = 0x0010,       // 16-bit LE: red 15-11, green 10-5, blue 4-0
    kRgb24 = 0x0018,        // three bytes per pixel
    kYuy2 = 0x0100,         // Y0 U Y1 V per pixel pair
    kPlanarYvu420 = 0x0200, // luma plane, then V, then U (half width, half height)
    kUyvy = 0x0300,         // U Y0 V Y1 per pixel pair
    kBgr565 = 0x0400,       // as kRgb565 with red and blue exchanged
    kLuma8 = 0x0500,        // luma plane only
    kCompressed24 = 0x0600, // compressed stream, decodes to kRgb24
    kCompressedYuv = 0x0700,// compressed stream, decodes to kYuy2
    kBgr24 = 0x0800,        // three bytes per pixel, blue first
    kCompressedBgr24 = 0x0900, // compressed stream, decodes to kBgr24
    kPlanarYuv420 = 0x0A00, // luma plane, then U, then V
    kPixel32 = 0x0B00,      // four bytes per pixel
    kNv12 = 0x0C00,         // luma plane, one interleaved chroma plane of half height
    kCompressedUyvy = 0x0D00, // compressed stream, decodes to kUyvy
};

constexpr uint32_t kFormatIdMask = 0x0000FFFFu;
constexpr uint32_t kScaleModeMask = 0x000F0000u;
constexpr uint32_t kScaleModeShift = 16;
constexpr uint32_t kRotationMask = 0x00300000u;
constexpr uint32_t kRotationShift = 20;
constexpr uint32_t kRequestDirect = 0x40000000u;
constexpr uint32_t kBottomUp = 0x80000000u;

// Rotation values (bits 20-21).
enum Rotation : uint32_t {
    kRotateNone = 0,
    kRotate90CounterClockwise = 1,
    kRotate90Clockwise = 2,
    kRotate180 = 3,
};

constexpr uint32_t FormatIdOf(uint32_t code) { return code & kFormatIdMask; }
constexpr uint32_t ScaleModeOf(uint32_t code) { return (code & kScaleModeMask) >> kScaleModeShift; }
constexpr uint32_t RotationOf(uint32_t code) { return (code & kRotationMask) >> kRotationShift; }
constexpr bool IsBottomUp(uint32_t code) { return (code & kBottomUp) != 0; }

// Bits per pixel of a format code: the low 5 bits of the id when not zero, else
// the id's own count; 0 for an unknown id.
[[nodiscard]] int BitsPerPixel(uint32_t code);

// Bytes of one frame of that size; 0 for ids without a known size (compressed,
// unknown) and for negative sizes.
[[nodiscard]] uint64_t FrameSize(int64_t width, int64_t height, uint32_t code);

// Bytes of one row of a packed format (4-bit rows rounded up to whole bytes).
[[nodiscard]] uint64_t PackedRowBytes(int64_t width, uint32_t code);

// 0x0600, 0x0700, 0x0900, 0x0D00.
[[nodiscard]] bool IsCompressed(uint32_t code);
// What a device streams: 24-bit pixels in either colour order or a compressed id.
[[nodiscard]] bool IsStreamFormat(uint32_t code);
// 0x0200 and 0x0A00 (treated alike everywhere).
[[nodiscard]] bool IsPlanar420(uint32_t code);

// A frame in a plain byte buffer. `size` is the buffer's size in bytes (the
// conversions that shrink a frame set it to the bytes in use).
struct FrameBuffer {
    uint8_t *data = nullptr;
    size_t size = 0;
    uint32_t format = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// A rectangle in pixels: left, top, width, height.
struct Rect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

}  // namespace imaging
