// Resampling of 8-bit planes with separable fixed-point filters. The taps are
// those libswscale computes for the same scale mode and geometry (read from it
// once per configuration), so the pictures stay within a step of what it makes,
// while the work runs in our own row kernels: several times faster than it on
// 24-bit pictures, which it cannot take apart into planes itself.
#pragma once

#include "imaging/Planes.h"

#include <cstdint>
#include <memory>

namespace imaging {

// Where a plane's samples sit: a full-resolution plane (luma, or one colour of a
// 24-bit picture), or a chroma plane of a 4:2:0 or 4:2:2 picture.
enum class PlaneSiting { kFull, kChroma420, kChroma422 };

class PlaneScaler {
public:
    PlaneScaler();
    ~PlaneScaler();
    PlaneScaler(const PlaneScaler &) = delete;
    PlaneScaler &operator=(const PlaneScaler &) = delete;

    // Builds the filters for planes of src_width x src_height to dst_width x
    // dst_height with scale mode `mode` (3..12, the libswscale modes; see
    // SwsFlagForMode). Sizes 1..16384. Rebuilds only when something changed.
    // false (not configured) when a value is out of range or libswscale refuses.
    [[nodiscard]] bool Configure(int32_t src_width, int32_t src_height, int32_t dst_width, int32_t dst_height,
                                 uint32_t mode, PlaneSiting siting);
    // Resamples one plane of the configured sizes. false when not configured.
    [[nodiscard]] bool Run(ConstPlane src, Plane dst);

    // Taps per output sample across and down (0 when not configured).
    [[nodiscard]] int32_t TapsAcross() const;
    [[nodiscard]] int32_t TapsDown() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace imaging
