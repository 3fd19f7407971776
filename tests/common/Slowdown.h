// Sanitizer builds run our code several times slower (ThreadSanitizer most of all).
// Tests that wait for a rate, a deadline or a CPU budget scale it by this factor, and
// long repetitions shorten by it; what they check stays the same.
#pragma once

namespace testsupport {

#ifdef TESSALINE_SANITIZED
inline constexpr int kSlowdown = 5;
#else
inline constexpr int kSlowdown = 1;
#endif

}  // namespace testsupport
