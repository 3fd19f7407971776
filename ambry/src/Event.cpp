#include "ambry/Event.h"

#include <chrono>

namespace Ambry {

void CEvent::Set()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
    }
    m_cond.notify_all();
}

void CEvent::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

bool CEvent::Wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cond.wait(lock, [this] { return m_signalled; });
    return true;
}

int CEvent::Wait(int64_t timeout_ms)
{
    // Negative: no limit. Times beyond any real wait (about 35 years) would overflow
    // the clock's arithmetic and end at once; they wait without limit as well.
    if (timeout_ms < 0 || timeout_ms >= (int64_t(1) << 40))
        return Wait() ? WAIT_SIGNALLED : WAIT_FAILED;
    std::unique_lock<std::mutex> lock(m_mutex);
    // steady_clock: a change of the system time never shortens or stretches the wait.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!m_signalled) {
        if (m_cond.wait_until(lock, deadline) == std::cv_status::timeout)
            return m_signalled ? WAIT_SIGNALLED : WAIT_TIMEOUT;
    }
    return WAIT_SIGNALLED;
}

bool CEvent::Poll()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signalled;
}

}  // namespace Ambry
