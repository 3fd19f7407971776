// Numeric timers per window.
//
// A window owns a small set of timers named by numbers. SetTimer(id, period) starts a
// repeating timer or restarts an existing one with the new period; KillTimer stops
// it; each expiry calls OnTimer(id) on the user-interface thread until the timer is
// killed. The timers die with their owner.
//
// Tests may shorten every timer of the process with SetTimerScalePercent.
#pragma once

#include <QObject>

#include <map>
#include <memory>

class QTimer;

namespace Tessaline::Ui {

class CTimerHost {
public:
    CTimerHost();
    CTimerHost(const CTimerHost &) = delete;
    CTimerHost &operator=(const CTimerHost &) = delete;
    virtual ~CTimerHost();

    // Starts timer `id`, or restarts it, firing every period_ms.
    void SetTimer(unsigned id, int period_ms);
    // Stops timer `id`; returns false when it was not running.
    bool KillTimer(unsigned id);
    bool IsTimerRunning(unsigned id) const;
    // The period the timer was started with (before scaling), or -1.
    int TimerPeriod(unsigned id) const;

    // One expiry of timer `id`.
    virtual void OnTimer(unsigned id) = 0;

private:
    struct Entry;
    std::map<unsigned, std::unique_ptr<Entry>> m_timers;
};

// Scales every period set from now on (100 = real time). For tests only.
void SetTimerScalePercent(int percent);
int TimerScalePercent();

}  // namespace Tessaline::Ui
