#include <options/PageRules.h>

#include <gtest/gtest.h>

namespace {

TEST(AdjustmentRanges, StandardRangesWidenToTheValue)
{
    SliderRange r = AdjustmentSliderRange(Adjustment::HorizontalShift, 150, false, 0, 0);
    EXPECT_EQ(r.min, -100);
    EXPECT_EQ(r.max, 150);
    EXPECT_EQ(r.tickFrequency, 12);
    r = AdjustmentSliderRange(Adjustment::SamplingPhase, 40, false, 0, 0);
    EXPECT_EQ(r.min, 0);
    EXPECT_EQ(r.max, 40);
    EXPECT_EQ(r.tickFrequency, 4);
    r = AdjustmentSliderRange(Adjustment::VerticalShift, -90, false, 0, 0);
    EXPECT_EQ(r.min, -90);
    EXPECT_EQ(r.max, 80);
    EXPECT_EQ(r.tickFrequency, 8);
    r = AdjustmentSliderRange(Adjustment::Gain, 200, false, 0, 0);
    EXPECT_EQ(r.max, 255);
    EXPECT_EQ(r.tickFrequency, 25);
}

TEST(AdjustmentRanges, DeviceRangesCompareAsSigned16Bit)
{
    SliderRange r = AdjustmentSliderRange(Adjustment::Pll, 5, true, -2000, 2000);
    EXPECT_EQ(r.min, -2000);
    EXPECT_EQ(r.max, 2000);
    EXPECT_EQ(r.tickFrequency, 200);
    // 0x12345 wraps to 0x2345 as a 16-bit number.
    r = AdjustmentSliderRange(Adjustment::HorizontalShift, 0x12345, true, -10, 10);
    EXPECT_EQ(r.max, 0x2345);
    r = AdjustmentSliderRange(Adjustment::Offset, 10, true, 0, 127);
    WidenForChannels(&r, 200, 3);
    EXPECT_EQ(r.min, 0);
    EXPECT_EQ(r.max, 200);
    EXPECT_TRUE(IsShiftOnlyModel("K7Q00123"));
    EXPECT_FALSE(IsShiftOnlyModel("k7q00123"));
    EXPECT_FALSE(IsShiftOnlyModel(nullptr));
}

TEST(ScaleSlider, PositionsAndCodes)
{
    const int expected[] = {1, 3, 8, 4, 9, 5, 11, 12, 10};
    for (int pos = 0; pos < 9; ++pos) {
        EXPECT_EQ(ScaleCodeAtPosition(pos), expected[pos]);
        EXPECT_EQ(ScalePositionOfCode(expected[pos]), pos);
    }
    for (int code : {0, 2, 6, 7, 13})
        EXPECT_EQ(ScalePositionOfCode(code), -1);
    EXPECT_STREQ(ScaleModeName(ScaleCodeAtPosition(SCALE_SLIDER_UNOFFERED_POSITION)), "Bilinear");
}

TEST(Resolutions, ListAndItemData)
{
    EXPECT_EQ(StandardResolutionIndex(480, 240), 0);
    EXPECT_EQ(StandardResolutionIndex(2560, 1600), 22);
    EXPECT_EQ(StandardResolutionIndex(1366, 768), -1);
    const Resolution r = ResolutionOfItemData(ResolutionItemData(1366, 768));
    EXPECT_EQ(r.width, 1366);
    EXPECT_EQ(r.height, 768);
    EXPECT_EQ(ResolutionText(1366, 768), "1366 x 768");
}

TEST(FrameRate, TextParsingAndSteps)
{
    EXPECT_EQ(FrameRateText(30.0f, '.'), "30");
    EXPECT_EQ(FrameRateText(29.5f, '.'), "29.5");
    EXPECT_EQ(FrameRateText(29.97f, '.'), "29.97");
    EXPECT_EQ(FrameRateText(29.5f, ','), "29,5");
    EXPECT_EQ(FrameRateText(0.01f, '.'), "0.01");

    EXPECT_FLOAT_EQ(*ParseFrameRate(" 75 ", '.'), 75.0f);
    EXPECT_FLOAT_EQ(*ParseFrameRate("29,97", ','), 29.97f);
    EXPECT_FLOAT_EQ(*ParseFrameRate("29.97", ','), 29.97f);
    for (const char *bad : {"", " ", "abc", "1e3", "3x", "1.2.3", "inf", "nan", "-"})
        EXPECT_FALSE(ParseFrameRate(bad, '.').has_value()) << bad;
    EXPECT_FALSE(ParseFrameRate(std::string(60, '9'), '.').has_value());  // overflows to infinity

    EXPECT_FLOAT_EQ(ClampFrameRate(75.0f), 60.0f);
    EXPECT_FLOAT_EQ(ClampFrameRate(0.0f), 0.01f);
    EXPECT_FLOAT_EQ(RateAtUpDownPosition(29.97f, 30), 30.97f);
    EXPECT_FLOAT_EQ(RateAtUpDownPosition(59.5f, 60), 60.0f);
    EXPECT_FLOAT_EQ(RateAtUpDownPosition(0.5f, 0), 0.5f);
    EXPECT_EQ(UpDownPositionOfRate(29.97f), 29);
}

}  // namespace
