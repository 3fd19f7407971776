// Builds bitmap files byte by byte for the no-signal image tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace testbmp {

struct Picture {
    int32_t width = 4;
    int32_t height = 2;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t coloursUsed = 0;   // 0: 1 << bitCount for palettes
    uint32_t paletteEntries = 0; // entries actually written
    int32_t pixelOffset = -1;   // -1: right after the headers, palette and masks
    bool masks = false;         // three masks after the header
    uint32_t maskRed = 0x7C00, maskGreen = 0x03E0, maskBlue = 0x001F;
    uint8_t fill = 0;           // every pixel byte
};

inline void Put16(std::vector<uint8_t> &b, uint16_t v)
{
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void Put32(std::vector<uint8_t> &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(uint8_t(v >> (8 * i)));
}

inline std::vector<uint8_t> Build(const Picture &s)
{
    const uint64_t absHeight = s.height < 0 ? uint64_t(-int64_t(s.height)) : uint64_t(s.height);
    const uint64_t stride = ((uint64_t(s.width < 0 ? 0 : s.width) * s.bitCount + 31) / 32) * 4;
    const uint32_t headers = 54 + (s.masks ? 12 : 0) + s.paletteEntries * 4;
    const uint32_t offset = s.pixelOffset >= 0 ? uint32_t(s.pixelOffset) : headers;
    std::vector<uint8_t> b;
    b.push_back('B');
    b.push_back('M');
    Put32(b, uint32_t(offset + stride * absHeight));
    Put32(b, 0);
    Put32(b, offset);
    Put32(b, 40);
    Put32(b, uint32_t(s.width));
    Put32(b, uint32_t(s.height));
    Put16(b, 1);
    Put16(b, s.bitCount);
    Put32(b, s.compression);
    Put32(b, uint32_t(stride * absHeight));
    Put32(b, 2835);
    Put32(b, 2835);
    Put32(b, s.coloursUsed);
    Put32(b, 0);
    if (s.masks) {
        Put32(b, s.maskRed);
        Put32(b, s.maskGreen);
        Put32(b, s.maskBlue);
    }
    for (uint32_t i = 0; i < s.paletteEntries; ++i)
        Put32(b, i * 0x010101u);
    while (b.size() < offset)
        b.push_back(0);
    b.insert(b.end(), size_t(stride * absHeight), s.fill);
    return b;
}

inline void Write(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace testbmp
