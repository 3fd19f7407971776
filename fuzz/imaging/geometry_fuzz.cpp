// Crop, rotation, flip, conversion and scaling with any combination of ids, sizes,
// rectangles and modes, on buffers of exactly the size each call is given.
#include "imaging/Convert.h"
#include "imaging/Scaler.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const uint32_t kIds[] = {imaging::kRgb4,  imaging::kRgb332, imaging::kRgb565,       imaging::kRgb24,
                         imaging::kYuy2,  imaging::kUyvy,   imaging::kPlanarYvu420, imaging::kBgr565,
                         imaging::kLuma8, imaging::kBgr24,  imaging::kPlanarYuv420, imaging::kPixel32,
                         imaging::kNv12,  imaging::kCompressedYuv, 0x0E00};

struct Reader {
    const uint8_t *data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    int32_t Signed16() { return static_cast<int16_t>(Byte() | Byte() << 8); }
};

std::vector<uint8_t> Buffer(size_t size, Reader &in)
{
    std::vector<uint8_t> b(size ? size : 1);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + in.Byte());
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Reader in{data, size};
    const uint32_t id = kIds[in.Byte() % (sizeof(kIds) / sizeof(kIds[0]))];
    const uint32_t flags = static_cast<uint32_t>(in.Byte()) << 16 | (in.Byte() & 1u) << 31;
    const int32_t width = in.Byte() % 70 - 2, height = in.Byte() % 70 - 2;
    const uint64_t frame_size = imaging::FrameSize(width, height, id);
    // Sometimes a buffer shorter than the frame.
    const size_t slack = in.Byte() % 4 == 0 ? 1 : 0;
    const size_t size_given = frame_size > slack ? static_cast<size_t>(frame_size) - slack : 0;
    std::vector<uint8_t> pixels = Buffer(size_given, in);
    imaging::FrameBuffer src{pixels.data(), size_given, id | flags, width, height};

    imaging::Rect rect{in.Signed16(), in.Signed16(), in.Signed16(), in.Signed16()};
    if (in.Byte() & 1)
        (void)imaging::NormaliseCropRect(rect, width, height, src.format);
    const uint64_t crop_size = imaging::FrameSize(rect.width, rect.height, id) + (in.Byte() % 3) - 1;
    std::vector<uint8_t> cropped(static_cast<size_t>(crop_size < (1u << 20) ? crop_size : 0) + 1);
    imaging::FrameBuffer crop_dst{cropped.data(), cropped.size() - 1, 0, 0, 0};
    (void)imaging::Crop(src, crop_dst, rect);

    std::vector<uint8_t> turned(size_given ? size_given : 1);
    imaging::FrameBuffer turn_dst{turned.data(), size_given, 0, 0, 0};
    (void)imaging::Rotate90(src, turn_dst, in.Byte() & 1);

    const int32_t dst_width = in.Byte() % 70 - 2, dst_height = in.Byte() % 70 - 2;
    const uint64_t dst_size = imaging::FrameSize(dst_width, dst_height, id);
    std::vector<uint8_t> scaled(static_cast<size_t>(dst_size) + 1);
    imaging::FrameBuffer scale_dst{scaled.data(), static_cast<size_t>(dst_size), 0, dst_width, dst_height};
    imaging::Scaler scaler;
    (void)scaler.Scale(src, scale_dst);
    (void)imaging::WeightedAverage(src, scale_dst);

    (void)imaging::FlipFrame(src);
    (void)imaging::Rotate180(src);
    (void)imaging::ConvertFromYuy2(src, kIds[in.Byte() % (sizeof(kIds) / sizeof(kIds[0]))] | (in.Byte() & 1u) << 31);
    return 0;
}
