// The scaler: resamples a frame to another size with the mode carried in bits
// 16-19 of its format code. Mode 1 is the pixel resize, mode 2 the weighted
// average (24-bit only), modes 3-12 go to libswscale. One scaler per grabber
// handle; not shared between threads.
#pragma once

#include "imaging/Format.h"

#include <cstdint>
#include <memory>

namespace imaging {

class Scaler {
public:
    Scaler();
    ~Scaler();
    Scaler(const Scaler &) = delete;
    Scaler &operator=(const Scaler &) = delete;

    // src: data, size, format, width, height. dst: data, size and the wanted width
    // and height. On success dst.format is src.format & 0x8030FFFF. Refuses odd or
    // non-positive widths, non-positive heights (odd ones too for the planar ids),
    // short buffers and ids it cannot handle.
    [[nodiscard]] bool Scale(const FrameBuffer &src, FrameBuffer &dst);

    // How often a libswscale context has been created (for tests and diagnostics).
    [[nodiscard]] uint64_t ContextBuilds() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// libswscale algorithm flag for a scale mode 3-12; 0 for any other mode.
[[nodiscard]] int SwsFlagForMode(uint32_t mode);

// Nearest-neighbour resample with pixel-centre choice when shrinking and
// replication when enlarging (ids 0x0004, 0x0008, 0x0500, 0x0010, 0x0400, 0x0018,
// 0x0800, 0x0100, 0x0300). Sizes and buffers must already be valid.
[[nodiscard]] bool PixelResize(const FrameBuffer &src, FrameBuffer &dst);

// Area-weighted mean in 1/128 pixel units (ids 0x0018 and 0x0800 only).
[[nodiscard]] bool WeightedAverage(const FrameBuffer &src, FrameBuffer &dst);

}  // namespace imaging
