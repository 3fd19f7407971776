#include <options/PageRules.h>

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

void FrameRateCases();

TEST(AdjustmentRanges, DeviceRangesCompareAsSigned16BitAndWidenForEveryChannel)
{
    SliderRange r = AdjustmentSliderRange(Adjustment::Pll, 5, true, -2000, 2000);
    EXPECT_EQ(r.min, -2000);
    EXPECT_EQ(r.max, 2000);
    EXPECT_EQ(r.tickFrequency, 200);
    // 0x12345 wraps to 0x2345 as a 16-bit number.
    r = AdjustmentSliderRange(Adjustment::HorizontalShift, 0x12345, true, -10, 10);
    EXPECT_EQ(r.max, 0x2345);
    r = AdjustmentSliderRange(Adjustment::VerticalShift, -90, false, 0, 0);
    EXPECT_EQ(r.min, -90);
    EXPECT_EQ(r.tickFrequency, 8);
    r = AdjustmentSliderRange(Adjustment::Offset, 10, true, 0, 127);
    WidenForChannels(&r, 200, 3);
    EXPECT_EQ(r.min, 0);
    EXPECT_EQ(r.max, 200);
}

// The window toolkit switches the process to the user's locale at start, so every
// case runs in the C locale and again in one that writes "29,97".
TEST(FrameRate, TextFollowsTheLocaleAndParsingRefusesAnythingButANumber)
{
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    for (const char *process : {"C", "de_DE.UTF-8"}) {
        if (!std::setlocale(LC_NUMERIC, process)) {
            ADD_FAILURE() << process << " is not installed (scripts/bootstrap makes it)";
            continue;
        }
        SCOPED_TRACE(process);
        FrameRateCases();
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
}

void FrameRateCases()
{
    EXPECT_EQ(FrameRateText(30.0f, '.'), "30");
    EXPECT_EQ(FrameRateText(29.5f, ','), "29,5");
    EXPECT_EQ(FrameRateText(0.01f, '.'), "0.01");
    EXPECT_EQ(FrameRateText(29.97f, '.'), "29.97");
    EXPECT_FLOAT_EQ(*ParseFrameRate(" 75 ", '.'), 75.0f);
    EXPECT_FLOAT_EQ(*ParseFrameRate("29,97", ','), 29.97f);
    EXPECT_FLOAT_EQ(*ParseFrameRate("29.97", ','), 29.97f);
    EXPECT_FLOAT_EQ(*ParseFrameRate("29.97", '.'), 29.97f);
    for (const char *bad : {"", " ", "abc", "1e3", "3x", "1.2.3", "inf", "nan", "-", "0x10"})
        EXPECT_FALSE(ParseFrameRate(bad, '.').has_value()) << bad;
    EXPECT_FALSE(ParseFrameRate(std::string(60, '9'), '.').has_value());  // overflows to infinity
    EXPECT_FLOAT_EQ(RateAtUpDownPosition(0.5f, 0), 0.5f);
    EXPECT_FLOAT_EQ(RateAtUpDownPosition(0.5f, -3), 0.01f);
}

}  // namespace
