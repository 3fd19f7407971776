// Walks every failure point of a scenario: runs it with the 1st, 2nd, 3rd ... call of
// one kind failing, until a run no longer reaches its Nth call. That last run had no
// fault at all and must simply succeed; every earlier one must end with the
// documented failure result and leave nothing broken (the scenario's own checks),
// and nothing leaked (LeakSanitizer at exit in the ASan build of scripts/test --faults).
//
//   WalkFaults(FaultKind::SocketRecv, [&](FaultRun &run) {
//       bool ok = DoTheWork();              // armed: the Nth receive fails
//       bool fired = run.Disarm();          // from here on nothing fails
//       if (!fired) EXPECT_TRUE(ok);
//       ... check that what was kept is whole, that the handle recovers ...
//   });
#pragma once

#include <ambry/FaultInject.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

class FaultRun {
public:
    FaultRun(Ambry::FaultKind kind, uint64_t n) : m_kind(kind), m_n(n) { Ambry::FaultArm(kind, n); }
    ~FaultRun() { Disarm(); }
    FaultRun(const FaultRun &) = delete;
    FaultRun &operator=(const FaultRun &) = delete;

    uint64_t N() const { return m_n; }
    // Ends the armed part of the run; true when the Nth call failed.
    bool Disarm()
    {
        if (!m_disarmed) {
            m_fired = Ambry::FaultFired();
            m_calls = Ambry::FaultCalls(m_kind);
            Ambry::FaultArm(m_kind, 0);
            m_disarmed = true;
        }
        return m_fired;
    }
    bool Fired() const { return m_fired; }
    uint64_t Calls() const { return m_calls; }

private:
    Ambry::FaultKind m_kind;
    uint64_t m_n;
    bool m_disarmed = false;
    bool m_fired = false;
    uint64_t m_calls = 0;
};

// Runs the scenario for N = 1, 2, ... until it completes without an injected fault
// (or a fatal failure stops it). Returns how many failure points were walked; a
// scenario that reaches no call of the kind at all returns 0, which callers treat
// as a fault site gone missing.
template <class Scenario>
uint64_t WalkFaults(Ambry::FaultKind kind, Scenario &&scenario, uint64_t max_n = 5000)
{
    static_assert(Ambry::kFaultsBuilt, "fault scenarios need a build with TESSALINE_FAULTS");
    for (uint64_t n = 1; n <= max_n; ++n) {
        bool fired;
        {
            SCOPED_TRACE(testing::Message() << Ambry::FaultKindName(kind) << " call " << n << " failing");
            FaultRun run(kind, n);
            scenario(run);
            fired = run.Disarm();
        }
        if (!fired) {
            std::printf("%s: %llu failure points walked\n", Ambry::FaultKindName(kind), (unsigned long long)(n - 1));
            return n - 1;
        }
        if (testing::Test::HasFatalFailure())
            return n;
    }
    ADD_FAILURE() << Ambry::FaultKindName(kind) << ": the scenario still reaches call " << max_n;
    return max_n;
}
