// Threads with records, and thread-local keys whose destructors run at thread end.
//
// A thread record is shared by the thread and its creator (two references at
// creation). The thread drops its reference when its start function has returned and
// its thread-local cleanup has run; the creator drops its reference with ThreadDetach
// or ThreadJoin. The last reference frees the record.
//
// Thread-local keys: a key made with a destructor has that destructor run, in the
// thread that set the value, when a module thread ends. Cleanup runs up to 10 passes:
// each pass clears every registered key whose value is not null and calls its
// destructor with the old value; it stops after a pass that called nothing. So a
// destructor that sets another key's value gets that key cleaned up too. Setting a
// non-null value on a key with a destructor from a thread not made by this module
// fails (nothing could clean it up); keys without a destructor work on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <utility>

namespace Ambry {

struct ThreadRecord;  // opaque
struct TlsKey;        // opaque

using ThreadStartFn = void (*)(void *argument);
using TlsDestructorFn = void (*)(void *value);

// Starts a thread running start(argument). With record null the thread is detached
// at once. The name (at most 15 bytes shown) labels the thread for debuggers; may be
// null. On failure nothing is left behind and false is returned.
[[nodiscard]] bool ThreadCreate(ThreadStartFn start, void *argument, ThreadRecord **record = nullptr,
                                const char *name = nullptr);

// Names the calling thread for debuggers, ps and sanitizer reports (at most 15
// bytes are kept). Null or empty leaves the name as it is.
void SetCurrentThreadName(const char *name);

// Every other thread of the system starts here: body runs on a std::thread that
// carries the given name from its first instruction. The caller owns the
// std::thread (join it, or let its owner join it).
template <typename Body>
std::thread StartThread(const char *name, Body &&body)
{
    return std::thread([label = std::string(name ? name : ""), body = std::forward<Body>(body)]() mutable {
        SetCurrentThreadName(label.c_str());
        body();
    });
}

// Gives up the creator's reference; once only. False for a pointer that is not a live
// record of this module or for a record already detached or joined.
bool ThreadDetach(ThreadRecord *record);

// Waits without limit until the thread has ended, then drops the creator's
// reference. Refused (false) for a detached record, for the calling thread's own
// record and for pointers that are not live records of this module.
bool ThreadJoin(ThreadRecord *record);

// The calling thread's record, or null for a thread not made by this module.
ThreadRecord *ThreadSelf();

// A process-unique identity of the calling thread: the address of its record for a
// module thread; for any other thread (such as the user-interface thread) an odd
// value made from a counter on first request and kept for that thread.
uintptr_t ThreadCurrentId();

// True when record is the calling thread's.
bool ThreadIsCurrent(const ThreadRecord *record);

// Module threads of the process that have not finished their cleanup yet.
int ThreadLiveCount();

// Creates a key; destructor may be null. Null on failure.
TlsKey *TlsKeyCreate(TlsDestructorFn destructor);
// Deletes a key made by TlsKeyCreate. Threads that still hold a value for it keep the
// key alive until their cleanup has run.
void TlsKeyDelete(TlsKey *key);
// Sets the calling thread's value. See the notes above for keys with destructors.
[[nodiscard]] bool TlsSet(TlsKey *key, void *value);
// The calling thread's value, null when none.
void *TlsGet(TlsKey *key);

}  // namespace Ambry
