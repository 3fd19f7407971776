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

// The vector paths, as bits of a set.
enum SimdPath : unsigned { kSimdSsse3 = 1, kSimdAvx2 = 2, kSimdAvx512 = 4 };
// The paths this processor can run.
[[nodiscard]] unsigned SimdPathsSupported();
// The paths some kernel chose since the last call (in any thread); starts a new record.
// Tests use it to see which paths their comparisons covered.
unsigned TakeSimdPathsChosen();

}  // namespace imaging
