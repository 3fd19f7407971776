#include "imaging/Format.h"

namespace imaging {

int BitsPerPixel(uint32_t code)
{
    const uint32_t id = FormatIdOf(code);
    if ((id & 0x1F) != 0)
        return static_cast<int>(id & 0x1F);
    switch (id) {
    case kYuy2:
    case kUyvy:
    case kBgr565:
    case kCompressedYuv:
    case kCompressedUyvy:
        return 16;
    case kPlanarYvu420:
    case kPlanarYuv420:
    case kNv12:
        return 12;
    case kLuma8:
        return 8;
    case kCompressed24:
    case kBgr24:
    case kCompressedBgr24:
        return 24;
    case kPixel32:
        return 32;
    default:
        return 0;
    }
}

uint64_t FrameSize(int64_t width, int64_t height, uint32_t code)
{
    if (width < 0 || height < 0)
        return 0;
    const uint64_t w = static_cast<uint64_t>(width);
    const uint64_t h = static_cast<uint64_t>(height);
    const uint64_t half = (w + 1) / 2;
    switch (FormatIdOf(code)) {
    case kRgb4:
        return h * half;
    case kRgb332:
    case kLuma8:
        return w * h;
    case kRgb565:
    case kYuy2:
    case kUyvy:
    case kBgr565:
        return 2 * w * h;
    case kRgb24:
    case kBgr24:
        return 3 * w * h;
    case kPlanarYvu420:
    case kPlanarYuv420:
    case kNv12:
        return 3 * h * half;
    case kPixel32:
        return 4 * w * h;
    default:
        return 0;
    }
}

uint64_t PackedRowBytes(int64_t width, uint32_t code)
{
    if (width < 0)
        return 0;
    return (static_cast<uint64_t>(width) * static_cast<uint64_t>(BitsPerPixel(code)) + 7) / 8;
}

bool IsStreamFormat(uint32_t code)
{
    const uint32_t id = FormatIdOf(code);
    return id == kRgb24 || id == kBgr24 || IsCompressed(id);
}

bool IsCompressed(uint32_t code)
{
    switch (FormatIdOf(code)) {
    case kCompressed24:
    case kCompressedYuv:
    case kCompressedBgr24:
    case kCompressedUyvy:
        return true;
    default:
        return false;
    }
}

bool IsPlanar420(uint32_t code)
{
    const uint32_t id = FormatIdOf(code);
    return id == kPlanarYvu420 || id == kPlanarYuv420;
}

}  // namespace imaging
