// The capture service against simulated appliances, in a private PipeWire session,
// with consumers of our own: what is published, what arrives, and how the service
// behaves when devices, options and the store change under it.
#include "Harness.h"
#include "Slowdown.h"

#include <capture/Service.h>
#include <capture/Wake.h>
#include <sim/Simulator.h>
#include <store/DirectShowOptions.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

using namespace CaptureTest;
using Capture::PixelFormat;

namespace {

GUID MakeId(uint8_t n)
{
    GUID id{0x51A7E000u + n, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x11, 0x22, 0x33, n}};
    return id;
}

// A 24-bit bottom-up bitmap of the given size: a diagonal blend.
std::vector<uint8_t> MakeBitmap(int width, int height)
{
    int row = (width * 3 + 3) & ~3;
    std::vector<uint8_t> file(54 + size_t(row) * height);
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            file[at + i] = uint8_t(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, uint32_t(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, uint32_t(width));
    put32(22, uint32_t(height));
    file[26] = 1;
    file[28] = 24;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t *p = &file[54 + size_t(y) * row + size_t(x) * 3];
            p[0] = uint8_t(x * 255 / width);
            p[1] = uint8_t(y * 255 / height);
            p[2] = uint8_t((x + y) * 127 / (width + height) + 64);
        }
    return file;
}

