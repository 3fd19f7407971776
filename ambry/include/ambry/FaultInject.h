// Fault injection: in builds configured with TESSALINE_FAULTS, the Nth call of one
// chosen kind of operation reports failure, so tests can walk every failure path of a
// scenario (N = 1, 2, ... until a run no longer reaches an Nth call).
//
// A call site asks before the real operation and, on true, fails exactly as the real
// operation would (errno set, null result, rollback):
//     if (FaultHit(FaultKind::SocketSend)) { errno = EIO; return -1; }
//
// In other builds FaultHit is an inline `return false` and costs nothing.
//
// Choosing the fault:
//  - environment, read at the first call: TESSALINE_FAULT=<kind>:<n>, kind one of
//    store-step, store-commit, alloc, socket-send, socket-recv, file-read (or the
//    enumerator name, e.g. SocketRecv); n counts from 1.
//  - in a test process: FaultArm(kind, n), which also resets every counter.
// Only the Nth call fails; later calls succeed again. When the fault fires and
// TESSALINE_FAULT_REPORT names a file, the line "<kind>:<n>\n" is appended to it, so a
// runner driving another process knows whether the scenario reached its Nth call.
// All functions may be called from any thread.
#pragma once

#include <cstdint>

namespace Ambry {

enum class FaultKind { StoreStep, StoreCommit, Alloc, SocketSend, SocketRecv, FileRead };

inline constexpr int kFaultKindCount = 6;

#ifdef TESSALINE_FAULTS

inline constexpr bool kFaultsBuilt = true;

// True: fail this call.
bool FaultHit(FaultKind kind);
// Makes the nth call of kind from now on fail (0: no fault) and resets all counters
// and the fired flag.
void FaultArm(FaultKind kind, uint64_t nth);
// Calls of kind counted since the last arming (or the start).
uint64_t FaultCalls(FaultKind kind);
// True once the armed call has failed.
bool FaultFired();
// "store-step", "alloc", ...; parses the same names (and the enumerator names) back.
const char *FaultKindName(FaultKind kind);
bool FaultKindParse(const char *text, FaultKind *kind);

#else

inline constexpr bool kFaultsBuilt = false;

inline bool FaultHit(FaultKind) { return false; }
inline void FaultArm(FaultKind, uint64_t) {}
inline uint64_t FaultCalls(FaultKind) { return 0; }
inline bool FaultFired() { return false; }

#endif

}  // namespace Ambry
