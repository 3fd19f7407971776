// The no-signal bitmap's picture. The options' check decides which files are
// acceptable; this reads the pixels of those, with its own bounds checks so it
// is safe on any bytes.
#include "PipelineInternal.h"

#include <capture/Pipeline.h>

#include <algorithm>
#include <cstring>

namespace Capture {
namespace {

constexpr size_t kHeaderBytes = 54;
constexpr uint32_t kBitfields = 3;

uint16_t U16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// One colour channel of a 16-bit pixel, stretched to 0..255.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t top = 0;  // the largest value after the shift
    explicit Channel(uint32_t m) : mask(m)
    {
        if (!mask)
            return;
        while (!((mask >> shift) & 1))
            ++shift;
        top = mask >> shift;
    }
    uint8_t Of(uint32_t pixel) const { return top ? uint8_t(((pixel & mask) >> shift) * 255 / top) : 0; }
};

}  // namespace

bool DecodeBitmap(const uint8_t *data, size_t size, DecodedBitmap *out)
{
    if (!data || !out || size < kHeaderBytes || data[0] != 'B' || data[1] != 'M')
        return false;
    const uint32_t pixel_offset = U32(data + 10);
    const int64_t width = int32_t(U32(data + 18));
    const int64_t raw_height = int32_t(U32(data + 22));
    const unsigned bits = U16(data + 28);
    const uint32_t compression = U32(data + 30);
    const uint32_t colours = U32(data + 46);
    const bool top_down = raw_height < 0;
    const int64_t height = top_down ? -raw_height : raw_height;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide)
        return false;
    if (compression != 0 && compression != kBitfields)
        return false;

    size_t at = kHeaderBytes;
    uint8_t palette[256][3] = {};
    uint64_t palette_size = 0;
    Channel red(0x7C00), green(0x03E0), blue(0x001F);
    switch (bits) {
    case 4:
    case 8: {
        if (compression == kBitfields)
            return false;
        palette_size = colours ? colours : (uint64_t(1) << bits);
        if (palette_size * 4 > size - at)
            return false;
        for (uint64_t i = 0; i < std::min<uint64_t>(palette_size, 256); ++i) {
            const uint8_t *entry = data + at + 4 * i;
            palette[i][0] = entry[0];  // blue, green, red
            palette[i][1] = entry[1];
            palette[i][2] = entry[2];
        }
        at += size_t(palette_size * 4);
        break;
    }
    case 16:
    case 24:
        if (pixel_offset > kHeaderBytes) {
            if (compression == kBitfields) {
                if (pixel_offset != kHeaderBytes + 12 || size - at < 12)
                    return false;
                red = Channel(U32(data + at));
                green = Channel(U32(data + at + 4));
                blue = Channel(U32(data + at + 8));
            }
            if (pixel_offset > size)
                return false;
            at = pixel_offset;
        } else if (compression == kBitfields) {
            return false;
        }
        break;
    default:
        return false;
    }

    const uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    if (stride * uint64_t(height) > size - at)
        return false;
    DecodedBitmap bitmap;
    bitmap.width = int32_t(width);
    bitmap.height = int32_t(height);
    bitmap.pixels.resize(size_t(width) * size_t(height) * 3);
    for (int64_t r = 0; r < height; ++r) {
        const uint8_t *row = data + at + stride * uint64_t(r);
        uint8_t *o = bitmap.pixels.data() + size_t(top_down ? r : height - 1 - r) * size_t(width) * 3;
        for (int64_t x = 0; x < width; ++x, o += 3) {
            switch (bits) {
            case 4:
            case 8: {
                const unsigned index = bits == 8 ? row[x] : (x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 0x0F);
                if (index >= palette_size || index >= 256)
                    return false;
                std::memcpy(o, palette[index], 3);
                break;
            }
            case 16: {
                const uint32_t pixel = U16(row + 2 * x);
                o[0] = blue.Of(pixel);
                o[1] = green.Of(pixel);
                o[2] = red.Of(pixel);
                break;
            }
            default:
                std::memcpy(o, row + 3 * x, 3);
                break;
            }
        }
    }
    *out = std::move(bitmap);
    return true;
}

}  // namespace Capture
