// Opening simulated appliances through OpenDeviceIO: class by type, model names,
// logins, video modes and preview frames over both paths.
#include <deviceio/NetGrabberIO.h>

#ifdef TESSALINE_HAVE_SIM

#include <grabber/Records.h>

#include <WaitFor.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "SimDevice.h"

using namespace std::chrono_literals;

namespace {

Ambry::Ref<CDeviceIO> Open(TestSim::Appliances &sim, const char *password = "")
{
    return OpenDeviceIO(password, sim.Address());
}

}  // namespace

TEST(DeviceIO, TessalineOpensLogsInAndDescribesItself)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.mode = {1024, 768, 60004};
    config.flags = 1;  // says in its greeting that it needs no login
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();

    Ambry::Ref<CDeviceIO> io = Open(sim);
    ASSERT_TRUE(io);
    EXPECT_NE(dynamic_cast<CTessalineIO *>(io.get()), nullptr);
    EXPECT_EQ(io->GetLoginStatus(), LoginOpen);
    EXPECT_FALSE(io->IsPasswordRequired());
    EXPECT_TRUE(io->IsCaptureSource());
    EXPECT_EQ(io->GetDeviceType(), 3);
    EXPECT_STREQ(io->GetModelName(), "Tessaline");
    EXPECT_EQ(std::string(io->GetSerialNumber()), config.serial);

    AddressRecord peer;
    io->GetAddress(&peer);
    EXPECT_EQ(peer.family, ADDRESS_FAMILY_INET);
    EXPECT_EQ(AddressRecordHostAddress(peer), config.address);
    EXPECT_EQ(AddressRecordHostPort(peer), sim.Sim().Ports(0).port);

    std::string name;
    ASSERT_NE(io->GetDeviceName(&name), nullptr);
    EXPECT_EQ(name, config.name);
    EXPECT_EQ(io->GetDeviceName(nullptr), nullptr);
    EXPECT_TRUE(io->SetDeviceName("Renamed"));
    EXPECT_STREQ(io->GetDeviceName(&name), "Renamed");

    VideoMode mode;
    EXPECT_TRUE(io->GetVideoMode(&mode));
    EXPECT_EQ(mode.width, 1024);
    EXPECT_EQ(mode.height, 768);
    EXPECT_EQ(FormatVideoMode(mode), "1024x768 60.0 Hz");
    EXPECT_TRUE(io->GetVideoMode(nullptr));
    VideoMode detected;
    EXPECT_TRUE(io->DetectVideoMode(&detected));
    EXPECT_EQ(detected.width, 1024);

    VideoAdjustments adjustments;
    AdjustmentRanges ranges;
    EXPECT_TRUE(io->GetAdjustments(&adjustments, &ranges));
    EXPECT_TRUE(io->SetAdjustments(adjustments));
}

TEST(DeviceIO, GrabberFrameIsBottomUpAndOutlivesItsConnection)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.mode = {640, 480, 60000};
    config.animate = false;  // the picture of frame 0, whenever the grab happens
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDeviceIO> io = Open(sim);
    ASSERT_TRUE(io);

    Ambry::Ref<CFrame> frame = io->GrabFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Width(), 640);
    EXPECT_EQ(frame->Height(), 480);
    VideoMode mode;
    EXPECT_TRUE(frame->GetFrameMode(&mode));
    EXPECT_EQ(mode.width, 640);

    // The simulator renders the same picture; our copy is its rows in reverse order.
    std::vector<uint8_t> expected(640 * 480 * 3);
    Sim::RenderPattern(sim.Sim().Config(0), 0, 640, 480, expected.data());
    const uint8_t *pixels = frame->GetPixels();
    const size_t row = 640 * 3;
    int wrong_rows = 0;
    for (size_t y = 0; y < 480; ++y)
        wrong_rows += std::memcmp(pixels + (479 - y) * row, expected.data() + y * row, row) != 0;
    EXPECT_EQ(wrong_rows, 0);

    // Dropping the I/O object keeps the frame's connection and pixels alive.
    io.reset();
    EXPECT_EQ(frame->GetPixels()[0], pixels[0]);
    frame.reset();
}

