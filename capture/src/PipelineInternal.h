// Parts of the frame pipeline shared between its files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Capture {

// A bitmap's picture as top-down 24-bit pixels, blue first.
struct DecodedBitmap {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;
};

// Decodes an uncompressed bitmap of 4, 8, 16 or 24 bits per pixel, reading the
// parts where the options' bitmap check looks for them. false for anything it
// cannot decode in full; every read is checked against `size`.
[[nodiscard]] bool DecodeBitmap(const uint8_t *data, size_t size, DecodedBitmap *out);

}  // namespace Capture
