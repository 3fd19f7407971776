#include <WaitFor.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ambry/Clock.h"
#include "ambry/Event.h"
#include "ambry/Mutex.h"

// These tests take the mutex again, unlock it from the wrong thread and unlock it
// too often on purpose: the lock analysis rightly refuses such code elsewhere.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

namespace {

using namespace Ambry;
using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(Event, ZeroPollsPositiveTimesOutNegativeWaitsWithoutLimit)
{
    CEvent event;
    auto start = Clock::now();
    EXPECT_EQ(event.Wait(0), CEvent::WAIT_TIMEOUT);
    EXPECT_FALSE(event.Poll());
    EXPECT_LT(ElapsedMs(start), 500);  // did not wait (a loaded machine may still lag)

    start = Clock::now();
    EXPECT_EQ(event.Wait(60), CEvent::WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 60);

    // A negative time waits past any short limit until the event is set.
    start = Clock::now();  // before the setter's sleep begins
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        event.Set();
    });
    EXPECT_EQ(event.Wait(-1), CEvent::WAIT_SIGNALLED);
    EXPECT_GE(ElapsedMs(start), 140);
    setter.join();

    // A huge time is no limit either (it must not overflow into an instant time-out).
    event.Reset();
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        event.Set();
    });
    EXPECT_EQ(event.Wait(INT64_MAX), CEvent::WAIT_SIGNALLED);
    late.join();

    // Manual reset: stays signalled for every waiter until Reset.
    EXPECT_EQ(event.Wait(0), CEvent::WAIT_SIGNALLED);
    EXPECT_TRUE(event.Wait());
    EXPECT_TRUE(event.Poll());
    event.Reset();
    EXPECT_EQ(event.Wait(0), CEvent::WAIT_TIMEOUT);
}

TEST(Event, SetWakesEveryWaiter)
{
    CEvent event;
    std::atomic<int> woken{0};
    std::atomic<pid_t> ids[4] = {};
    std::thread waiters[4];
    for (int i = 0; i < 4; ++i)
        waiters[i] = std::thread([&, i] {
            ids[i] = testsupport::CurrentThreadId();
            if (event.Wait(5000) == CEvent::WAIT_SIGNALLED)
                woken.fetch_add(1);
        });
    for (auto &id : ids) {
        ASSERT_TRUE(testsupport::WaitFor([&] { return id.load() != 0; }));
        EXPECT_TRUE(testsupport::WaitUntilBlocked(id.load()));
    }
    event.Set();
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 4);
}

TEST(Mutex, TwoLocksNeedTwoUnlocksBeforeAnotherThreadGetsIt)
{
    CMutex mutex;
    mutex.Lock();
    mutex.Lock();
    EXPECT_EQ(mutex.HeldCount(), 2);

    std::atomic<bool> acquired{false};
    std::atomic<bool> tried{false};
    std::atomic<pid_t> otherId{0};
    std::thread other([&] {
        otherId = testsupport::CurrentThreadId();
        EXPECT_FALSE(mutex.TryLock());
        EXPECT_EQ(mutex.HeldCount(), 0);
        EXPECT_FALSE(mutex.Unlock());  // not the owner: refused, nothing changes
        tried = true;
        mutex.Lock();
        acquired = true;
        mutex.Unlock();
    });
    while (!tried)
        std::this_thread::yield();
    EXPECT_EQ(mutex.HeldCount(), 2);  // the foreign unlock did not count

    EXPECT_TRUE(mutex.Unlock());
    EXPECT_TRUE(testsupport::WaitUntilBlocked(otherId.load()));  // in Lock, still held once
    EXPECT_FALSE(acquired.load());
    EXPECT_EQ(mutex.HeldCount(), 1);
    EXPECT_TRUE(mutex.Unlock());
    other.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_EQ(mutex.HeldCount(), 0);
    EXPECT_FALSE(mutex.Unlock());
}

TEST(Mutex, TryLockNestsForTheOwnerAndGuardsSharedData)
{
    CMutex mutex;
    ASSERT_TRUE(mutex.TryLock());
    ASSERT_TRUE(mutex.TryLock());
    EXPECT_EQ(mutex.HeldCount(), 2);
    mutex.Unlock();
    mutex.Unlock();

    int counter = 0;
    std::thread workers[4];
    for (auto &t : workers)
        t = std::thread([&] {
            for (int i = 0; i < 2000; ++i) {
                CLock outer(mutex);
                CLock inner(mutex);  // recursive
                ++counter;
            }
        });
    for (auto &t : workers)
        t.join();
    EXPECT_EQ(counter, 8000);
}

TEST(Clock, UniqueNowIsStrictlyIncreasingEvenWithinOneMillisecond)
{
    const int64_t before = ClockNow();
    int64_t last = ClockUniqueNow();
    EXPECT_GE(last, before);  // never behind the clock (it runs ahead only when called fast)
    for (int i = 0; i < 10000; ++i) {
        int64_t next = ClockUniqueNow();
        ASSERT_GT(next, last);
        last = next;
    }

    // From several threads at once: no value is handed out twice.
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<int64_t> seen[kThreads];
    std::thread threads[kThreads];
    for (int t = 0; t < kThreads; ++t)
        threads[t] = std::thread([&, t] {
            for (int i = 0; i < kEach; ++i)
                seen[t].push_back(ClockUniqueNow());
        });
    for (auto &t : threads)
        t.join();
    std::vector<int64_t> all;
    for (auto &s : seen)
        all.insert(all.end(), s.begin(), s.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

}  // namespace
