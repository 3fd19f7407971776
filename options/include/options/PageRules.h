// The arithmetic behind the options pages, apart from any widget: slider ranges of
// the picture adjustments, the scaling slider, the resolution list and the
// frame-rate text and steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// ---- picture adjustments ----

enum class Adjustment { HorizontalShift, VerticalShift, SamplingPhase, Pll, Offset, Gain };

struct SliderRange {
    int min = 0;
    int max = 0;
    int tickFrequency = 1;
};

// The slider range of one adjustment. `value` is the current value (channel 0 for
// offset and gain); with a device range (`deviceRange` true) the range is the
// device's, else the standard one; either way it is widened to hold the value.
// Ends compare as signed 16-bit numbers, as the device reports them.
SliderRange AdjustmentSliderRange(Adjustment which, int32_t value, bool deviceRange, int16_t deviceMin,
                                  int16_t deviceMax);
// Widens an offset or gain range so the other two channels fit as well.
void WidenForChannels(SliderRange *range, int32_t channel1, int32_t channel2);

// Serial numbers with this beginning belong to models that only shift the picture.
bool IsShiftOnlyModel(const char *serialNumber);

// ---- scaling slider ----

inline constexpr int SCALE_SLIDER_POSITIONS = 9;       // positions 0..8
inline constexpr int SCALE_SLIDER_UNOFFERED_POSITION = 3;  // where codes without a position sit
// The scale mode code offered at a slider position (0..8); 0 for positions outside.
int ScaleCodeAtPosition(int position);
// The position offering a scale mode code, or -1 for codes that have none.
int ScalePositionOfCode(int32_t code);
// The name of a scale mode code ("Bilinear"); empty for unknown codes.
const char *ScaleModeName(int32_t code);
// String ids of the scale mode names: SCALE_MODE_STRING_BASE + code.
inline constexpr unsigned SCALE_MODE_STRING_BASE = 30260;

// ---- reported resolution ----

struct Resolution {
    int width;
    int height;
};
inline constexpr int STANDARD_RESOLUTION_COUNT = 23;
extern const Resolution STANDARD_RESOLUTIONS[STANDARD_RESOLUTION_COUNT];
// Index of a standard resolution, -1 when it is none of them.
int StandardResolutionIndex(int width, int height);
// List item data of a resolution, and back.
inline uint32_t ResolutionItemData(int width, int height) { return (uint32_t(width) << 16) | (uint32_t(height) & 0xFFFF); }
inline Resolution ResolutionOfItemData(uint32_t data) { return {int(data >> 16), int(data & 0xFFFF)}; }
// "%d x %d".
std::string ResolutionText(int width, int height);

// ---- frame rate ----

// The rate as the page shows it: two decimals, with "<point>00" dropped and then a
// single trailing "0" dropped (30 -> "30", 29.5 -> "29.5", 29.97 -> "29.97").
std::string FrameRateText(float rate, char decimalPoint);
// Parses an edited rate: a decimal number with white space allowed around it; the
// locale's point or '.' separates the decimals. Nothing for anything else or for
// a value that is not finite.
std::optional<float> ParseFrameRate(const std::string &text, char decimalPoint);
// Keeps a rate within 0.01..60.
float ClampFrameRate(float rate);
// The rate after the up-down control moved to `position`: the fraction of the rate
// kept, the whole part replaced by the position, then clamped.
float RateAtUpDownPosition(float rate, int position);
// The whole part of a rate, the up-down position that shows it.
int UpDownPositionOfRate(float rate);
