// Writing 24-bit bitmap files in tests.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// A whole 24-bit BMP file (54-byte headers, rows padded to four bytes, bottom row
// first) holding the top-down BGR picture `bgr` of w x h pixels.
inline std::vector<uint8_t> Bitmap24(const std::vector<uint8_t> &bgr, int32_t w, int32_t h)
{
    const uint32_t stride = (uint32_t(w) * 3 + 3) & ~3u;
    std::vector<uint8_t> f(54 + size_t(stride) * size_t(h), 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    f[0] = 'B';
    f[1] = 'M';
    put32(2, uint32_t(f.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(w));
    put32(22, uint32_t(h));
    f[26] = 1;
    f[28] = 24;
    for (int32_t y = 0; y < h; ++y)
        std::copy_n(&bgr[size_t(y) * size_t(w) * 3], size_t(w) * 3, &f[54 + size_t(h - 1 - y) * stride]);
    return f;
}

}  // namespace testsupport
