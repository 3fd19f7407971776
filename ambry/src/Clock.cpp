#include "ambry/Clock.h"

#include <atomic>
#include <ctime>

namespace Ambry {
namespace {

int64_t ReadClock(clockid_t id)
{
    timespec now{};
    clock_gettime(id, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::atomic<int64_t> g_lastUnique{0};

}  // namespace

int64_t ClockNow() { return ReadClock(CLOCK_REALTIME); }

int64_t ClockMonotonic() { return ReadClock(CLOCK_MONOTONIC); }

int64_t ClockUniqueNow()
{
    int64_t now = ClockNow();
    int64_t last = g_lastUnique.load(std::memory_order_relaxed);
    for (;;) {
        int64_t next = now > last ? now : last + 1;
        if (g_lastUnique.compare_exchange_weak(last, next, std::memory_order_relaxed))
            return next;
    }
}

}  // namespace Ambry
