// The check a file must pass before it may serve as the no-signal image: an
// uncompressed Windows bitmap of 4, 8, 16 or 24 bits per pixel whose every row
// decodes. The decoded picture is not kept; only its size is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>


// Pictures larger than this (in pixels or on either side) are refused unread:
// nothing this big can serve as a no-signal image, and refusing it bounds the work.
inline constexpr int64_t kMaxBitmapSide = 32767;
inline constexpr int64_t kMaxBitmapPixels = int64_t(16384) * 16384;

struct BitmapSize {
    int32_t width = 0;
    int32_t height = 0;  // always positive for a valid bitmap (bottom-up or top-down)
};

// Checks the bitmap held in memory. Returns true and fills *size (when given) for
// a valid bitmap; returns false for anything else, including a file that ends early.
[[nodiscard]] bool ValidateBitmapBytes(const uint8_t *data, size_t length, BitmapSize *size);

// Checks the bitmap file at path (UTF-8). A missing or unreadable file is invalid.
[[nodiscard]] bool ValidateBitmapFile(const std::string &path, BitmapSize *size);

