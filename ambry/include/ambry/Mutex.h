// The recursive mutex every lock of the system uses, and its scoped guard.
//
// The owner may lock again; each lock needs its own unlock. Unlock by a thread
// that does not own the mutex fails and changes nothing. HeldCount() is the hold
// count when the caller owns the mutex, else 0 (for asserts).
#pragma once

#include <atomic>
#include <mutex>
#include <pthread.h>

namespace Ambry {

class CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex &) = delete;
    CMutex &operator=(const CMutex &) = delete;

    void Lock();
    [[nodiscard]] bool TryLock();
    [[nodiscard]] int HeldCount() const;
    bool Unlock();
    bool Held() const { return HeldCount() > 0; }

    // BasicLockable, so std::unique_lock / std::condition_variable_any work.
    void lock() { Lock(); }
    bool try_lock() { return TryLock(); }
    void unlock() { Unlock(); }

private:
    std::mutex m_mutex;
    std::atomic<pthread_t> m_owner{};
    std::atomic<bool> m_owned{false};
    int m_holdCount = 0;  // changed only by the owner
};

// Holds a CMutex for a scope.
class CLock {
public:
    explicit CLock(CMutex &mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~CLock() { m_mutex.Unlock(); }
    CLock(const CLock &) = delete;
    CLock &operator=(const CLock &) = delete;

private:
    CMutex &m_mutex;
};

}  // namespace Ambry