std::string WriteFile(const std::string &name, const std::vector<uint8_t> &bytes)
{
    std::string path = std::string(getenv("XDG_CONFIG_HOME")) + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

std::vector<uint8_t> FlipRows(const std::vector<uint8_t> &bgr, int width, int height)
{
    std::vector<uint8_t> out(bgr.size());
    size_t row = size_t(width) * 3;
    for (int y = 0; y < height; ++y)
        std::copy_n(bgr.begin() + ptrdiff_t(row * y), row, out.begin() + ptrdiff_t(row * (height - 1 - y)));
    return out;
}

bool AllBlackBgr(const std::vector<uint8_t> &bytes)
{
    for (uint8_t b : bytes)
        if (b != 0)
            return false;
    return !bytes.empty();
}

class CaptureService : public ::testing::Test {
protected:
    void SetUp() override { ClearStore(); }
    void TearDown() override
    {
        m_service.reset();
        m_sim.Stop();
    }

    void StartSim(const std::vector<std::string> &specs)
    {
        std::vector<Sim::DeviceConfig> configs;
        for (const std::string &keys : specs) {
            Sim::DeviceConfig cfg;
            std::string error;
            ASSERT_TRUE(Sim::ParseDeviceSpec("port=0,http=off,udp=off,animate=off," + keys, cfg, &error)) << error;
            configs.push_back(cfg);
        }
        std::string error;
        ASSERT_TRUE(m_sim.Start(configs, &error)) << error;
    }

    void StartService()
    {
        Capture::ServiceOptions options;
        options.linger_ms = 500;
        options.retry_ms = 300;
        options.rescan_delay_ms = 50;
        std::string error;
        m_service = Capture::Service::Start(options, &error);
        ASSERT_TRUE(m_service) << error;
    }

    Registration Reg(uint8_t n, size_t device, const std::string &name)
    {
        Registration r;
        r.clsid = MakeId(n);
        r.name = name;
        Sim::Endpoints ep = m_sim.Ports(device);
        r.address = AddressOf(ep.address, ep.port);
        r.serial = m_sim.Config(device).serial;
        return r;
    }

    // The last frame a consumer received once `count` frames arrived.
    std::vector<uint8_t> LastFrame(Consumer &c, size_t count = 4)
    {
        c.Clear();
        EXPECT_TRUE(c.WaitFrames(count, 8000)) << "frames received: " << c.Count();
        std::vector<ReceivedFrame> frames = c.Frames();
        return frames.empty() ? std::vector<uint8_t>{} : frames.back().bytes;
    }

    Sim::Simulator m_sim;
    std::unique_ptr<Capture::Service> m_service;
};

TEST_F(CaptureService, PublishesRegisteredDevicesFollowsTheStoreAndConnectsOnlyToLearnTheMode)
{
    StartSim({"serial=TS0001,mode=640x480@60000", "serial=TS0002,mode=800x600@60000"});
    Registration a = Reg(1, 0, "Reception"), b = Reg(2, 1, "Board room");
    Registration snapshot = Reg(3, 1, "Snapshot");
    snapshot.type = 9;
    snapshot.categoryKey = false;  // a model that is never registered as a source
    Register(a);
    Register(b);
    Register(snapshot);
    StartService();

    SessionView view;
    ASSERT_TRUE(WaitUntil([&] { return view.Nodes().size() == 2; }, 3000));
    auto nodes = view.Nodes();
    ASSERT_TRUE(nodes.count(NodeName(a.clsid)));
    ASSERT_TRUE(nodes.count(NodeName(b.clsid)));
    const auto &props = nodes[NodeName(a.clsid)].props;
    EXPECT_EQ(props.at("media.class"), "Video/Source");
    EXPECT_EQ(props.at("media.role"), "Camera");
    EXPECT_EQ(props.at("media.category"), "Capture");
    EXPECT_EQ(props.at("node.description"), "Reception");
    EXPECT_EQ(props.at("node.nick"), "Reception");
    EXPECT_EQ(props.at("tessaline.serial"), "TS0001");
    EXPECT_EQ(props.at("tessaline.address"), a.address);

    // The mode is learned with one short connection; the offer follows it.
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const Capture::NodeStatus &s : m_service->Nodes())
                if (s.displayName == "Board room")
                    return s.width == 800 && s.height == 600;
            return false;
        },
        3000));
    uint64_t connections = m_sim.Stats(0).connections;
    EXPECT_LE(connections, 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(m_sim.Stats(0).connections, connections) << "no consumer, yet the service connected again";
    EXPECT_EQ(m_sim.Stats(0).frames_streamed, 0u);
    EXPECT_EQ(m_sim.Stats(0).open_connections + m_sim.Stats(1).open_connections, 0u);

    // Renamed in the store (no wake-up message): the node follows within 2 s.
    Rename(a.clsid, "Front desk");
    EXPECT_TRUE(WaitUntil([&] { return view.Nodes()[NodeName(a.clsid)].props["node.description"] == "Front desk"; },
                          2000));
    // Registered with the wake-up message the filter module sends.
    Registration d = Reg(4, 1, "Lab bench");
    Register(d);
    (void)Capture::WakeCaptureService();
    EXPECT_TRUE(WaitUntil([&] { return view.Nodes().count(NodeName(d.clsid)) == 1; }, 2000));
    // Unregistered: the node goes.
    Unregister(b.clsid);
    EXPECT_TRUE(WaitUntil([&] { return view.Nodes().count(NodeName(b.clsid)) == 0; }, 2000));
    EXPECT_EQ(view.Nodes().size(), 2u);

    // A second instance for the same user is refused.
    std::string error;
    EXPECT_FALSE(Capture::Service::Start(Capture::ServiceOptions{}, &error));
    EXPECT_NE(error.find("already running"), std::string::npos) << error;

    // Restarted: the same node names.
    m_service.reset();
    ASSERT_TRUE(WaitUntil([&] { return view.Nodes().empty(); }, 2000));
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return view.Nodes().size() == 2; }, 3000));
    EXPECT_TRUE(view.Nodes().count(NodeName(a.clsid)));
    EXPECT_TRUE(view.Nodes().count(NodeName(d.clsid)));
}

