// The tessaline-sim program: its endpoints, as other tests and users reach them.
#include <sim/SimProcess.h>

#include <grabber/Grabber.h>
#include <grabber/Transport.h>
#include <imaging/Format.h>
#include <sim/Simulator.h>

#include <ambry/Net.h>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string HttpGet(uint32_t ip, uint16_t port, const char *path)
{
    Ambry::CSocket s(Ambry::SocketConnectWithTimeout(ip, port, 3000));
    if (!s.IsValid())
        return {};
    std::string request = std::string("GET ") + path + " HTTP/1.0\r\nHost: sim\r\n\r\n";
    Ambry::SocketSend(s.Get(), request.data(), request.size());
    std::string response;
    char buf[4096];
    while (Ambry::SocketWait(s.Get(), Ambry::SOCKET_READABLE, 3000) > 0) {
        long n = Ambry::SocketReceive(s.Get(), buf, sizeof buf);
        if (n <= 0)
            break;
        response.append(buf, size_t(n));
    }
    return response;
}

using Bytes = std::vector<uint8_t>;

// Streamed frames offered to the callback, copied, by delivered pixel format.
struct Received {
    std::mutex lock;
    std::map<uint32_t, std::vector<Bytes>> frames;

    static bool OnFrame(void *context, Grabber::FrameRecord *f)
    {
        auto *r = static_cast<Received *>(context);
        {
            std::lock_guard<std::mutex> guard(r->lock);
            r->frames[f->format].emplace_back(f->data, f->data + f->image_bytes);
        }
        Grabber::ReleaseFrame(f->owner, f);
        return true;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(lock);
        frames.clear();
    }
    std::vector<Bytes> WaitFor(uint32_t format, size_t n)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (frames[format].size() >= n || std::chrono::steady_clock::now() > until)
                    return frames[format];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

// A bare protocol client: reads what the appliance sends, frame by frame, and
// sends requests of its own. Reads give up after 3 s.
class RawClient {
public:
    RawClient(uint32_t ip, uint16_t port) : m_sock(Ambry::SocketConnectWithTimeout(ip, port, 3000))
    {
        timeval limit{3, 0};
        if (!m_sock.IsValid() || ::setsockopt(m_sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0)
            return;
        m_transport = std::make_unique<Grabber::Transport>(m_sock.Get(), false);
        m_open = m_transport->OpenInput();
    }
    bool Open() const { return m_open; }

    uint32_t Request(uint32_t type, const Bytes &payload = {})
    {
        Grabber::MessageBuilder b = Grabber::MessageBuilder::Request(++m_id, type);
        b.Payload().Bytes(payload.data(), payload.size());
        return m_transport->Send(b.Take()) ? m_id : 0;
    }
    // The next frame of `kind` (others skipped) with its payload.
    bool Next(uint32_t kind, Grabber::IncomingFrame &f, Bytes &payload)
    {
        while (m_open && Grabber::ReadIncomingFrame(m_transport->Input(), f, 1u << 24) == Grabber::FRAME_OK) {
            payload.resize(f.payload);
            if (!m_transport->Input().ReadExact(payload.data(), payload.size()))
                break;
            if (f.kind == kind)
                return true;
        }
        return false;
    }

private:
    Ambry::CSocket m_sock;
    std::unique_ptr<Grabber::Transport> m_transport;
    bool m_open = false;
    uint32_t m_id = 0;
};

Grabber::AudioFormat DecodeFormat(const Bytes &payload, size_t offset)
{
    Grabber::PayloadReader r(payload.data() + offset, payload.size() - offset);
    Grabber::AudioFormat f;
    EXPECT_TRUE(Grabber::DecodeAudioFormat(r, f));
    return f;
}

}  // namespace

TEST(SimProgram, ServesProtocolDiscoveryAndHttp)
{
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device",
                    "serial=PROG1,type=9,name=Bench,mode=320x240@60000", "--device", "serial=PROG2,mode=none"});
    ASSERT_TRUE(sim.Ready());
    ASSERT_EQ(sim.DeviceCount(), 2u);
    EXPECT_EQ(sim.Device(0).address, 0x7F000002u);
    EXPECT_EQ(sim.Device(1).address, 0x7F000003u);
    EXPECT_EQ(sim.Device(0).compressed_port, 0);

    Grabber::Startup();
    Grabber::Handle *h = Grabber::Open(sim.Device(0).address, sim.Device(0).port);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(Grabber::GetSerialNumber(h), "PROG1");
    EXPECT_STREQ(Grabber::GetName(h), "Dorrivan");
    Grabber::VideoMode m;
    Grabber::GetVideoMode(h, &m);
    EXPECT_EQ(m, (Grabber::VideoMode{320, 240, 60000}));
    Grabber::Close(h);
    Grabber::Handle *dark = Grabber::Open(sim.Device(1).address, sim.Device(1).port);
    ASSERT_NE(dark, nullptr);
    Grabber::GetVideoMode(dark, &m);
    EXPECT_EQ(m.width, 0);
    Grabber::Close(dark);
    Grabber::Shutdown();

    // Discovery: a 45-byte request gets the 55-byte reply with our cookie.
    Ambry::CSocket udp(Ambry::SocketCreateBind(Ambry::SOCKET_DATAGRAM, 0x7F000001u, 0));
    ASSERT_TRUE(udp.IsValid());
    uint8_t request[45] = {0, 0xCA, 0xFE, 0xBA, 0xBE};
    ASSERT_EQ(Ambry::SocketSendTo(udp.Get(), request, sizeof request, sim.Device(0).address, sim.Device(0).udp_port), 45);
    ASSERT_GT(Ambry::SocketWait(udp.Get(), Ambry::SOCKET_READABLE, 3000), 0);
    uint8_t reply[128];
    uint32_t from = 0;
    ASSERT_EQ(Ambry::SocketReceiveFrom(udp.Get(), reply, sizeof reply, &from, nullptr), 55);
    EXPECT_EQ(from, sim.Device(0).address);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(std::memcmp(reply + 1, request + 1, 4), 0);
    EXPECT_EQ(reply[8], 9);  // device type
    EXPECT_STREQ(reinterpret_cast<char *>(reply + 13), "PROG1");
    uint16_t port = uint16_t((reply[51] << 8) | reply[52]);
    EXPECT_EQ(port, sim.Device(0).port);

    std::string jpeg = HttpGet(sim.Device(0).address, sim.Device(0).http_port, "/vw1.jpg");
    size_t body = jpeg.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(jpeg.rfind("HTTP/1.0 200", 0), 0u);
    EXPECT_EQ(uint8_t(jpeg[body + 4]), 0xFF);
    EXPECT_EQ(uint8_t(jpeg[body + 5]), 0xD8);
    std::string admin = HttpGet(sim.Device(0).address, sim.Device(0).http_port, "/admin");
    EXPECT_NE(admin.find("PROG1"), std::string::npos);
    EXPECT_NE(admin.find("Bench"), std::string::npos);
    EXPECT_EQ(HttpGet(sim.Device(0).address, sim.Device(0).http_port, "/other").rfind("HTTP/1.0 404", 0), 0u);

    int status = sim.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProgram, RefusesBadApplianceKeys)
{
    SimProcess sim({"--device", "serial=X,frobnicate=1"}, 3000);
    EXPECT_FALSE(sim.Ready());
    int status = sim.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(SimProgram, HandleReconnectsAfterTheProgramIsKilledAndRestarted)
{
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{
        "--port", "0", "--http-port", "0", "--udp-port", "0", "--device", "serial=K1,password=pw"});
    ASSERT_TRUE(sim->Ready());
    uint32_t ip = sim->Device(0).address;
    uint16_t port = sim->Device(0).port;
    Grabber::Startup();
    Grabber::OpenOptions o;
    o.reconnect_interval_ms = 200;
    Grabber::Handle *h = Grabber::Open(ip, port, o);
    ASSERT_NE(h, nullptr);
    auto password = [](char *, char *pw, void *) {
        std::strcpy(pw, "pw");
        return true;
    };
    ASSERT_EQ(Grabber::Login(h, password, nullptr), Grabber::LOGIN_ACCEPTED);
    Grabber::SetAutoReconnect(h, true);

    sim->Stop(SIGKILL);
    auto wait = [&](bool connected) {
        for (int i = 0; i < 500 && Grabber::IsConnected(h) != connected; ++i)
            usleep(10000);
        return Grabber::IsConnected(h) == connected;
    };
    EXPECT_TRUE(wait(false));
    sim = std::make_unique<SimProcess>(std::vector<std::string>{
        "--http-port", "0", "--udp-port", "0", "--device",
        "serial=K1,password=pw,mode=1024x768@70000,port=" + std::to_string(port)});
    ASSERT_TRUE(sim->Ready());
    EXPECT_TRUE(wait(true));
    Grabber::VideoMode m;
    EXPECT_TRUE(Grabber::DetectVideoMode(h, &m));
    EXPECT_EQ(m, (Grabber::VideoMode{1024, 768, 70000}));
    Grabber::FrameRecord *f = Grabber::GrabFrame(h, Grabber::FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->image_bytes, 1024u * 768u * 3u);
    Grabber::ReleaseFrame(h, f);
    Grabber::Close(h);
    Grabber::Shutdown();
}

