#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ambry/Event.h"
#include "ambry/Thread.h"

namespace {

using namespace Ambry;

struct Shared {
    std::atomic<int> runs{0};
    CEvent go;
    uintptr_t id = 0;
    bool isCurrent = false;
    ThreadRecord *self = nullptr;
};

void CountRun(void *argument)
{
    auto *shared = static_cast<Shared *>(argument);
    shared->go.Wait();
    shared->id = ThreadCurrentId();
    shared->self = ThreadSelf();
    shared->isCurrent = ThreadIsCurrent(shared->self);
    shared->runs.fetch_add(1);
}

TEST(Thread, JoinWaitsForTheStartFunctionAndRefusesASecondJoin)
{
    Shared shared;
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(CountRun, &shared, &record, "test-join"));
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(ThreadIsCurrent(record));
    shared.go.Set();
    EXPECT_TRUE(ThreadJoin(record));
    EXPECT_EQ(shared.runs.load(), 1);
    EXPECT_EQ(shared.self, record);
    EXPECT_TRUE(shared.isCurrent);
    EXPECT_EQ(shared.id, reinterpret_cast<uintptr_t>(record));
    // The record is gone now: any further use is refused, not dereferenced.
    EXPECT_FALSE(ThreadJoin(record));
    EXPECT_FALSE(ThreadDetach(record));
}

TEST(Thread, ForeignPointersAndDetachedRecordsAreRefused)
{
    int notARecord = 0;
    EXPECT_FALSE(ThreadJoin(reinterpret_cast<ThreadRecord *>(&notARecord)));
    EXPECT_FALSE(ThreadDetach(reinterpret_cast<ThreadRecord *>(&notARecord)));
    EXPECT_FALSE(ThreadJoin(nullptr));

    Shared shared;
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(CountRun, &shared, &record));
    EXPECT_TRUE(ThreadDetach(record));
    EXPECT_FALSE(ThreadDetach(record));
    EXPECT_FALSE(ThreadJoin(record));
    shared.go.Set();
    while (shared.runs.load() == 0)
        std::this_thread::yield();
}

void JoinSelf(void *argument) { *static_cast<bool *>(argument) = ThreadJoin(ThreadSelf()); }

TEST(Thread, AThreadCannotJoinItself)
{
    bool joined = true;
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(JoinSelf, &joined, &record));
    ASSERT_TRUE(ThreadJoin(record));
    EXPECT_FALSE(joined);
}

TEST(Thread, ForeignThreadsGetStableDistinctIdentities)
{
    uintptr_t mine = ThreadCurrentId();
    EXPECT_EQ(mine, ThreadCurrentId());
    EXPECT_EQ(ThreadSelf(), nullptr);
    EXPECT_EQ(mine & 1, 1u);  // never mistaken for a record address
    uintptr_t other = 0;
    std::thread([&] { other = ThreadCurrentId(); }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

TEST(Thread, LiveCountFollowsThreadsUntilTheyEnd)
{
    int before = ThreadLiveCount();
    Shared shared;
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(CountRun, &shared, &record));
    EXPECT_EQ(ThreadLiveCount(), before + 1);
    shared.go.Set();
    ASSERT_TRUE(ThreadJoin(record));
    EXPECT_EQ(ThreadLiveCount(), before);
}

// --- thread-local keys --------------------------------------------------------------

struct Chain {
    TlsKey *keys[12] = {};
    std::atomic<int> destroyed{0};
    std::atomic<int> order[12] = {};
    int length = 0;
    std::atomic<int> step{0};
};
Chain *g_chain = nullptr;

// Each key's destructor sets the next key, so cleanup needs one more pass per key.
void ChainDestructor(void *value)
{
    int index = static_cast<int>(reinterpret_cast<intptr_t>(value)) - 1;
    g_chain->order[index] = ++g_chain->step;
    g_chain->destroyed.fetch_add(1);
    if (index + 1 < g_chain->length)
        (void)TlsSet(g_chain->keys[index + 1], reinterpret_cast<void *>(static_cast<intptr_t>(index + 2)));
}

void SetFirst(void *) { (void)TlsSet(g_chain->keys[0], reinterpret_cast<void *>(intptr_t{1})); }

void RunChain(Chain &chain, int length)
{
    chain.length = length;
    for (int i = 0; i < length; ++i)
        ASSERT_NE(chain.keys[i] = TlsKeyCreate(ChainDestructor), nullptr);
    g_chain = &chain;
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(SetFirst, nullptr, &record));
    ASSERT_TRUE(ThreadJoin(record));
    for (int i = 0; i < length; ++i)
        TlsKeyDelete(chain.keys[i]);
}