TEST_F(CaptureService, DeliversTheDevicePictureInEveryOfferedFormatAndFlipped)
{
    StartSim({"serial=TS0001,mode=640x480@30000"});
    Registration a = Reg(1, 0, "Reception");
    Register(a);
    StartService();
    const std::vector<uint8_t> still = StillPicture("TS0001", 640, 480);

    {
        Consumer c(NodeName(a.clsid), PixelFormat::BGR);
        EXPECT_EQ(LastFrame(c), still) << "pass-through BGR differs from the appliance's picture";
        EXPECT_EQ(c.Width(), 640);
        EXPECT_EQ(c.Height(), 480);
        EXPECT_EQ(double(c.RateNum()) / c.RateDen(), 30.0);
    }
    for (PixelFormat f : {PixelFormat::YUY2, PixelFormat::UYVY, PixelFormat::YV12, PixelFormat::I420}) {
        std::vector<uint8_t> expected = Expected(still, 640, 480, {f, 640, 480}, {3, false});
        if (expected.empty()) {
            std::printf("the frame pipeline makes no %s from 24-bit pictures: not checked\n", Capture::FormatName(f));
            continue;
        }
        Consumer c(NodeName(a.clsid), f);
        EXPECT_LE(MaxDifference(LastFrame(c), expected), 1) << Capture::FormatName(f);
    }

    // Options applied while streaming: flipped; the forced format is the only one offered.
    a.optionsSet = true;
    a.options.flags = OPT_FLIP_VERTICAL;
    a.preferredFormat = 5;  // "RGB24"
    a.forceFormat = true;
    Consumer c(NodeName(a.clsid), PixelFormat::BGR);
    EXPECT_TRUE(WaitUntil([&] { return LastFrame(c, 1) == still; }, 4000));
    EXPECT_EQ(m_service->Nodes().at(0).formats, "YUY2 UYVY YV12 I420 BGR");
    Register(a);
    EXPECT_TRUE(WaitUntil([&] { return LastFrame(c, 1) == FlipRows(still, 640, 480); }, 4000));
    EXPECT_EQ(m_service->Nodes().at(0).formats, "BGR");
}

TEST_F(CaptureService, FixedResolutionScalesWithEachOfferedMode)
{
    StartSim({"serial=TS0001,mode=640x480@30000"});
    Registration a = Reg(1, 0, "Reception");
    a.optionsSet = true;
    a.options.flags = OPT_FIXED_RESOLUTION;
    a.options.fixedWidth = 320;
    a.options.fixedHeight = 240;
    const std::vector<uint8_t> still = StillPicture("TS0001", 640, 480);
    Register(a);
    StartService();
    Consumer c(NodeName(a.clsid), PixelFormat::BGR);
    for (int32_t mode : {0, 1, 3, 8, 4, 9, 5, 11, 12, 10}) {
        std::vector<uint8_t> expected = Expected(still, 640, 480, {PixelFormat::BGR, 320, 240}, {uint32_t(mode), false});
        if (expected.empty()) {
            std::printf("the frame pipeline has no scale mode %d yet: not checked\n", mode);
            continue;
        }
        a.options.scaleMode = mode;
        Register(a);
        EXPECT_TRUE(WaitUntil([&] { return MaxDifference(LastFrame(c, 2), expected) <= 1; }, 4000 * testsupport::kSlowdown))
            << "scale mode " << mode;
        EXPECT_EQ(c.Width(), 320);
        EXPECT_EQ(c.Height(), 240);
    }
}

TEST_F(CaptureService, LimitsAndFixesTheFrameRate)
{
    StartSim({"serial=TS0001,mode=320x240@60000,stream-fps=60", "serial=TS0002,mode=320x240@30000,stream-fps=20"});
    Registration limited = Reg(1, 0, "Limited"), fixedLow = Reg(2, 0, "Fixed low"), fixedHigh = Reg(3, 1, "Fixed high");
    limited.optionsSet = fixedLow.optionsSet = fixedHigh.optionsSet = true;
    limited.options.flags = OPT_LIMIT_FPS;
    limited.options.maxFps = 15.0f;
    fixedLow.options.flags = OPT_LIMIT_FPS | OPT_FIX_FPS;
    fixedLow.options.maxFps = 10.0f;
    fixedHigh.options.flags = OPT_LIMIT_FPS | OPT_FIX_FPS;
    fixedHigh.options.maxFps = 40.0f;
    Register(limited);
    Register(fixedLow);
    Register(fixedHigh);
    StartService();

    struct Case {
        Registration *reg;
        double rate;
    };
    for (Case k : {Case{&limited, 15.0}, Case{&fixedLow, 10.0}, Case{&fixedHigh, 40.0}}) {
        Consumer c(NodeName(k.reg->clsid), PixelFormat::BGR);
        ASSERT_TRUE(c.WaitFrames(3, 8000)) << k.reg->name;
        EXPECT_EQ(double(c.RateNum()) / c.RateDen(), k.rate) << k.reg->name;
        c.Clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        double got = double(c.Count()) / 2.0;
        if (testsupport::kSlowdown == 1) {
            EXPECT_NEAR(got, k.rate, k.rate * 0.25 + 2) << k.reg->name;
        } else {
            // Too slow a build to reach the rate: it still never goes over it.
            EXPECT_GT(got, 0.0) << k.reg->name;
            EXPECT_LE(got, k.rate * 1.25 + 2) << k.reg->name;
        }
        EXPECT_FALSE(AllBlackBgr(c.Frames().back().bytes)) << k.reg->name;
    }
}