TEST(SimProgram, ConfigFileAndPortFile)
{
    char dir[] = "/tmp/tessaline-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string config = std::string(dir) + "/devices.conf";
    std::string ports = std::string(dir) + "/ports.txt";
    {
        std::FILE *f = std::fopen(config.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("# two appliances\n\naddress=127.0.0.5,serial=CF1,type=18\n  serial=CF2 , mode=none, udp=off\n", f);
        std::fclose(f);
    }
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--config", config, "--port-file", ports});
    ASSERT_TRUE(sim.Ready());
    ASSERT_EQ(sim.DeviceCount(), 2u);
    EXPECT_EQ(sim.Device(0).serial, "CF1");
    EXPECT_EQ(sim.Device(0).address, 0x7F000005u);
    EXPECT_EQ(sim.Device(1).address, 0x7F000003u);  // by position
    EXPECT_EQ(sim.Device(1).udp_port, 0);
    std::FILE *f = std::fopen(ports.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
    EXPECT_EQ(std::string(line).rfind("device 0 CF1 tcp 127.0.0.5:", 0), 0u);
    sim.Stop();
    std::remove(ports.c_str());
    std::remove(config.c_str());
    rmdir(dir);
}

// Every stream format arrives as the appliance's picture carrying consecutive
// frame numbers; the status file counts the connections and streams of the
// appliance.
TEST(SimProgram, StreamsEveryFormatNumberedAndCountsConnections)
{
    const std::string keys = "serial=NUM1,animate=0,counter=1,mode=128x96@120000";
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device", keys});
    ASSERT_TRUE(sim.Ready());
    Sim::DeviceConfig cfg;
    std::string error;
    ASSERT_TRUE(Sim::ParseDeviceKeys(keys, cfg, &error)) << error;
    constexpr int kW = 128, kH = 96;

    Grabber::Startup();
    Grabber::Handle *h = Grabber::Open(sim.Device(0).address, sim.Device(0).port);
    Grabber::Handle *other = Grabber::Open(sim.Device(0).address, sim.Device(0).port);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(other, nullptr);
    auto status = [&](uint64_t open, uint64_t accepted, uint64_t streaming) {
        return sim.WaitForStatus(0, [&](const SimProcess::Status &s) {
            return s.connections == open && s.accepted == accepted && s.streaming == streaming;
        });
    };
    EXPECT_TRUE(status(2, 2, 0));

    Received received;
    Grabber::StreamCallbacks callbacks{};
    callbacks.on_frame = Received::OnFrame;
    const Grabber::Operations &ops = Grabber::NetworkDriver().ops;
    ASSERT_TRUE(ops.EnableStreaming(h));
    ASSERT_TRUE(ops.SetStreamCallbacks(h, &callbacks, &received));
    // Stream format, the format delivered, its row order.
    const struct {
        uint32_t stream, delivered;
    } kCases[] = {
        {imaging::kBgr24, imaging::kBgr24},
        {uint32_t(imaging::kBgr24) | Grabber::FORMAT_BOTTOM_UP, uint32_t(imaging::kBgr24) | Grabber::FORMAT_BOTTOM_UP},
        {imaging::kRgb24, imaging::kRgb24},
        {imaging::kCompressed24, imaging::kRgb24},
        {imaging::kCompressedBgr24, imaging::kBgr24},
        {imaging::kCompressedYuv, imaging::kYuy2},
        {imaging::kCompressedUyvy, imaging::kUyvy},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(testing::Message() << std::hex << "stream format 0x" << c.stream);
        // Two stream formats deliver the same format: the frames of the earlier one go.
        received.Clear();
        ASSERT_TRUE(ops.SetStreamFormat(h, c.stream, nullptr));
        const std::vector<Bytes> frames = received.WaitFor(c.delivered, 4);
        ASSERT_GE(frames.size(), 4u);
        const uint32_t pixel = c.delivered & Grabber::FORMAT_PIXEL_MASK;
        const bool bottom_up = (c.delivered & Grabber::FORMAT_BOTTOM_UP) != 0;
        const int pixel_bytes = pixel == imaging::kYuy2 || pixel == imaging::kUyvy ? 2 : 3;
        const int channel = pixel == imaging::kYuy2 ? 0 : 1;
        const ptrdiff_t row = ptrdiff_t(kW) * pixel_bytes;
        uint32_t first = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            const Bytes &f = frames[i];
            ASSERT_EQ(f.size(), size_t(row) * kH);
            uint32_t number = 0;
            ASSERT_TRUE(bottom_up ? Sim::DecodeFrameCounter(f.data() + (kH - 1) * row, kW, kH, &number, pixel_bytes,
                                                            channel, -row)
                                  : Sim::DecodeFrameCounter(f.data(), kW, kH, &number, pixel_bytes, channel));
            if (i == 0)
                first = number;
            EXPECT_EQ(number, first + i);
            Bytes want(size_t(kW) * kH * 3);
            Sim::RenderPattern(cfg, 0, kW, kH, want.data());
            Sim::DrawFrameCounter(want.data(), kW, kH, number);
            if (pixel == imaging::kYuy2)
                want = Sim::ToYuy2(want.data(), kW, kH);
            else if (pixel == imaging::kUyvy)
                want = Sim::ToUyvy(want.data(), kW, kH);
            for (int y = 0; bottom_up && y < kH / 2; ++y)
                std::swap_ranges(want.begin() + y * row, want.begin() + (y + 1) * row, want.end() - (y + 1) * row);
            EXPECT_TRUE(f == want) << "frame " << number << " is not the numbered picture";
        }
    }
    EXPECT_TRUE(status(2, 2, 1));
    ASSERT_TRUE(ops.DisableStreaming(h));
    EXPECT_TRUE(status(2, 2, 0));
    Grabber::Close(h);
    Grabber::Close(other);
    Grabber::Shutdown();
    EXPECT_TRUE(status(0, 2, 0));
    // Numbers survive the corner being halved; a picture without them has none.
    Bytes big(size_t(kW) * kH * 3), half(size_t(kW / 2) * (kH / 2) * 3);
    Sim::RenderPattern(cfg, 0, kW, kH, big.data());
    uint32_t number = 0;
    EXPECT_FALSE(Sim::DecodeFrameCounter(big.data(), kW, kH, &number));
    Sim::DrawFrameCounter(big.data(), kW, kH, 0xC0FFEE42u);
    for (int y = 0; y < kH / 2; ++y)
        for (int x = 0; x < kW / 2; ++x)
            for (int k = 0; k < 3; ++k)
                half[(size_t(y) * (kW / 2) + x) * 3 + k] = uint8_t(
                    (big[(size_t(2 * y) * kW + 2 * x) * 3 + k] + big[(size_t(2 * y) * kW + 2 * x + 1) * 3 + k] +
                     big[(size_t(2 * y + 1) * kW + 2 * x) * 3 + k] + big[(size_t(2 * y + 1) * kW + 2 * x + 1) * 3 + k] +
                     2) / 4);
    ASSERT_TRUE(Sim::DecodeFrameCounter(half.data(), kW / 2, kH / 2, &number));
    EXPECT_EQ(number, 0xC0FFEE42u);
}

// An appliance with audio announces it, answers StartAudio with the format in
// effect, sends its tone with an unbroken sample counter and stops on StopAudio;
// one without audio refuses.
TEST(SimProgram, AudioToneWithRunningCounter)
{
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device", "serial=AU1,audio=1,tone=1000",
                    "--device", "serial=AU2"});
    ASSERT_TRUE(sim.Ready());
    Grabber::Startup();
    Grabber::Handle *h = Grabber::Open(sim.Device(0).address, sim.Device(0).port);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Grabber::HasAudio(h));
    Grabber::Close(h);
    Grabber::Shutdown();

    RawClient c(sim.Device(0).address, sim.Device(0).port);
    ASSERT_TRUE(c.Open());
    Grabber::IncomingFrame f;
    Bytes payload;
    ASSERT_TRUE(c.Next(Grabber::KIND_REQUEST, f, payload));
    ASSERT_EQ(f.type, uint32_t(Grabber::REQ_HELLO));
    ASSERT_GE(payload.size(), 8u);
    EXPECT_EQ(payload[7] & 0x10, 0x10);  // capability flags, big-endian

    Bytes start;
    Grabber::PayloadWriter w(start);
    w.U32(1);
    Grabber::AudioFormat wanted;
    wanted.id = 0;
    wanted.channels = 1;
    wanted.bits = 16;
    wanted.block = 2;
    wanted.rate = 11025;
    Grabber::EncodeAudioFormat(w, wanted);
    const uint32_t id = c.Request(Grabber::REQ_START_AUDIO, start);
    ASSERT_TRUE(c.Next(Grabber::KIND_REPLY, f, payload));
    ASSERT_EQ(f.id, id);
    ASSERT_EQ(f.status, Grabber::STATUS_OK);
    ASSERT_GE(payload.size(), 13u);
    EXPECT_EQ(payload[0], 0);
    const Grabber::AudioFormat reply = DecodeFormat(payload, 1);
    EXPECT_EQ(reply.channels, 1);
    EXPECT_EQ(reply.bits, 16);
    EXPECT_EQ(reply.block, 2);
    EXPECT_EQ(reply.rate, 11025u);
    ASSERT_TRUE(c.Next(Grabber::KIND_EVENT, f, payload));
    ASSERT_EQ(f.id, uint32_t(Grabber::EVT_AUDIO_FORMAT));
    EXPECT_EQ(DecodeFormat(payload, 0).rate, 11025u);

    // Half a second of tone: every sample follows the one before, and the sine
    // crosses zero upwards 1000 times a second.
    Sim::AudioCounterCheck check(1);
    int upward = 0, counted = 0;
    int16_t last = 0;
    while (counted < 11025 / 2) {
        ASSERT_TRUE(c.Next(Grabber::KIND_EVENT, f, payload));
        ASSERT_EQ(f.id, uint32_t(Grabber::EVT_AUDIO_DATA));
        ASSERT_EQ(payload.size() % 2, 0u);
        EXPECT_TRUE(check.Feed(payload.data(), payload.size()));
        for (size_t i = 0; i < payload.size() && counted < 11025 / 2; i += 2, ++counted) {
            const auto v = int16_t(uint16_t(payload[i] | payload[i + 1] << 8));
            upward += last < 0 && v >= 0;
            last = v;
        }
    }
    EXPECT_EQ(check.Breaks(), 0u);
    EXPECT_NEAR(upward, 500, 2);
    EXPECT_TRUE(sim.WaitForStatus(0, [](const SimProcess::Status &s) { return s.audio == 1; }));

    c.Request(Grabber::REQ_STOP_AUDIO);
    do
        ASSERT_TRUE(c.Next(Grabber::KIND_EVENT, f, payload));
    while (f.id == Grabber::EVT_AUDIO_DATA);
    EXPECT_EQ(f.id, uint32_t(Grabber::EVT_AUDIO_STOPPED));
    EXPECT_TRUE(sim.WaitForStatus(0, [](const SimProcess::Status &s) { return s.audio == 0; }));

    RawClient mute(sim.Device(1).address, sim.Device(1).port);
    ASSERT_TRUE(mute.Open());
    ASSERT_TRUE(mute.Next(Grabber::KIND_REQUEST, f, payload));
    EXPECT_EQ(payload[7] & 0x10, 0);
    const uint32_t refused = mute.Request(Grabber::REQ_START_AUDIO, start);
    ASSERT_TRUE(mute.Next(Grabber::KIND_REPLY, f, payload));
    EXPECT_EQ(f.id, refused);
    EXPECT_EQ(f.status, Grabber::STATUS_UNKNOWN_REQUEST);
}
