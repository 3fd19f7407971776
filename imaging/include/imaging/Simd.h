// Run-time choice of the vector kernels. The plain C++ kernels are always
// present; the vector ones (AVX-512, AVX2, SSE2) are used when the processor has them.
// Tests and benchmarks switch them off to compare both.
#pragma once

namespace imaging {

// Whether the vector kernels are in use (processor support, not switched off).
[[nodiscard]] bool SimdActive();
// Switches the vector kernels off (false) or back on where supported (true).
void SetSimdEnabled(bool enabled);
// Switches the 512-bit kernels off (false: their AVX2 forms run instead) or back
// on where supported (true).
void SetWideVectorsEnabled(bool enabled);

}  // namespace imaging
