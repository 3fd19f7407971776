// Millisecond clocks.
#pragma once

#include <cstdint>

namespace Ambry {

// Milliseconds since 1970-01-01 UTC from the system clock.
int64_t ClockNow();
// As ClockNow, but strictly greater than the last value it returned (1 more when the
// clock has not advanced). Safe from any thread.
int64_t ClockUniqueNow();
// Milliseconds of the monotonic clock (arbitrary origin); unaffected by changes of the
// system time. Deadlines and time-outs use this clock.
int64_t ClockMonotonic();

}  // namespace Ambry
