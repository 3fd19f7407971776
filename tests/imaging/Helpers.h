// Frames in owned storage, random contents and the ids each operation supports.
#pragma once

#include "imaging/Format.h"

#include <cstdint>
#include <random>
#include <vector>

namespace imaging_test {

struct OwnedFrame {
    std::vector<uint8_t> bytes;
    imaging::FrameBuffer frame;

    OwnedFrame(int32_t width, int32_t height, uint32_t format, uint32_t seed = 1, size_t slack = 0)
    {
        const uint64_t size = imaging::FrameSize(width, height, format);
        bytes.resize(static_cast<size_t>(size) + slack);
        std::mt19937 rng(seed);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(rng());
        frame = {bytes.data(), static_cast<size_t>(size), format, width, height};
    }
    // Destination storage of `size` bytes (contents 0xCD).
    explicit OwnedFrame(size_t size) : bytes(size, 0xCD) { frame = {bytes.data(), size, 0, 0, 0}; }
    std::vector<uint8_t> Used() const { return {bytes.begin(), bytes.begin() + static_cast<long>(frame.size)}; }
};

inline int BytesPerPixel(uint32_t id) { return imaging::BitsPerPixel(id) / 8; }

// Ids with one whole number of bytes per pixel and no chroma pairs.
inline const std::vector<uint32_t> &SimplePackedIds()
{
    static const std::vector<uint32_t> ids = {imaging::kRgb332, imaging::kRgb565, imaging::kRgb24,
                                              imaging::kBgr565, imaging::kLuma8,  imaging::kBgr24,
                                              imaging::kPixel32};
    return ids;
}

inline const std::vector<uint32_t> &RotatableIds()
{
    static const std::vector<uint32_t> ids = {imaging::kRgb332,      imaging::kRgb565, imaging::kRgb24,
                                              imaging::kYuy2,        imaging::kPlanarYvu420, imaging::kUyvy,
                                              imaging::kBgr565,      imaging::kLuma8,  imaging::kBgr24,
                                              imaging::kPlanarYuv420, imaging::kPixel32};
    return ids;
}

struct Size {
    int32_t width, height;
};

inline const std::vector<Size> &EvenSizes()
{
    static const std::vector<Size> sizes = {{2, 2}, {4, 2}, {6, 4}, {16, 10}, {34, 18}, {64, 48}};
    return sizes;
}

}  // namespace imaging_test
