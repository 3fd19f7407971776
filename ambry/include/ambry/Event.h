// Manual-reset event: stays signalled until Reset. Waits use the monotonic clock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Ambry {

class CEvent {
public:
    enum WaitResult : int { WAIT_FAILED = 0, WAIT_SIGNALLED = 1, WAIT_TIMEOUT = 2 };

    CEvent() = default;
    CEvent(const CEvent &) = delete;
    CEvent &operator=(const CEvent &) = delete;

    void Set();
    void Reset();
    // Waits without limit; true when signalled.
    bool Wait();
    // Waits up to timeout_ms (negative: without limit, 0: poll) → WAIT_SIGNALLED,
    // WAIT_TIMEOUT or WAIT_FAILED.
    int Wait(int64_t timeout_ms);
    // True when signalled, without waiting.
    bool Poll();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false;
};

}  // namespace Ambry