TEST_F(CaptureService, KeepsDeliveringWithoutSignalWhileUnreachableAndWithAWrongPassword)
{
    StartSim({"serial=TS0001,mode=320x240@30000", "serial=TS0002,mode=none",
              "serial=TS0003,mode=320x240@30000,password=secret"});
    LogCapture log;
    Registration live = Reg(1, 0, "Live"), dark = Reg(2, 1, "Dark"), pictured = Reg(3, 1, "Pictured"),
                 locked = Reg(4, 2, "Locked"), damaged = Reg(5, 1, "Damaged"), unsealable = Reg(6, 2, "Unsealable");
    std::vector<uint8_t> bitmap = MakeBitmap(64, 48);
    pictured.optionsSet = damaged.optionsSet = true;
    pictured.options.flags = damaged.options.flags = OPT_NO_SIGNAL_IMAGE | OPT_FIXED_RESOLUTION;
    pictured.options.fixedWidth = damaged.options.fixedWidth = 320;
    pictured.options.fixedHeight = damaged.options.fixedHeight = 240;
    ASSERT_TRUE(SetNoSignalPath(&pictured.options, WriteFile("nosignal.bmp", bitmap)));
    std::vector<uint8_t> broken(bitmap.begin(), bitmap.begin() + 80);
    ASSERT_TRUE(SetNoSignalPath(&damaged.options, WriteFile("broken.bmp", broken)));
    locked.password = "wrong";
    unsealable.password = "secret";
    unsealable.damagedPassword = true;  // sealed, then damaged: it never opens
    for (Registration *r : {&live, &dark, &pictured, &locked, &damaged, &unsealable})
        Register(*r);
    StartService();

    Consumer cDark(NodeName(dark.clsid), PixelFormat::BGR);
    Consumer cPictured(NodeName(pictured.clsid), PixelFormat::BGR);
    Consumer cLocked(NodeName(locked.clsid), PixelFormat::BGR);
    Consumer cDamaged(NodeName(damaged.clsid), PixelFormat::BGR);
    Consumer cUnsealable(NodeName(unsealable.clsid), PixelFormat::BGR);
    Consumer cLive(NodeName(live.clsid), PixelFormat::BGR);

    EXPECT_TRUE(AllBlackBgr(LastFrame(cDark)));
    EXPECT_TRUE(AllBlackBgr(LastFrame(cLocked)));
    EXPECT_TRUE(AllBlackBgr(LastFrame(cDamaged)));
    EXPECT_TRUE(AllBlackBgr(LastFrame(cUnsealable)));
    Capture::FramePipeline reference;
    ASSERT_TRUE(reference.Configure({PixelFormat::BGR, 320, 240}, {3, false}));
    const bool bitmaps = reference.SetNoSignalBitmap(bitmap.data(), bitmap.size());
    std::vector<uint8_t> noSignal(Capture::FrameBytes({PixelFormat::BGR, 320, 240}));
    reference.RenderNoSignal(noSignal.data(), noSignal.size());
    EXPECT_LE(MaxDifference(LastFrame(cPictured), noSignal), 1);
    if (bitmaps) {
        EXPECT_FALSE(AllBlackBgr(noSignal));
    }
    const std::vector<uint8_t> still = StillPicture("TS0001", 320, 240);
    EXPECT_EQ(LastFrame(cLive), still);

    // Each problem was told once.
    EXPECT_EQ(log.CountContaining("refuses the stored password"), 1u);
    EXPECT_EQ(log.CountContaining("cannot be unsealed"), 1u);
    EXPECT_EQ(log.CountContaining("broken.bmp"), 1u);
    if (bitmaps) {
        EXPECT_EQ(log.CountContaining("nosignal.bmp"), 0u);
    }

    // The appliances vanish: black keeps coming, then the picture returns by itself.
    std::vector<Sim::DeviceConfig> configs;
    for (size_t i = 0; i < 3; ++i) {
        configs.push_back(m_sim.Config(i));
        configs.back().port = m_sim.Ports(i).port;  // back where the store says it is
    }
    m_sim.Stop();
    EXPECT_TRUE(WaitUntil([&] { return AllBlackBgr(LastFrame(cLive, 2)); }, 5000));
    std::string error;
    ASSERT_TRUE(m_sim.Start(configs, &error)) << error;
    EXPECT_TRUE(WaitUntil([&] { return LastFrame(cLive, 2) == still; }, 10000));

}

