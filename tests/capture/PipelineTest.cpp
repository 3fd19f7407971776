#include <capture/Pipeline.h>

#include <gtest/gtest.h>

#include <vector>

using namespace Capture;

TEST(CapturePipeline, LayoutsNamesAndBlackNoSignal)
{
    PixelFormat format{};
    ASSERT_TRUE(FormatFromOptionName("IYUV", &format));
    EXPECT_EQ(format, PixelFormat::I420);
    ASSERT_TRUE(FormatFromOptionName("RGB24", &format));
    EXPECT_EQ(format, PixelFormat::BGR);
    EXPECT_FALSE(FormatFromOptionName("rgb24", &format));

    EXPECT_EQ(FrameBytes({PixelFormat::I420, 1280, 720}), 1280u * 720 * 3 / 2);
    EXPECT_EQ(FrameBytes({PixelFormat::YUY2, 1366, 768}), 1366u * 768 * 2);
    EXPECT_EQ(FrameBytes({PixelFormat::BGR, 641, 480}), 0u);
    EXPECT_EQ(FrameBytes({PixelFormat::YV12, 640, 481}), 0u);
    EXPECT_EQ(FrameBytes({PixelFormat::YUY2, 640, 481}), 640u * 481 * 2);
    FrameLayout layout;
    ASSERT_TRUE(LayoutOf({PixelFormat::YV12, 8, 4}, &layout));
    EXPECT_EQ(layout.planes, 3);
    EXPECT_EQ(layout.offset[1], 32u);
    EXPECT_EQ(layout.offset[2], 40u);
    EXPECT_EQ(layout.bytes, 48u);

    FramePipeline pipeline;
    std::vector<uint8_t> out(48, 0xEE);
    pipeline.RenderNoSignal(out.data(), out.size());  // not configured: untouched
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_FALSE(pipeline.Configure({PixelFormat::I420, 8, 4}, {13, false}));
    ASSERT_TRUE(pipeline.Configure({PixelFormat::I420, 8, 4}, {}));
    pipeline.RenderNoSignal(out.data(), out.size());
    for (size_t i = 0; i < out.size(); ++i)
        ASSERT_EQ(out[i], i < 32 ? 16 : 128) << i;
    ASSERT_TRUE(pipeline.Configure({PixelFormat::UYVY, 4, 2}, {}));
    pipeline.RenderNoSignal(out.data(), out.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), (std::vector<uint8_t>{128, 16, 128, 16}));
}
