// The capture service's link to an appliance (a separate process, so only our side
// fails) with one socket call or frame buffer failing at each point: while the link
// is made, while the mode is learnt, while frames stream to a consumer. A failed
// socket call ends that link, a failed buffer costs one frame; either way the
// consumer keeps receiving frames (no-signal pictures stand in) and the device's
// picture comes back by itself.
#include "../FaultWalk.h"
#include "Harness.h"

#include <capture/Service.h>
#include <sim/SimProcess.h>

using namespace CaptureTest;
using Capture::PixelFormat;

namespace {

constexpr int kWidth = 160, kHeight = 120;

class CaptureFaults : public testing::TestWithParam<Ambry::FaultKind> {};

TEST_P(CaptureFaults, AFailureOnTheDeviceLinkIsBridgedAndThePictureComesBack)
{
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device",
                    "serial=TS0001,animate=0,mode=160x120@30000"});
    ASSERT_TRUE(sim.Ready());
    ClearStore();
    Registration reg;
    reg.clsid = GUID{0x51A7F001u, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, 0x01}};
    reg.address = AddressOf(sim.Device(0).address, sim.Device(0).port);
    Register(reg);
    const std::vector<uint8_t> still = StillPicture("TS0001", kWidth, kHeight);
    LogCapture log;  // keeps the service's lines out of the test output

    const uint64_t walked = WalkFaults(GetParam(), [&](FaultRun &run) {
        Capture::ServiceOptions options;
        options.linger_ms = 200;
        options.retry_ms = 100;
        options.rescan_delay_ms = 20;
        options.connecting_grace_ms = 200;
        std::string error;
        std::unique_ptr<Capture::Service> service = Capture::Service::Start(options, &error);
        ASSERT_TRUE(service) << error;
        {
            Consumer consumer(NodeName(reg.clsid), PixelFormat::BGR);
            auto showsPicture = [&] {
                std::vector<ReceivedFrame> frames = consumer.Frames();
                return !frames.empty() && frames.back().bytes == still;
            };
            const bool first = WaitUntil(showsPicture, 10000);
            if (!run.Disarm()) {
                EXPECT_TRUE(first) << "without a failure the picture must arrive";
            }
            // Whatever failed: frames keep coming and the picture is back within seconds.
            consumer.Clear();
            EXPECT_TRUE(consumer.WaitFrames(3, 5000)) << "frames received: " << consumer.Count();
            if (!WaitUntil(showsPicture, 10000)) {
                std::string lines;
                for (const std::string &line : log.Lines())
                    lines += "  " + line + "\n";
                for (const Capture::NodeStatus &n : service->Nodes())
                    lines += "  node " + n.nodeName + ": " + n.state + (n.streaming ? ", streaming, " : ", idle, ") +
                             std::to_string(n.liveQueued) + " live of " + std::to_string(n.framesQueued) + "\n";
                ADD_FAILURE() << "the device's picture did not come back; the service said:\n" << lines;
            }
        }
        service.reset();
    });
    EXPECT_GT(walked, 0u) << "no call of this kind was made: the fault site is gone";
}

INSTANTIATE_TEST_SUITE_P(Link, CaptureFaults,
                         testing::Values(Ambry::FaultKind::SocketSend, Ambry::FaultKind::SocketRecv,
                                         Ambry::FaultKind::Alloc),
                         [](const testing::TestParamInfo<Ambry::FaultKind> &info) {
                             return info.param == Ambry::FaultKind::SocketSend   ? "Send"
                                    : info.param == Ambry::FaultKind::SocketRecv ? "Receive"
                                                                                 : "FrameBuffer";
                         });

}  // namespace
