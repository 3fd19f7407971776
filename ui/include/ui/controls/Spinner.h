// The busy spinner: one process-wide strip of eight 22 x 22 frames (PNG 143). The frame
// shown follows the system clock in 100 ms steps, so all spinners on screen agree.
#pragma once

#include <cstdint>

class QPainter;
class QRect;

namespace Tessaline::Ui {

class CGdiPlusBitmapResource;

inline constexpr int SPINNER_PNG_ID = 143;
inline constexpr int SPINNER_FRAME_SIZE = 22;
inline constexpr int SPINNER_FRAME_COUNT = 8;

// The process-wide spinner strip, loaded on first use; nullptr when it cannot be
// loaded (tried again on the next call). Call on the user-interface thread.
CGdiPlusBitmapResource *GetSpinnerStrip();

// System time in 100-nanosecond units since 1601-01-01 (the clock the frame follows).
uint64_t SpinnerClockNow();
// The frame for a clock value: its low 32 bits / 1,000,000, modulo 8.
int SpinnerFrameAt(uint64_t time100ns);
// The frame for now.
int CurrentSpinnerFrame();
// Replaces the clock (tests); nullptr restores the system clock.
void SetSpinnerClock(uint64_t (*clock)());

// Draws the current frame with its top-left corner at (x, y); nothing without a strip.
void DrawSpinnerFrame(QPainter &painter, int x, int y);
// Draws the current frame centred in the rectangle:
// at (left + width / 2 - 11, top + height / 2 - 11).
void DrawSpinnerCentered(const QRect &rect, QPainter &painter);

}  // namespace Tessaline::Ui
