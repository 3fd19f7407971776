// Pictures and streams of simulated appliances: exact grabs and crops, rotation on
// our side, the bounded stream queue, decoding on the stream path, and streamed
// frames through the caller's callback and allocator.
#include "Appliance.h"

#include <WaitFor.h>
#include <grabber/Wire.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

using namespace Grabber;
using grabbertest::Appliance;
using testsupport::WaitFor;

TEST_F(Appliance, GrabsTheExactPicture)
{
    Run("mode=1920x1080@60000,animate=0,serial=FULLHD");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    FrameRecord *f = GrabFrame(h, FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->image_bytes, 1920u * 1080u * 3u);
    EXPECT_EQ(f->rect.width, 1920u);
    EXPECT_EQ(f->rect.height, 1080u);
    EXPECT_EQ(f->source_mode, (VideoMode{1920, 1080, 60000}));
    EXPECT_EQ(f->format, FORMAT_PREVIEW);
    ExpectPicture(f, 1920, 1080);
    ReleaseFrame(h, f);

    CropRect crop{100, 50, 64, 32};
    f = GrabFrame(h, FORMAT_PREVIEW, &crop);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->image_bytes, 64u * 32u * 3u);
    std::vector<uint8_t> full(1920u * 1080u * 3u);
    Sim::RenderPattern(sim.Config(0), 0, 1920, 1080, full.data());
    for (int y = 0; y < 32; ++y)
        ASSERT_EQ(std::memcmp(f->data + size_t(31 - y) * 64 * 3, full.data() + (size_t(50 + y) * 1920 + 100) * 3, 64 * 3), 0)
            << "row " << y;
    ReleaseFrame(h, f);

    sim.SetSignal(0, false);
    ASSERT_TRUE(WaitFor([&] { VideoMode m; GetVideoMode(h, &m); return m.width == 0; }, 2000));
    f = GrabFrame(h, FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);  // a reply of exactly 36 bytes: a frame without picture
    EXPECT_EQ(f->data, nullptr);
    EXPECT_EQ(f->image_bytes, 0u);
    ReleaseFrame(h, f);
}

TEST_F(Appliance, StreamQueueIsBounded)
{
    Run("mode=32x16@60000,stream-fps=2000");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    const Operations &ops = NetworkDriver().ops;
    ASSERT_TRUE(ops.EnableStreaming(h));
    ASSERT_TRUE(ops.SetStreamFormat(h, FORMAT_PREVIEW, nullptr));
    ASSERT_TRUE(WaitFor([&] { return sim.Stats(0).frames_streamed > kMaxQueuedFrames + 20; }, 5000));
    EXPECT_TRUE(WaitFor([&] { return QueuedFrameCount(h) == kMaxQueuedFrames; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(QueuedFrameCount(h), kMaxQueuedFrames);
    ASSERT_TRUE(ops.DisableStreaming(h));
    EXPECT_EQ(QueuedFrameCount(h), 0u);
    EXPECT_TRUE(WaitFor([&] { return Requests(REQ_STOP_STREAM) == 1; }, 2000));
}

TEST_F(Appliance, StreamPathDecodesCompressedFrames)
{
    Run("mode=64x48@60000,animate=0,stream-fps=200");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(NetworkDriver().ops.EnableStreaming(h));
    FrameRecord *first = GrabFrame(h, FORMAT_PREVIEW, nullptr);  // request path, grab-state becomes 3
    ASSERT_NE(first, nullptr);
    ReleaseFrame(h, first);
    FrameRecord *f = GrabFrame(h, FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(Requests(REQ_SET_FORMAT), 1u);
    EXPECT_EQ(Requests(REQ_GRAB), 1u);  // the second frame came from the stream
    EXPECT_EQ(f->format & FORMAT_PIXEL_MASK, uint32_t(imaging::kBgr24));
    ExpectPicture(f, 64, 48);
    ReleaseFrame(h, f);
}

TEST_F(Appliance, RotationRunsOnOurSide)
{
    Run("mode=64x32@60000,animate=0");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    FrameRecord *f = GrabFrame(h, FORMAT_PREVIEW | (3u << 20), nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->format & FORMAT_ROTATION_MASK, 0u);  // the device was asked without rotation
    ASSERT_EQ(f->image_bytes, 64u * 32u * 3u);
    std::vector<uint8_t> top(f->image_bytes);
    Sim::RenderPattern(sim.Config(0), 0, 64, 32, top.data());
    // Turned by 180 degrees, bottom-up rows read like the top-down picture mirrored.
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            ASSERT_EQ(std::memcmp(f->data + (size_t(y) * 64 + x) * 3, top.data() + (size_t(y) * 64 + (63 - x)) * 3, 3), 0)
                << x << "," << y;
    ReleaseFrame(h, f);

    f = GrabFrame(h, FORMAT_PREVIEW | (2u << 20), nullptr);  // a quarter turn: sizes swap
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->rect.width, 32u);
    EXPECT_EQ(f->rect.height, 64u);
    EXPECT_EQ(f->image_bytes, 64u * 32u * 3u);
    ReleaseFrame(h, f);
}

TEST_F(Appliance, StreamedFramesGoToTheCallbackAndTheAllocator)
{
    Run("mode=16x8@60000,stream-fps=500");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    struct Counts {
        std::atomic<int> allocated{0}, released{0}, offered{0};
        std::mutex lock;
        std::vector<FrameRecord *> kept;
    } counts;
    FrameAllocator alloc{
        [](size_t size, void *ctx) -> void * {
            ++static_cast<Counts *>(ctx)->allocated;
            return std::malloc(size);
        },
        [](void *data, void *ctx) {
            ++static_cast<Counts *>(ctx)->released;
            std::free(data);
        }};
    StreamCallbacks sc{};
    sc.on_frame = [](void *ctx, FrameRecord *f) {
        auto *c = static_cast<Counts *>(ctx);
        if (++c->offered > 5)
            return false;  // declined: queued instead
        std::lock_guard<std::mutex> lock(c->lock);
        c->kept.push_back(f);
        return true;
    };
    const Operations &ops = NetworkDriver().ops;
    ASSERT_TRUE(ops.SetAllocator(h, &alloc, &counts));
    ASSERT_TRUE(ops.SetStreamCallbacks(h, &sc, &counts));
    ASSERT_TRUE(ops.EnableStreaming(h));
    ASSERT_TRUE(ops.SetStreamFormat(h, FORMAT_PREVIEW, nullptr));
    ASSERT_TRUE(WaitFor([&] { return counts.offered.load() > 10; }, 3000));
    ASSERT_TRUE(ops.DisableStreaming(h));
    ASSERT_TRUE(ops.SetStreamCallbacks(h, nullptr, nullptr));
    {
        std::lock_guard<std::mutex> lock(counts.lock);
        ASSERT_EQ(counts.kept.size(), 5u);
        for (FrameRecord *f : counts.kept) {
            EXPECT_EQ(f->image_bytes, 16u * 8u * 3u);
            EXPECT_EQ(f->release_context, &counts);
            ReleaseFrame(h, f);
        }
    }
    ops.SetAllocator(h, nullptr, nullptr);
    // Every buffer that came from the allocator went back to it.
    EXPECT_TRUE(WaitFor([&] { return counts.allocated.load() == counts.released.load(); }, 2000))
        << counts.allocated.load() << " vs " << counts.released.load();
}
