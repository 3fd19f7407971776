// The recursive mutex every lock of the system uses, and its scoped guard.
//
// The owner may lock again; each lock needs its own unlock. Unlock by a thread
// that does not own the mutex fails and changes nothing. HeldCount() is the hold
// count when the caller owns the mutex, else 0 (for asserts).
//
// CMutex is a capability for clang's thread-safety analysis (ambry/ThreadSafety.h):
// fields name the mutex that guards them, "...Locked" functions require it, and
// AssertHeld() both checks at run time and tells the analysis the lock is held.
#pragma once

#include <ambry/ThreadSafety.h>

#include <atomic>
#include <cassert>
#include <mutex>
#include <pthread.h>

namespace Ambry {

class TSL_CAPABILITY("mutex") CMutex {
public:
    CMutex() = default;
    CMutex(const CMutex &) = delete;
    CMutex &operator=(const CMutex &) = delete;

    void Lock() TSL_ACQUIRE();
    [[nodiscard]] bool TryLock() TSL_TRY_ACQUIRE(true);
    [[nodiscard]] int HeldCount() const;
    bool Unlock() TSL_RELEASE();
    bool Held() const { return HeldCount() > 0; }
    // For "...Locked" functions: the caller must hold the mutex.
    void AssertHeld() const TSL_ASSERT_CAPABILITY(this) { assert(Held()); }

    // BasicLockable, so std::unique_lock / std::condition_variable_any work.
    void lock() TSL_ACQUIRE() { Lock(); }
    bool try_lock() TSL_TRY_ACQUIRE(true) { return TryLock(); }
    void unlock() TSL_RELEASE() { Unlock(); }

private:
    std::mutex m_mutex;
    std::atomic<pthread_t> m_owner{};
    std::atomic<bool> m_owned{false};
    int m_holdCount = 0;  // changed only by the owner
};

// Holds a CMutex for a scope.
class TSL_SCOPED_CAPABILITY CLock {
public:
    explicit CLock(CMutex &mutex) TSL_ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~CLock() TSL_RELEASE() { m_mutex.Unlock(); }
    CLock(const CLock &) = delete;
    CLock &operator=(const CLock &) = delete;

private:
    CMutex &m_mutex;
};

}  // namespace Ambry