TEST(ThreadLocal, ADestructorThatSetsAnotherValueGetsThatDestructorRunToo)
{
    Chain chain;
    RunChain(chain, 3);
    EXPECT_EQ(chain.destroyed.load(), 3);
    EXPECT_EQ(chain.order[0].load(), 1);
    EXPECT_EQ(chain.order[1].load(), 2);
    EXPECT_EQ(chain.order[2].load(), 3);
}

TEST(ThreadLocal, CleanupStopsAfterTenPasses)
{
    Chain chain;
    RunChain(chain, 12);
    EXPECT_EQ(chain.destroyed.load(), 10);
}

std::atomic<int> g_plainDestroyed{0};
void CountDestructor(void *) { g_plainDestroyed.fetch_add(1); }

struct KeyUse {
    TlsKey *key;
    bool setOk = false;
    void *seen = nullptr;
};

void SetAndRead(void *argument)
{
    auto *use = static_cast<KeyUse *>(argument);
    use->setOk = TlsSet(use->key, use);
    use->seen = TlsGet(use->key);
}

TEST(ThreadLocal, ValuesArePerThreadAndForeignThreadsCannotSetKeysWithDestructors)
{
    TlsKey *key = TlsKeyCreate(CountDestructor);
    ASSERT_NE(key, nullptr);
    g_plainDestroyed = 0;
    KeyUse use{key};
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(SetAndRead, &use, &record));
    ASSERT_TRUE(ThreadJoin(record));
    EXPECT_TRUE(use.setOk);
    EXPECT_EQ(use.seen, &use);
    EXPECT_EQ(g_plainDestroyed.load(), 1);
    EXPECT_EQ(TlsGet(key), nullptr);  // this thread never set it

    // The test's own thread is not a module thread: nothing would clean up.
    int value = 0;
    EXPECT_FALSE(TlsSet(key, &value));
    EXPECT_TRUE(TlsSet(key, nullptr));
    TlsKeyDelete(key);

    TlsKey *plain = TlsKeyCreate(nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(TlsSet(plain, &value));
    EXPECT_EQ(TlsGet(plain), &value);
    EXPECT_TRUE(TlsSet(plain, nullptr));
    TlsKeyDelete(plain);
}

struct LateDelete {
    TlsKey *key;
    CEvent set;
    CEvent deleted;
};

void SetThenWait(void *argument)
{
    auto *late = static_cast<LateDelete *>(argument);
    (void)TlsSet(late->key, late);
    late->set.Set();
    late->deleted.Wait();
}

TEST(ThreadLocal, DeletingAKeyWhileAThreadHoldsAValueStillRunsTheDestructor)
{
    g_plainDestroyed = 0;
    LateDelete late;
    late.key = TlsKeyCreate(CountDestructor);
    ThreadRecord *record = nullptr;
    ASSERT_TRUE(ThreadCreate(SetThenWait, &late, &record));
    late.set.Wait();
    TlsKeyDelete(late.key);
    late.deleted.Set();
    ASSERT_TRUE(ThreadJoin(record));
    EXPECT_EQ(g_plainDestroyed.load(), 1);
}

}  // namespace
