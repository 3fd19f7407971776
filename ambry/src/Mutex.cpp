#include "ambry/Mutex.h"

namespace Ambry {

namespace {
bool IsOwner(const std::atomic<bool> &owned, const std::atomic<pthread_t> &owner)
{
    return owned.load(std::memory_order_acquire) && pthread_equal(owner.load(std::memory_order_relaxed), pthread_self());
}
}  // namespace

void CMutex::Lock() TSL_NO_THREAD_SAFETY_ANALYSIS  // built on std::mutex, which the analysis does not know
{
    if (IsOwner(m_owned, m_owner)) {
        ++m_holdCount;
        return;
    }
    m_mutex.lock();
    m_owner.store(pthread_self(), std::memory_order_relaxed);
    m_owned.store(true, std::memory_order_release);
    m_holdCount = 1;
}

bool CMutex::TryLock() TSL_NO_THREAD_SAFETY_ANALYSIS  // built on std::mutex, which the analysis does not know
{
    if (IsOwner(m_owned, m_owner)) {
        ++m_holdCount;
        return true;
    }
    if (!m_mutex.try_lock())
        return false;
    m_owner.store(pthread_self(), std::memory_order_relaxed);
    m_owned.store(true, std::memory_order_release);
    m_holdCount = 1;
    return true;
}

int CMutex::HeldCount() const { return IsOwner(m_owned, m_owner) ? m_holdCount : 0; }

bool CMutex::Unlock() TSL_NO_THREAD_SAFETY_ANALYSIS  // built on std::mutex, which the analysis does not know
{
    if (!IsOwner(m_owned, m_owner))
        return false;
    if (--m_holdCount > 0)
        return true;
    m_owned.store(false, std::memory_order_release);
    m_mutex.unlock();
    return true;
}

}  // namespace Ambry
