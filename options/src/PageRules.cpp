#include "options/PageRules.h"

#include "options/CaptureOptions.h"

#include <ambry/Parse.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstring>

const Resolution STANDARD_RESOLUTIONS[STANDARD_RESOLUTION_COUNT] = {
    {480, 240},   {640, 480},   {656, 496},   {720, 400},   {720, 480},   {800, 480},
    {800, 600},   {1024, 768},  {1152, 864},  {1152, 900},  {1280, 720},  {1280, 768},
    {1280, 800},  {1280, 960},  {1280, 1024}, {1400, 1050}, {1600, 1200}, {1680, 1050},
    {1920, 1080}, {1920, 1200}, {2048, 1536}, {2048, 2048}, {2560, 1600},
};

namespace {

constexpr int32_t kCodeAtPosition[SCALE_SLIDER_POSITIONS] = {1, 3, 8, 4, 9, 5, 11, 12, 10};

constexpr const char *kScaleModeNames[SCALE_MODE_LAST + 1] = {
    "No Resizing", "Pixel resize",       "Weighted average", "Fast bilinear",
    "Bilinear",    "Bicubic",            "Experimental",     "Nearest neighbour",
    "Weighted average", "Luma bicubic, chroma bilinear", "Sinc", "Lanczos",
    "Natural bicubic spline",
};

struct StandardRange {
    int16_t min;
    int16_t max;  // the upper end before widening for the value
    int tickFrequency;  // 0: a twentieth of the range
};

StandardRange StandardRangeOf(Adjustment which)
{
    switch (which) {
    case Adjustment::HorizontalShift:
    case Adjustment::Pll:
        return {-100, 100, 0};
    case Adjustment::VerticalShift:
        return {-80, 80, 0};
    case Adjustment::SamplingPhase:
        return {0, 31, 4};
    case Adjustment::Offset:
        return {0, 63, 8};
    case Adjustment::Gain:
        return {0, 255, 25};
    }
    return {0, 0, 0};
}

}  // namespace

SliderRange AdjustmentSliderRange(Adjustment which, int32_t value, bool deviceRange, int16_t deviceMin,
                                  int16_t deviceMax)
{
    const StandardRange standard = StandardRangeOf(which);
    const auto v = int16_t(value);
    int16_t lo = 0, hi = 0;
    if (deviceRange) {
        lo = std::min(deviceMin, v);
        hi = std::max(deviceMax, v);
    } else if (which == Adjustment::Gain) {
        lo = 0;
        hi = 255;
    } else if (which == Adjustment::SamplingPhase || which == Adjustment::Offset) {
        lo = 0;
        hi = std::max(standard.max, v);
    } else {
        lo = std::min(standard.min, v);
        hi = std::max(standard.max, v);
    }
    SliderRange range;
    range.min = lo;
    range.max = hi;
    range.tickFrequency = standard.tickFrequency ? standard.tickFrequency : (range.max - range.min) / 20;
    return range;
}

void WidenForChannels(SliderRange *range, int32_t channel1, int32_t channel2)
{
    for (int32_t channel : {channel1, channel2}) {
        const auto v = int16_t(channel);
        range->min = std::min<int>(int16_t(range->min), v);
        range->max = std::max<int>(int16_t(range->max), v);
    }
}

bool IsShiftOnlyModel(const char *serialNumber)
{
    return serialNumber && std::strncmp(serialNumber, "K7Q", 3) == 0;
}

int ScaleCodeAtPosition(int position)
{
    return position >= 0 && position < SCALE_SLIDER_POSITIONS ? kCodeAtPosition[position] : 0;
}

int ScalePositionOfCode(int32_t code)
{
    for (int pos = 0; pos < SCALE_SLIDER_POSITIONS; ++pos) {
        if (kCodeAtPosition[pos] == code)
            return pos;
    }
    return -1;
}

const char *ScaleModeName(int32_t code)
{
    return code >= 0 && code <= SCALE_MODE_LAST ? kScaleModeNames[code] : "";
}

int StandardResolutionIndex(int width, int height)
{
    for (int i = 0; i < STANDARD_RESOLUTION_COUNT; ++i) {
        if (STANDARD_RESOLUTIONS[i].width == width && STANDARD_RESOLUTIONS[i].height == height)
            return i;
    }
    return -1;
}

std::string ResolutionText(int width, int height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

std::string FrameRateText(float rate, char decimalPoint)
{
    // to_chars ignores the process locale (which the window toolkit sets to the
    // user's), so the point is always '.' here; show the user's instead.
    char buffer[64];
    const std::to_chars_result written =
        std::to_chars(buffer, buffer + sizeof buffer, double(rate), std::chars_format::fixed, 2);
    std::string text(buffer, written.ec == std::errc() ? written.ptr : buffer);
    if (const size_t dot = text.find('.'); dot != std::string::npos)
        text[dot] = decimalPoint;
    const std::string suffix = std::string(1, decimalPoint) + "00";
    if (text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
        text.resize(text.size() - 3);
    else if (!text.empty() && text.back() == '0')
        text.pop_back();
    return text;
}

std::optional<float> ParseFrameRate(const std::string &text, char decimalPoint)
{
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    std::string number = text.substr(begin, end - begin);
    // Only an optional sign, digits and one decimal point.
    size_t i = 0;
    if (i < number.size() && (number[i] == '+' || number[i] == '-'))
        ++i;
    bool digits = false, point = false;
    for (; i < number.size(); ++i) {
        char &c = number[i];
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if ((c == decimalPoint || c == '.') && !point) {
            point = true;
            c = '.';
        } else {
            return std::nullopt;
        }
    }
    if (!digits)
        return std::nullopt;
    // Read in the C locale: strtof would stop at the '.' in a comma locale.
    float value = 0;
    if (!Ambry::ParseFloat(number.c_str(), &value) || !std::isfinite(value))
        return std::nullopt;
    return value;
}

float ClampFrameRate(float rate)
{
    if (!(rate >= MIN_FRAME_RATE))
        return MIN_FRAME_RATE;
    return std::min(rate, MAX_FRAME_RATE);
}

int UpDownPositionOfRate(float rate)
{
    if (!std::isfinite(rate))
        return 0;
    return int(std::clamp(std::trunc(rate), -1.0e6f, 1.0e6f));
}

float RateAtUpDownPosition(float rate, int position)
{
    return ClampFrameRate((rate - std::trunc(rate)) + float(position));
}