TEST(DeviceIO, ClassAndModelNameFollowTheDeviceType)
{
    struct Case {
        uint32_t type;
        const char *model;
        bool capture_source;
        bool dorrivan;
    } cases[] = {
        {18, "Tessaline", true, false},
        {13, "", false, false},
        {0, "TESLINE", false, false},
        {9, "Dorrivan", false, true},
        {6, "Corvane", false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        TestSim::Appliances sim(TestSim::Config(c.type));
        ASSERT_TRUE(sim.Started()) << sim.Error();
        Ambry::Ref<CDeviceIO> io = Open(sim);
        ASSERT_TRUE(io);
        EXPECT_STREQ(io->GetModelName(), c.model);
        EXPECT_EQ(io->IsCaptureSource(), c.capture_source);
        EXPECT_EQ(dynamic_cast<CDorrivanIO *>(io.get()) != nullptr, c.dorrivan);
        if (c.dorrivan) {
            // Grabs over the grabber protocol, not over HTTP (no HTTP endpoint here).
            Ambry::Ref<CFrame> frame = io->GrabFrame();
            ASSERT_TRUE(frame);
            VideoMode mode;
            EXPECT_TRUE(frame->GetFrameMode(&mode));
        } else if (!c.capture_source) {
            // A network appliance takes its preview over HTTP only; with no HTTP
            // endpoint there is no frame, and no fall-back to the grabber protocol.
            EXPECT_FALSE(io->GrabFrame());
        }
    }
    // A product name reported by the device wins over the table.
    Sim::DeviceConfig named = TestSim::Config(3);
    named.product = "Tessaline Rack";
    TestSim::Appliances sim(named);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDeviceIO> io = Open(sim);
    ASSERT_TRUE(io);
    EXPECT_STREQ(io->GetModelName(), "Tessaline Rack");
}

TEST(DeviceIO, PasswordsAreCutTo63AndRefusalsReadAsDenied)
{
    const std::string long_password(64, 'p');
    Sim::DeviceConfig config = TestSim::Config(3);
    config.password = long_password.substr(0, 63);
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();

    Ambry::Ref<CDeviceIO> io = Open(sim, long_password.c_str());
    ASSERT_TRUE(io);
    EXPECT_EQ(io->GetLoginStatus(), LoginAccepted);
    EXPECT_TRUE(io->IsPasswordRequired());

    // A wrong password: 3, never 4; the source was asked once.
    EXPECT_EQ(io->Login("wrong"), LoginDenied);
    EXPECT_EQ(io->GetLoginStatus(), LoginDenied);
    EXPECT_EQ(AddDialogStatusText(io->GetLoginStatus(), "", "", {}, "wrong"), "Login failed");

    Ambry::Ref<CDeviceIO> denied = Open(sim, "");
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->GetLoginStatus(), LoginDenied);
    EXPECT_EQ(AddDialogStatusText(denied->GetLoginStatus(), "", "", {}, ""), "Access denied, password needed");

    // Logging in again with the right password recovers.
    EXPECT_EQ(denied->Login(long_password.c_str()), LoginAccepted);

    struct CountingSource final : CCredentialsSource {
        int asked = 0;
        bool GetPassword(char *password, size_t size) override
        {
            ++asked;
            std::snprintf(password, size, "nope");
            return true;
        }
    } source;
    EXPECT_EQ(denied->Login(source), LoginDenied);
    EXPECT_EQ(source.asked, 1);
}

TEST(DeviceIO, NoSignalAndMisSizedFrames)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.signal = false;
    config.bad_frame_size = true;
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDeviceIO> io = Open(sim);
    ASSERT_TRUE(io);
    VideoMode mode{1, 1, 1};
    EXPECT_FALSE(io->GetVideoMode(&mode));
    EXPECT_EQ(mode.width, 0);
    EXPECT_STREQ(DeviceListStatusText(io->GetLoginStatus(), true, false, mode), "No signal");

    sim.Sim().SetSignal(0, true);
    EXPECT_TRUE(testsupport::WaitFor([&] { return io->GetVideoMode(&mode); }, 2000));
    // The device delivers one byte short of width x height x 3: rejected.
    EXPECT_FALSE(io->GrabFrame());
}

TEST(DeviceIO, UnreachableOrNonIPv4AddressesOpenNothing)
{
    AddressRecord record = MakeAddressRecord(TestSim::UniqueLoopback(), 9);
    EXPECT_FALSE(OpenDeviceIO("", record));
    TestSim::Appliances sim(TestSim::Config(3));
    ASSERT_TRUE(sim.Started()) << sim.Error();
    AddressRecord other_family = sim.Address();
    other_family.family = 10;
    EXPECT_FALSE(OpenDeviceIO("", other_family));
}

TEST(DeviceIO, WorkerAndInterfaceThreadsShareOneDevice)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.mode = {320, 240, 60000};
    config.password = "pw";
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDeviceIO> io = Open(sim, "pw");
    ASSERT_TRUE(io);

    // The worker grabs and logs in again while the interface thread asks about the
    // device and its adjustments, holding references of its own.
    std::atomic<int> frames{0}, answers{0};
    std::thread worker([&] {
        for (int i = 0; i < 20; ++i) {
            if (io->GrabFrame())
                ++frames;
            if (i % 5 == 0) {
                EXPECT_EQ(io->Login("pw"), LoginAccepted);
            }
        }
    });
    std::thread ui([&] {
        for (int i = 0; i < 20; ++i) {
            Ambry::Ref<CDeviceIO> held = io;
            VideoAdjustments adjustments;
            AdjustmentRanges ranges;
            if (held->GetAdjustments(&adjustments, &ranges) && held->IsCaptureSource() &&
                !IsLoginRefused(held->GetLoginStatus()))
                ++answers;
        }
    });
    worker.join();
    ui.join();
    EXPECT_EQ(frames.load(), 20);
    EXPECT_EQ(answers.load(), 20);
}

// The HTTP snapshot always comes from port 80, so the appliance must listen there:
// possible as root on an address of its own.
TEST(DeviceIO, NetworkApplianceGrabsAJpegSnapshotOverHttp)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "port 80 needs root";
    Sim::DeviceConfig config = TestSim::Config(1);
    config.http_port = 80;
    config.mode = {800, 600, 60000};
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Ambry::Ref<CDeviceIO> io = Open(sim);
    ASSERT_TRUE(io);
    EXPECT_NE(dynamic_cast<CNetworkApplianceIO *>(io.get()), nullptr);
    EXPECT_STREQ(io->GetModelName(), "Avenel Span");
    Ambry::Ref<CFrame> frame = io->GrabFrame();
    ASSERT_TRUE(frame);
    EXPECT_GT(frame->Width(), 0);
    EXPECT_GT(frame->Height(), 0);
    VideoMode mode;
    EXPECT_FALSE(frame->GetFrameMode(&mode));
    EXPECT_GE(sim.Sim().Stats(0).http_requests, 1u);
}

#endif  // TESSALINE_HAVE_SIM
