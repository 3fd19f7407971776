// The grabber client against a simulated appliance (a separate process, so only our
// side fails) with one socket call failing at each point of a session: opening,
// asking for the mode, grabbing a frame. A failure ends that connection and reports
// failure to the caller; the handle then reconnects on its own and works again.
// A frame buffer that cannot be allocated costs only that frame.
#include "FaultWalk.h"

#include <grabber/Grabber.h>
#include <sim/SimProcess.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace Grabber;

namespace {

constexpr VideoMode kMode{640, 480, 60000};

// One session: open, detect the mode, grab a frame. True when all of it worked.
bool Session(uint32_t ip, uint16_t port, const OpenOptions &options, Handle **handle)
{
    *handle = Open(ip, port, options);
    if (!*handle)
        return false;
    SetAutoReconnect(*handle, true);
    VideoMode mode;
    if (!DetectVideoMode(*handle, &mode) || !(mode == kMode))
        return false;
    FrameRecord *frame = GrabFrame(*handle, FORMAT_PREVIEW, nullptr);
    if (!frame)
        return false;
    const bool whole = frame->image_bytes == size_t(kMode.width) * kMode.height * 3;
    ReleaseFrame(*handle, frame);
    return whole;
}

class GrabberFaults : public testing::TestWithParam<Ambry::FaultKind> {};

TEST_P(GrabberFaults, EveryFailedSocketCallEndsOneConnectionWhichComesBack)
{
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device",
                    "serial=FLT1,mode=640x480@60000"});
    ASSERT_TRUE(sim.Ready());
    const uint32_t ip = sim.Device(0).address;
    const uint16_t port = sim.Device(0).port;
    OpenOptions options;
    options.connect_timeout_ms = 2000;
    options.request_timeout_ms = 2000;
    options.reconnect_interval_ms = 50;
    options.frame_wait_ms = 2000;

    Startup();
    const uint64_t walked = WalkFaults(GetParam(), [&](FaultRun &run) {
        Handle *h = nullptr;
        const bool ok = Session(ip, port, options, &h);
        if (!run.Disarm()) {
            EXPECT_TRUE(ok) << "a session without a failure must work";
        }
        if (!h)
            return;  // open failed: nothing is kept
        // Whatever failed, the handle serves again within a few seconds: a broken
        // connection is noticed and made anew.
        VideoMode mode{};
        bool back = false;
        for (int waited = 0; !back && waited < 5000; waited += 20) {
            back = IsConnected(h) && DetectVideoMode(h, &mode) && mode == kMode;
            if (!back)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(back);
        EXPECT_EQ(mode, kMode);
        FrameRecord *frame = GrabFrame(h, FORMAT_PREVIEW, nullptr);
        EXPECT_NE(frame, nullptr);
        if (frame)
            ReleaseFrame(h, frame);
        Close(h);
    });
    Shutdown();
    EXPECT_GT(walked, 0u) << "no socket call of this kind was made: the fault site is gone";
}

INSTANTIATE_TEST_SUITE_P(Socket, GrabberFaults,
                         testing::Values(Ambry::FaultKind::SocketSend, Ambry::FaultKind::SocketRecv),
                         [](const testing::TestParamInfo<Ambry::FaultKind> &info) {
                             return info.param == Ambry::FaultKind::SocketSend ? "Send" : "Receive";
                         });

// Every frame buffer of the reader failing in turn (a direct grab's reply, a streamed
// frame, its decoded picture): that one frame is lost, the grab that wanted it reports
// none, and the connection stays up; the next frame arrives whole.
TEST(GrabberAllocFaults, AFrameBufferThatCannotBeHadCostsOneFrame)
{
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device",
                    "serial=FLT2,mode=160x120@60000,animate=0,stream-fps=50"});
    ASSERT_TRUE(sim.Ready());
    OpenOptions options;
    options.connect_timeout_ms = 2000;
    options.request_timeout_ms = 2000;
    options.frame_wait_ms = 1000;

    Startup();
    const uint64_t walked = WalkFaults(Ambry::FaultKind::Alloc, [&](FaultRun &run) {
        Handle *h = Open(sim.Device(0).address, sim.Device(0).port, options);
        ASSERT_NE(h, nullptr);
        std::atomic<int> disconnects{0};
        NotifyCallbacks notify{};
        notify.on_connection = [](void *context, bool connected, bool) {
            if (!connected)
                ++*static_cast<std::atomic<int> *>(context);
        };
        SetNotifyCallbacks(h, &notify, &disconnects);
        ASSERT_TRUE(NetworkDriver().ops.EnableStreaming(h));
        // The first grab asks the device, the later ones come from the stream.
        int missing = 0;
        for (int i = 0; i < 4; ++i) {
            FrameRecord *frame = GrabFrame(h, FORMAT_PREVIEW, nullptr);
            if (!frame) {
                ++missing;
                continue;
            }
            EXPECT_EQ(frame->image_bytes, 160u * 120 * 3);
            ReleaseFrame(h, frame);
        }
        EXPECT_TRUE(NetworkDriver().ops.DisableStreaming(h));
        EXPECT_LE(missing, run.Disarm() ? 1 : 0);
        FrameRecord *after = GrabFrame(h, FORMAT_PREVIEW, nullptr);
        EXPECT_NE(after, nullptr);
        if (after)
            ReleaseFrame(h, after);
        EXPECT_TRUE(IsConnected(h));
        EXPECT_EQ(disconnects.load(), 0) << "a failed allocation must not end the connection";
        SetNotifyCallbacks(h, nullptr, nullptr);
        Close(h);
    });
    Shutdown();
    EXPECT_GT(walked, 0u) << "no frame buffer was allocated: the fault site is gone";
}

}  // namespace