TEST_F(CaptureService, ConsumersOfOneDeviceShareOneConnectionBesideAnotherDevice)
{
    StartSim({"serial=TS0001,mode=320x240@30000", "serial=TS0002,mode=320x240@30000"});
    Registration a = Reg(1, 0, "First"), b = Reg(2, 1, "Second");
    Register(a);
    Register(b);
    StartService();
    ASSERT_TRUE(WaitUntil([&] { return m_sim.Stats(0).connections == 1 && m_sim.Stats(1).connections == 1; }, 3000));
    {
        Consumer c1(NodeName(a.clsid), PixelFormat::BGR);
        Consumer c2(NodeName(a.clsid), PixelFormat::BGR);
        Consumer c3(NodeName(b.clsid), PixelFormat::BGR);
        EXPECT_EQ(LastFrame(c1), StillPicture("TS0001", 320, 240));
        EXPECT_EQ(LastFrame(c2), StillPicture("TS0001", 320, 240));
        EXPECT_EQ(LastFrame(c3), StillPicture("TS0002", 320, 240));
        EXPECT_EQ(m_sim.Stats(0).connections, 2u) << "two consumers, one stream connection";
        EXPECT_EQ(m_sim.Stats(1).connections, 2u);
        EXPECT_EQ(m_sim.Stats(0).open_connections, 1u);
        EXPECT_EQ(m_sim.Stats(0).streaming, 1u);
    }
    // After the last consumer the connection closes; the next consumer opens one again.
    EXPECT_TRUE(WaitUntil([&] { return m_sim.Stats(0).open_connections == 0; }, 3000));
    Consumer again(NodeName(a.clsid), PixelFormat::BGR);
    EXPECT_EQ(LastFrame(again), StillPicture("TS0001", 320, 240));
    EXPECT_EQ(m_sim.Stats(0).connections, 3u);
}

}  // namespace

namespace {

std::string RunCommand(const std::string &command)
{
    std::string out;
    FILE *p = popen(command.c_str(), "r");
    if (!p)
        return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    pclose(p);
    return out;
}

TEST_F(CaptureService, GStreamerListsTheCameraByNameAndRecordsItsPicture)
{
    StartSim({"serial=TS0001,mode=640x480@30000"});
    Registration a = Reg(1, 0, "Reception desk");
    Register(a);
    StartService();
    SessionView view;
    ASSERT_TRUE(WaitUntil([&] { return view.Nodes().count(NodeName(a.clsid)) == 1; }, 3000));

    const std::string limit = "timeout " + std::to_string(30 * testsupport::kSlowdown) + " ";
    std::string listed = RunCommand(limit + "gst-device-monitor-1.0 Video/Source 2>&1");
    EXPECT_NE(listed.find("name  : Reception desk"), std::string::npos) << listed;

    std::string file = std::string(getenv("XDG_CONFIG_HOME")) + "/frames.bgr";
    const size_t kFrames = 60 / testsupport::kSlowdown;
    std::string output = RunCommand(limit + "gst-launch-1.0 -q pipewiresrc target-object=" + NodeName(a.clsid) +
                                    " num-buffers=" + std::to_string(kFrames) +
                                    " ! video/x-raw,format=BGR ! filesink location=" + file + " 2>&1");
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<uint8_t> still = StillPicture("TS0001", 640, 480);
    ASSERT_EQ(bytes.size(), kFrames * still.size()) << output;
    for (size_t i = 0; i < kFrames; ++i)
        ASSERT_TRUE(std::equal(still.begin(), still.end(), bytes.begin() + ptrdiff_t(i * still.size()))) << "frame " << i;
}

}  // namespace
