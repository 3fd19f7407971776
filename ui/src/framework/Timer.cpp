#include "ui/framework/Timer.h"

#include <QTimer>

#include <atomic>

namespace Tessaline::Ui {

namespace {
std::atomic<int> g_timerScalePercent{100};

int ScaledPeriod(int period_ms)
{
    const int percent = g_timerScalePercent.load(std::memory_order_relaxed);
    if (period_ms <= 0 || percent == 100)
        return std::max(period_ms, 0);
    const long long scaled = static_cast<long long>(period_ms) * percent / 100;
    return static_cast<int>(std::max<long long>(scaled, 1));
}
}  // namespace

void SetTimerScalePercent(int percent)
{
    g_timerScalePercent.store(std::max(percent, 1), std::memory_order_relaxed);
}

int TimerScalePercent()
{
    return g_timerScalePercent.load(std::memory_order_relaxed);
}

struct CTimerHost::Entry {
    QTimer timer;
    int period_ms = 0;
};

CTimerHost::CTimerHost() = default;

CTimerHost::~CTimerHost()
{
    for (auto &[id, entry] : m_timers)
        entry->timer.stop();
}

void CTimerHost::SetTimer(unsigned id, int period_ms)
{
    auto &slot = m_timers[id];
    if (!slot) {
        slot = std::make_unique<Entry>();
        slot->timer.setTimerType(Qt::PreciseTimer);
        // The entry lives as long as the host (killing only stops it), so the timer
        // may be killed or restarted from inside its own OnTimer.
        QObject::connect(&slot->timer, &QTimer::timeout, [this, id] { OnTimer(id); });
    }
    slot->period_ms = period_ms;
    slot->timer.start(ScaledPeriod(period_ms));
}

bool CTimerHost::KillTimer(unsigned id)
{
    auto it = m_timers.find(id);
    if (it == m_timers.end() || !it->second->timer.isActive())
        return false;
    it->second->timer.stop();
    return true;
}

bool CTimerHost::IsTimerRunning(unsigned id) const
{
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->timer.isActive();
}

int CTimerHost::TimerPeriod(unsigned id) const
{
    auto it = m_timers.find(id);
    if (it == m_timers.end() || !it->second->timer.isActive())
        return -1;
    return it->second->period_ms;
}

}  // namespace Tessaline::Ui
