// Threads and thread-local keys on pthreads.
//
// Live records are kept in a registry so that a pointer that is not one of ours (or
// no longer alive) is refused instead of dereferenced.
#include "ambry/Thread.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "ambry/Event.h"
#include "ambry/PtrArray.h"

namespace Ambry {

struct TlsKey {
    pthread_key_t key;
    TlsDestructorFn destructor;
    std::atomic<int> refs{1};
};

struct ThreadRecord {
    std::atomic<int> refs{2};  // the thread's and the creator's
    ThreadStartFn start = nullptr;
    void *argument = nullptr;
    std::atomic<pthread_t> id{};
    pthread_t handle{};
    CPtrArray cleanup;               // TlsKey*, sorted, each once, each with a key reference
    CEvent exitEvent;                // set when the thread has finished its cleanup
    std::atomic<bool> released{false};  // creator's reference given up (detach or join)
    char name[16] = {};
};

namespace {

constexpr int kCleanupPasses = 10;

std::mutex g_registryMutex;
std::unordered_set<const ThreadRecord *> &Registry()
{
    static auto *registry = new std::unordered_set<const ThreadRecord *>;  // lives to process end
    return *registry;
}
std::atomic<int> g_liveThreads{0};
std::atomic<uintptr_t> g_foreignCounter{0};

thread_local ThreadRecord *t_self = nullptr;
thread_local uintptr_t t_foreignId = 0;

void KeyRelease(TlsKey *key)
{
    if (key->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        pthread_key_delete(key->key);
        delete key;
    }
}

void RecordRelease(ThreadRecord *record)
{
    if (record->refs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        Registry().erase(record);
    }
    delete record;
}

bool IsLive(const ThreadRecord *record)
{
    if (!record)
        return false;
    std::lock_guard<std::mutex> lock(g_registryMutex);
    return Registry().count(record) != 0;
}

// Clears every registered key with a value and runs its destructor, in up to 10 passes.
void RunCleanup(ThreadRecord *record)
{
    CPtrArray pass_keys;
    for (int pass = 0; pass < kCleanupPasses; ++pass) {
        bool called = false;
        // A pass visits the keys registered when it starts; keys that destructors set
        // during the pass are visited by the next one.
        pass_keys.Clear();
        size_t count = record->cleanup.Length();
        bool snapshot = pass_keys.Reserve(count);
        for (size_t i = 0; snapshot && i < count; ++i)
            (void)pass_keys.PushBack(record->cleanup.GetAt(i));
        const CPtrArray &keys = snapshot ? pass_keys : record->cleanup;
        for (size_t i = 0; i < keys.Length(); ++i) {
            auto *key = static_cast<TlsKey *>(keys.GetAt(i));
            void *value = pthread_getspecific(key->key);
            if (!value)
                continue;
            pthread_setspecific(key->key, nullptr);
            key->destructor(value);
            called = true;
        }
        if (!called)
            break;
    }
    for (size_t i = 0; i < record->cleanup.Length(); ++i)
        KeyRelease(static_cast<TlsKey *>(record->cleanup.GetAt(i)));
    record->cleanup.Clear();
    (void)record->cleanup.ShrinkToFit();
}

void *ThreadMain(void *argument)
{
    auto *record = static_cast<ThreadRecord *>(argument);
    record->id.store(pthread_self(), std::memory_order_release);
    t_self = record;
    SetCurrentThreadName(record->name);

    // Runs also when the start function leaves through pthread_exit (forced unwinding).
    struct Finish {
        ThreadRecord *record;
        ~Finish()
        {
            RunCleanup(record);
            t_self = nullptr;
            g_liveThreads.fetch_sub(1, std::memory_order_acq_rel);
            record->exitEvent.Set();
            RecordRelease(record);
        }
    } finish{record};

    record->start(record->argument);
    return nullptr;
}

}  // namespace

void SetCurrentThreadName(const char *name)
{
    if (!name || !name[0])
        return;
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

bool ThreadCreate(ThreadStartFn start, void *argument, ThreadRecord **out, const char *name)
{
    if (out)
        *out = nullptr;
    if (!start)
        return false;
    auto *record = new (std::nothrow) ThreadRecord;
    if (!record)
        return false;
    record->start = start;
    record->argument = argument;
    if (name)
        std::strncpy(record->name, name, sizeof record->name - 1);
    try {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        Registry().insert(record);
    } catch (...) {
        delete record;
        return false;
    }
    g_liveThreads.fetch_add(1, std::memory_order_acq_rel);
    pthread_t handle;
    if (pthread_create(&handle, nullptr, ThreadMain, record) != 0) {
        g_liveThreads.fetch_sub(1, std::memory_order_acq_rel);
        {
            std::lock_guard<std::mutex> lock(g_registryMutex);
            Registry().erase(record);
        }
        delete record;
        return false;
    }
    // Only the creator's side reads the handle; the thread stores its own id.
    record->handle = handle;
    record->id.store(handle, std::memory_order_release);
    if (out) {
        *out = record;
    } else {
        record->released.store(true, std::memory_order_relaxed);
        pthread_detach(handle);
        RecordRelease(record);
    }
    return true;
}

bool ThreadDetach(ThreadRecord *record)
{
    if (!IsLive(record) || record->released.exchange(true, std::memory_order_acq_rel))
        return false;
    pthread_detach(record->handle);
    RecordRelease(record);
    return true;
}

bool ThreadJoin(ThreadRecord *record)
{
    if (!IsLive(record) || ThreadIsCurrent(record) || record->released.exchange(true, std::memory_order_acq_rel))
        return false;
    pthread_join(record->handle, nullptr);
    // A thread that ended without its cleanup (it died) still holds its own reference.
    if (!record->exitEvent.Poll())
        RecordRelease(record);
    RecordRelease(record);
    return true;
}

ThreadRecord *ThreadSelf() { return t_self; }

uintptr_t ThreadCurrentId()
{
    if (t_self)
        return reinterpret_cast<uintptr_t>(t_self);
    if (t_foreignId == 0)
        t_foreignId = (g_foreignCounter.fetch_add(1, std::memory_order_relaxed) + 1) * 2 + 1;
    return t_foreignId;
}

bool ThreadIsCurrent(const ThreadRecord *record)
{
    return record && pthread_equal(record->id.load(std::memory_order_acquire), pthread_self());
}

int ThreadLiveCount() { return g_liveThreads.load(std::memory_order_acquire); }

TlsKey *TlsKeyCreate(TlsDestructorFn destructor)
{
    auto *key = new (std::nothrow) TlsKey;
    if (!key)
        return nullptr;
    key->destructor = destructor;
    if (pthread_key_create(&key->key, nullptr) != 0) {
        delete key;
        return nullptr;
    }
    return key;
}

void TlsKeyDelete(TlsKey *key)
{
    if (key)
        KeyRelease(key);
}

bool TlsSet(TlsKey *key, void *value)
{
    if (!key)
        return false;
    if (value && key->destructor) {
        ThreadRecord *self = t_self;
        if (!self)
            return false;  // nothing would run the destructor on this thread
        long index = self->cleanup.BinarySearch(key);
        if (index < 0) {
            if (!self->cleanup.InsertAt(static_cast<size_t>(~index), key))
                return false;
            key->refs.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return pthread_setspecific(key->key, value) == 0;
}

void *TlsGet(TlsKey *key) { return key ? pthread_getspecific(key->key) : nullptr; }

}  // namespace Ambry
