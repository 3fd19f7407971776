#include "ui/controls/Spinner.h"

#include "ui/controls/Bitmap.h"

#include <QPainter>
#include <QRect>

#include <atomic>
#include <chrono>
#include <memory>

namespace Tessaline::Ui {

namespace {
// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr uint64_t kEpochDifference100ns = 116444736000000000ull;

std::atomic<uint64_t (*)()> g_clock{nullptr};

std::unique_ptr<CGdiPlusBitmapResource> &Strip()
{
    static std::unique_ptr<CGdiPlusBitmapResource> strip;
    return strip;
}
}  // namespace

CGdiPlusBitmapResource *GetSpinnerStrip()
{
    std::unique_ptr<CGdiPlusBitmapResource> &strip = Strip();
    if (!strip) {
        auto loaded = std::make_unique<CGdiPlusBitmapResource>(SPINNER_PNG_ID);
        if (!loaded->IsLoaded())
            return nullptr;  // tried again on the next call
        strip = std::move(loaded);
    }
    return strip.get();
}

uint64_t SpinnerClockNow()
{
    if (uint64_t (*clock)() = g_clock.load(std::memory_order_relaxed))
        return clock();
    const auto since1970 = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return static_cast<uint64_t>(since1970.count() / 100) + kEpochDifference100ns;
}

int SpinnerFrameAt(uint64_t time100ns)
{
    return static_cast<int>((static_cast<uint32_t>(time100ns) / 1000000u) % SPINNER_FRAME_COUNT);
}

int CurrentSpinnerFrame()
{
    return SpinnerFrameAt(SpinnerClockNow());
}

void SetSpinnerClock(uint64_t (*clock)())
{
    g_clock.store(clock, std::memory_order_relaxed);
}

void DrawSpinnerFrame(QPainter &painter, int x, int y)
{
    const CGdiPlusBitmapResource *strip = GetSpinnerStrip();
    if (!strip)
        return;
    const int frame = CurrentSpinnerFrame();
    strip->DrawCell(painter, QPoint(x, y),
                    QRect(SPINNER_FRAME_SIZE * frame, 0, SPINNER_FRAME_SIZE, SPINNER_FRAME_SIZE));
}

void DrawSpinnerCentered(const QRect &rect, QPainter &painter)
{
    DrawSpinnerFrame(painter, rect.left() + rect.width() / 2 - SPINNER_FRAME_SIZE / 2,
                     rect.top() + rect.height() / 2 - SPINNER_FRAME_SIZE / 2);
}

}  // namespace Tessaline::Ui
