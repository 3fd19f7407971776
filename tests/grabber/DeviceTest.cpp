// The client library against simulated appliances over loopback sockets: login,
// names, parameters, adjustments, hostile replies, timeouts, reconnection, audio.
// Pictures and streams are in PictureTest.cpp.
#include "Appliance.h"
#include "Client.h"

#include <ambry/Net.h>
#include <WaitFor.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <arpa/inet.h>
#include <cstdlib>
#include <future>
#include <mutex>
#include <sys/socket.h>
#include <thread>

using namespace Grabber;
using grabbertest::Appliance;
using grabbertest::Quick;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

using testsupport::WaitFor;

struct Answers {
    std::vector<std::string> passwords;  // answered in turn, then refused
    int asked = 0;
    bool user_field = false;
};

bool Credentials(char *user, char *password, void *context)
{
    auto *a = static_cast<Answers *>(context);
    a->user_field = user != nullptr;
    if (a->asked >= int(a->passwords.size()))
        return false;
    std::strncpy(password, a->passwords[size_t(a->asked++)].c_str(), 63);
    return true;
}


}  // namespace

TEST_F(Appliance, LoginOutcomes)
{
    Run("serial=L1,flags=1,password=secret");
    Handle *open_device = OpenIt();
    ASSERT_NE(open_device, nullptr);
    Answers none;
    EXPECT_EQ(Login(open_device, Credentials, &none), LOGIN_NOT_NEEDED);
    EXPECT_EQ(none.asked, 0);
    EXPECT_EQ(Requests(REQ_LOGIN_START), 0u);  // no traffic at all
    EXPECT_FALSE(RequiresLogin(open_device));
    sim.Stop();

    Run("serial=L2,password=secret");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(RequiresLogin(h));
    Answers good{{"secret"}};
    EXPECT_EQ(Login(h, Credentials, &good), LOGIN_ACCEPTED);
    EXPECT_TRUE(good.user_field);
    Answers wrong{{"wrong", "also wrong"}};
    EXPECT_EQ(Login(h, Credentials, &wrong), LOGIN_GAVE_UP);
    EXPECT_EQ(wrong.asked, 2);  // asked again after each rejection
    EXPECT_EQ(sim.Stats(0).logins_accepted, 1u);
    EXPECT_EQ(sim.Stats(0).logins_rejected, 2u);
    // Without a credentials source a rejection ends the attempt instead of retrying forever.
    EXPECT_EQ(Login(h, nullptr, nullptr), LOGIN_GAVE_UP);
    sim.Stop();

    Run("serial=L3");  // no password: the device answers that no login is needed
    Handle *plain = OpenIt();
    ASSERT_NE(plain, nullptr);
    Answers any{{"anything"}};
    EXPECT_EQ(Login(plain, Credentials, &any), LOGIN_NOT_NEEDED);
    EXPECT_EQ(Requests(REQ_LOGIN_START), 1u);
}

TEST_F(Appliance, ProductNamesAndTypeWords)
{
    struct Case {
        const char *description;
        const char *name;
        uint32_t type_word;
    } cases[] = {
        {"type=0", "TESLINE", 0x20000},
        {"type=13", "", 0x2000D},
        {"type=18", "Tessaline", 0x20012},
        {"type=300", "TESLINE", 0x2012C},
        {"type=3,product=Bench unit,flags=8", "Bench unit", 0x30003},
    };
    for (const Case &c : cases) {
        Run(c.description);
        Handle *h = OpenIt();
        ASSERT_NE(h, nullptr) << c.description;
        EXPECT_STREQ(GetName(h), c.name) << c.description;
        EXPECT_EQ(GetType(h), c.type_word) << c.description;
        EXPECT_STREQ(GetSerialNumber(h), "TS0001");
        EXPECT_STREQ(NetworkDriver().ops.GetAddressText(h), "127.0.0.2");
        AddressRecord a = GetPeerAddress(h);
        EXPECT_EQ(a.family, 2);
        EXPECT_EQ(ntohs(a.port_be), ep.port);
        Close(h);
        handles.clear();
        sim.Stop();
    }
}

TEST_F(Appliance, ParameterCacheAndWrites)
{
    Run("product=Unit A");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    uint64_t before = Requests(REQ_GET_PARAM);  // the open read parameter 18 once
    Parameter p;
    p.id = 18;
    ASSERT_TRUE(GetParameter(h, &p));
    ASSERT_TRUE(GetParameter(h, &p));
    EXPECT_STREQ(reinterpret_cast<char *>(p.value), "Unit A");
    EXPECT_EQ(Requests(REQ_GET_PARAM), before);  // served from the cache

    // A write is never answered from a stale cache afterwards.
    std::strcpy(reinterpret_cast<char *>(p.value), "Unit B");
    ASSERT_TRUE(SetParameter(h, &p));
    Parameter q;
    q.id = 18;
    ASSERT_TRUE(GetParameter(h, &q));
    EXPECT_STREQ(reinterpret_cast<char *>(q.value), "Unit B");

    Parameter u32;
    u32.id = 3;  // not cached: each read asks
    ASSERT_TRUE(GetParameter(h, &u32));
    ASSERT_TRUE(GetParameter(h, &u32));
    EXPECT_EQ(Requests(REQ_GET_PARAM), before + 3);

    Parameter unsupported;
    unsupported.id = 2;
    EXPECT_FALSE(GetParameter(h, &unsupported));
    EXPECT_EQ(Requests(REQ_GET_PARAM), before + 4);  // asked, answer not used
    uint64_t sets = Requests(REQ_SET_PARAM);
    EXPECT_FALSE(SetParameter(h, &unsupported));
    EXPECT_EQ(Requests(REQ_SET_PARAM), sets);  // nothing sent

    double rate = 25.5;
    ASSERT_TRUE(NetworkDriver().ops.SetRate(h, &rate));
    EXPECT_DOUBLE_EQ(rate, 25.5);
    rate = 500;
    ASSERT_TRUE(NetworkDriver().ops.SetRate(h, &rate));
    EXPECT_DOUBLE_EQ(rate, 60.0);
}

TEST_F(Appliance, StatefulAdjustmentsNameAndModes)
{
    Run("name=Lab bench");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    char *name = GetDeviceName(h);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "Lab bench");
    FreeText(name);
    ASSERT_TRUE(SetDeviceName(h, "Rack 4"));
    name = GetDeviceName(h);
    EXPECT_STREQ(name, "Rack 4");
    FreeText(name);

    VideoAdjustments a;
    AdjustmentRanges r;
    ASSERT_TRUE(GetAdjustments(h, &a, &r));
    EXPECT_EQ(r.hshift_min, -100);
    a.flags = ADJ_HSHIFT | ADJ_PHASE;
    a.hshift = -42;
    a.phase = 9;
    ASSERT_TRUE(SetAdjustments(h, &a));
    VideoAdjustments b;
    ASSERT_TRUE(GetAdjustments(h, &b, nullptr));
    EXPECT_EQ(b.hshift, -42);
    EXPECT_EQ(b.phase, 9);

    ModeList *modes = NetworkDriver().ops.GetModeList(h);
    ASSERT_NE(modes, nullptr);
    ASSERT_GE(modes->entries.size(), 9u);
    modes->entries[1].flags = 1;
    modes->entries[1].values[0] = 1366;
    ASSERT_TRUE(NetworkDriver().ops.SetModeList(h, modes));
    FreeModeList(modes);
    Parameter p;
    p.id = 14;
    uint32_t index = 1;
    std::memcpy(p.value, &index, 4);
    ASSERT_TRUE(GetParameter(h, &p));
    ModeEntry e;
    std::memcpy(&e, p.value + 4, sizeof e);
    EXPECT_EQ(e.values[0], 1366);
    EXPECT_EQ(Requests(REQ_GET_PARAM_WITH), 1u);
}

TEST_F(Appliance, MalformedRepliesEndTheConnection)
{
    Run("short-state-reply");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);  // the state read comes last in opening
    EXPECT_FALSE(IsConnected(h));
    VideoMode m;
    EXPECT_FALSE(DetectVideoMode(h, &m));
    sim.Stop();

    Run("bad-mode-list");
    h = OpenIt();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(IsConnected(h));
    EXPECT_EQ(NetworkDriver().ops.GetModeList(h), nullptr);
    EXPECT_FALSE(IsConnected(h));
}

TEST_F(Appliance, DeviceRequestsAndStrayReplies)
{
    Run("probe-unknown,stray-reply");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(WaitFor([&] { return sim.Stats(0).unknown_request_status >= 0; }, 2000));
    EXPECT_EQ(sim.Stats(0).unknown_request_status, STATUS_UNKNOWN_REQUEST);
    EXPECT_EQ(sim.Stats(0).hello_status, STATUS_OK);
    // Every answer came after a reply with an unknown id, which was skipped.
    VideoMode m;
    EXPECT_TRUE(DetectVideoMode(h, &m));
    EXPECT_EQ(m, (VideoMode{1280, 1024, 75000}));
    EXPECT_TRUE(IsConnected(h));
}

TEST_F(Appliance, ConnectDeadlineWithoutHello)
{
    Run("no-hello");
    auto start = Clock::now();
    OpenOptions o = Quick();
    o.connect_timeout_ms = 400;
    EXPECT_EQ(OpenIt(o), nullptr);
    int64_t ms = MsSince(start);
    EXPECT_GE(ms, 350);
    EXPECT_LT(ms, 2500);
}

TEST_F(Appliance, LosingTheDeviceReleasesEveryWaiterAtOnce)
{
    Run("reply-delay=3000");
    ConnectOptions co;
    co.timeout_ms = 2000;
    Client *c = ConnectClient(ep.address, ep.port, co, nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    std::vector<std::future<std::pair<int, int64_t>>> waiters;
    auto start = Clock::now();
    for (int i = 0; i < 3; ++i)
        waiters.push_back(std::async(std::launch::async, [c, start] {
            int r = WaitedRequest(c, REQ_QUERY_STATE, {}, nullptr, nullptr);
            return std::make_pair(r, MsSince(start));
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread stopper([&] { sim.Stop(); });
    for (auto &w : waiters) {
        auto [result, ms] = w.get();
        EXPECT_EQ(result, 0);
        EXPECT_LT(ms, 1500);  // not after the delay, nor after the time-out
    }
    stopper.join();
    EXPECT_TRUE(ClientClosed(c));
    EXPECT_EQ(WaitedRequest(c, REQ_QUERY_STATE, {}, nullptr, nullptr), 0);
    CloseClient(c);
}

TEST_F(Appliance, StalledReplyNeverHoldsACallerPastTheTimeout)
{
    Run("stall-replies");
    ConnectOptions co;
    co.timeout_ms = 2000;
    Client *c = ConnectClient(ep.address, ep.port, co, nullptr, nullptr);
    ASSERT_NE(c, nullptr);
    SetClientRequestTimeout(c, 400);
    auto start = Clock::now();
    ParseFn read_state = [](Client *, PayloadReader &r, void *) {
        VideoMode m;
        uint8_t gs;
        return DecodeState(r, m, gs) ? 1 : 0;
    };
    EXPECT_EQ(WaitedRequest(c, REQ_QUERY_STATE, {}, read_state, nullptr), 0);
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_TRUE(WaitFor([&] { return ClientClosed(c); }, 1000));
    CloseClient(c);
}

TEST_F(Appliance, HostileLengthsEndTheConnectionWithoutAllocating)
{
    // A peer of our own making: greets, then announces an event of almost 4 GiB.
    Ambry::CSocket listener(Ambry::SocketCreateBind(Ambry::SOCKET_STREAM, 0x7F000001u, 0));
    ASSERT_TRUE(listener.IsValid());
    ASSERT_TRUE(Ambry::SocketListen(listener.Get(), 1));
    uint32_t ip;
    uint16_t port;
    ASSERT_TRUE(Ambry::SocketLocalAddress(listener.Get(), &ip, &port));
    for (uint32_t kind : {KIND_EVENT, KIND_REPLY, KIND_REQUEST}) {
        std::thread peer([&] {
            Ambry::CSocket s(Ambry::SocketAccept(listener.Get(), nullptr, nullptr));
            MessageBuilder hello = MessageBuilder::Request(1, REQ_HELLO);
            EncodeHello(hello.Payload(), HelloInfo{});
            auto bytes = hello.Take();
            const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, uint8_t(kind), 0, 0, 0, 2, 0, 0, 0, 0};
            bytes.insert(bytes.end(), huge, huge + sizeof huge);
            Ambry::SocketSend(s.Get(), bytes.data(), bytes.size());
            char sink[256];
            while (Ambry::SocketReceive(s.Get(), sink, sizeof sink) > 0) {
            }
        });
        ConnectOptions co;
        co.timeout_ms = 2000;
        Client *c = ConnectClient(ip, port, co, nullptr, nullptr);
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(WaitFor([&] { return ClientClosed(c); }, 2000)) << "kind " << kind;
        CloseClient(c);
        peer.join();
    }
}

TEST_F(Appliance, KeepAlivePings)
{
    SetKeepAlivePeriod(100);
    Run("serial=KA");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(WaitFor([&] { return Requests(REQ_PING) >= 3; }, 3000));
    SetKeepAlivePeriod(10000);
    EXPECT_TRUE(IsConnected(h));
}

TEST_F(Appliance, ReconnectsAfterTheDeviceComesBack)
{
    Run("serial=RC1,password=pw");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    Answers good{{"pw"}};
    ASSERT_EQ(Login(h, Credentials, &good), LOGIN_ACCEPTED);
    SetAutoReconnect(h, true);
    NotifyCallbacks cb{};
    cb.on_connection = [](void *ctx, bool connected, bool) {
        auto *counts = static_cast<std::atomic<int> *>(ctx);
        counts[connected ? 1 : 0]++;
    };
    std::atomic<int> counts[2] = {0, 0};
    SetNotifyCallbacks(h, &cb, counts);

    sim.Stop();
    ASSERT_TRUE(WaitFor([&] { return !IsConnected(h); }, 2000));
    VideoMode m;
    EXPECT_TRUE(DetectVideoMode(h, &m));  // reconnecting: a zero mode, not a failure
    EXPECT_EQ(m.width, 0);

    std::string description = "serial=RC1,password=pw,mode=800x600@60000,port=" + std::to_string(ep.port);
    Sim::DeviceConfig again;
    again.http_port = again.udp_port = -1;
    std::string error;
    ASSERT_TRUE(Sim::ParseDeviceKeys(description, again, &error));
    ASSERT_TRUE(sim.Start({again}, &error)) << error;
    ASSERT_TRUE(WaitFor([&] { return IsConnected(h); }, 5000));
    EXPECT_EQ(sim.Stats(0).logins_accepted, 1u);  // the stored credentials went along
    ASSERT_TRUE(DetectVideoMode(h, &m));
    EXPECT_EQ(m, (VideoMode{800, 600, 60000}));
    EXPECT_GE(counts[0].load(), 1);
    EXPECT_GE(counts[1].load(), 1);
    SetNotifyCallbacks(h, nullptr, nullptr);
}

TEST_F(Appliance, CloseCallsOffAReconnectionUnderWay)
{
    // The device comes back mute (no greeting), or slow to answer the login the
    // handle repeats: either way closing the handle gives the attempt up at once
    // instead of waiting out the 10 s connect deadline or the login wait.
    struct Comeback {
        const char *faults;
        uint32_t awaited;  // the request that shows the attempt is under way (0: the connection)
    };
    for (Comeback c : {Comeback{"no-hello=1", 0}, Comeback{"reply-delay=3000", REQ_LOGIN_START}}) {
        Run("serial=RC2,password=pw");
        OpenOptions o = Quick();
        o.connect_timeout_ms = 10000;
        Handle *h = Open(ep.address, ep.port, o);  // closed below, not in TearDown
        ASSERT_NE(h, nullptr);
        Answers good{{"pw"}};
        ASSERT_EQ(Login(h, Credentials, &good), LOGIN_ACCEPTED);
        SetAutoReconnect(h, true);
        sim.Stop();
        ASSERT_TRUE(WaitFor([&] { return !IsConnected(h); }, 2000));

        Sim::DeviceConfig again;
        again.http_port = again.udp_port = -1;
        std::string error;
        const std::string description = "serial=RC2,password=pw,port=" + std::to_string(ep.port) + "," + c.faults;
        ASSERT_TRUE(Sim::ParseDeviceKeys(description, again, &error)) << error;
        ASSERT_TRUE(sim.Start({again}, &error)) << error;
        ASSERT_TRUE(WaitFor(
            [&] { return c.awaited ? sim.Stats(0).requests[c.awaited] >= 1 : sim.Stats(0).connections >= 1; }, 3000))
            << c.faults;
        const auto start = Clock::now();
        Close(h);
        EXPECT_LT(MsSince(start), 1000) << c.faults;
        sim.Stop();
    }
}

TEST_F(Appliance, CompressedTransport)
{
    Run("compressed=0,mode=640x480@60000,animate=0,password=zip");
    OpenOptions o = Quick();
    o.compressed = true;
    Handle *h = Open(ep.address, ep.compressed_port, o);
    ASSERT_NE(h, nullptr);
    handles.push_back(h);
    Answers good{{"zip"}};
    EXPECT_EQ(Login(h, Credentials, &good), LOGIN_ACCEPTED);
    FrameRecord *f = GrabFrame(h, FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    ExpectPicture(f, 640, 480);
    ReleaseFrame(h, f);
}

TEST_F(Appliance, ReopenSharesTheLogin)
{
    Run("password=two");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    Answers good{{"two"}};
    ASSERT_EQ(Login(h, Credentials, &good), LOGIN_ACCEPTED);
    Handle *second = NetworkDriver().ops.Reopen(h);
    ASSERT_NE(second, nullptr);
    handles.push_back(second);
    EXPECT_EQ(sim.Stats(0).logins_accepted, 2u);
    EXPECT_STREQ(GetSerialNumber(second), "TS0001");
    // A frame of one handle is not released through another.
    FrameRecord *f = GrabFrame(h, FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    ReleaseFrame(second, f);
    EXPECT_NE(f->data, nullptr);
    ReleaseFrame(h, f);
}

TEST(Handles, InvalidHandlesAreRefused)
{
    Operations foreign_ops{};
    Handle foreign{&foreign_ops};
    for (Handle *h : {static_cast<Handle *>(nullptr), &foreign}) {
        EXPECT_EQ(Login(h, nullptr, nullptr), LOGIN_FAILED);
        EXPECT_STREQ(GetSerialNumber(h), "");
        EXPECT_EQ(GetDeviceName(h), nullptr);
        EXPECT_FALSE(SetDeviceName(h, "x"));
        EXPECT_FALSE(RequiresLogin(h));
        EXPECT_EQ(GetPeerAddress(h).family, 0);
        EXPECT_EQ(GetType(h), 0u);
        VideoMode m{1, 2, 3};
        GetVideoMode(h, &m);
        EXPECT_EQ(m, VideoMode{});
        VideoAdjustments a;
        a.hshift = 5;
        EXPECT_FALSE(GetAdjustments(h, &a, nullptr));
        EXPECT_EQ(a.hshift, 0);
        EXPECT_EQ(GrabFrame(h, FORMAT_PREVIEW, nullptr), nullptr);
        SetAutoReconnect(h, true);
        Close(h);
    }
    EXPECT_EQ(NetworkDriver().ops.GetName(&foreign), std::string(""));
    EXPECT_STREQ(NetworkDriver().name, "TESLINE");
}

TEST_F(Appliance, DroppedConnectionsAndSignalEvents)
{
    Run("drop-after=6,mode=640x480@60000");
    OpenOptions o = Quick();
    Handle *h = OpenIt(o);  // opening takes 4 requests (serial, type, name, state)
    ASSERT_NE(h, nullptr);
    std::atomic<int> modes{0};
    StreamCallbacks sc{};
    sc.on_mode = [](void *ctx, const VideoMode &) { ++*static_cast<std::atomic<int> *>(ctx); };
    ASSERT_TRUE(NetworkDriver().ops.SetStreamCallbacks(h, &sc, &modes));
    sim.SetSignal(0, false);
    ASSERT_TRUE(WaitFor([&] { return modes.load() == 1; }, 2000));
    VideoMode m;
    GetVideoMode(h, &m);  // the event's mode, no traffic
    EXPECT_EQ(m.width, 0);
    sim.SetSignal(0, true);
    ASSERT_TRUE(WaitFor([&] { return modes.load() == 2; }, 2000));

    VideoAdjustments a;
    EXPECT_TRUE(GetAdjustments(h, &a, nullptr));   // request 5
    EXPECT_TRUE(GetAdjustments(h, &a, nullptr));   // request 6: answered, then dropped
    EXPECT_TRUE(WaitFor([&] { return !IsConnected(h); }, 2000));
    EXPECT_FALSE(GetAdjustments(h, &a, nullptr));  // fails at once, no waiting
    EXPECT_EQ(GrabFrame(h, FORMAT_PREVIEW, nullptr), nullptr);

    SetAutoReconnect(h, true);  // comes back on its own
    ASSERT_TRUE(WaitFor([&] { return IsConnected(h); }, 3000));
    EXPECT_TRUE(GetAdjustments(h, &a, nullptr));
    EXPECT_EQ(sim.Stats(0).connections, 2u);
    NetworkDriver().ops.SetStreamCallbacks(h, nullptr, nullptr);
}

// ---- Audio ----------------------------------------------------------------------------

namespace {

// What the notifications told, with the counter followed from each format on.
struct Heard {
    std::mutex lock;
    std::vector<AudioFormat> formats;
    int stops = 0;
    int drops = 0;
    uint64_t dataBeforeFormat = 0;  // bytes handed over while no format was told
    uint64_t bytes = 0;
    std::unique_ptr<Sim::AudioCounterCheck> check;  // since the last format
    bool running = false;

    static void OnConnection(void *ctx, bool connected, bool)
    {
        auto *s = static_cast<Heard *>(ctx);
        std::lock_guard<std::mutex> l(s->lock);
        if (!connected) {
            s->drops++;
            s->running = false;
        }
    }
    static void OnFormat(void *ctx, const AudioFormat &f)
    {
        auto *s = static_cast<Heard *>(ctx);
        std::lock_guard<std::mutex> l(s->lock);
        s->formats.push_back(f);
        s->check = std::make_unique<Sim::AudioCounterCheck>(f.channels);
        s->running = true;
    }
    static void OnStop(void *ctx)
    {
        auto *s = static_cast<Heard *>(ctx);
        std::lock_guard<std::mutex> l(s->lock);
        s->stops++;
        s->running = false;
    }
    static void OnData(void *ctx, const uint8_t *data, size_t size)
    {
        auto *s = static_cast<Heard *>(ctx);
        std::lock_guard<std::mutex> l(s->lock);
        s->bytes += size;
        if (!s->running || !s->check)
            s->dataBeforeFormat += size;
        else
            (void)s->check->Feed(data, size);
    }
    size_t FormatCount()
    {
        std::lock_guard<std::mutex> l(lock);
        return formats.size();
    }
    uint64_t Frames()
    {
        std::lock_guard<std::mutex> l(lock);
        return check ? check->Frames() : 0;
    }
    uint64_t Breaks()
    {
        std::lock_guard<std::mutex> l(lock);
        return check ? check->Breaks() : 0;
    }
    uint64_t Bytes()
    {
        std::lock_guard<std::mutex> l(lock);
        return bytes;
    }
};

const NotifyCallbacks kAudioNotify = {Heard::OnConnection, Heard::OnFormat, Heard::OnStop, Heard::OnData};

AudioFormat Mono16k()
{
    AudioFormat f;
    f.id = 0;
    f.channels = 1;
    f.bits = 16;
    f.block = 2;
    f.rate = 16000;
    return f;
}

}  // namespace

// A chosen format is answered and told, the tone comes with an unbroken counter,
// a reconnection restarts audio in the same format by itself (the appliance sends
// data before its format and an oversize format first: both passed over), and
// StopAudio ends the data and the device's audio.
TEST_F(Appliance, AudioStartsInTheChosenFormatRestartsAfterAReconnectionAndStops)
{
    Run("serial=AU1,mode=64x48@60000,audio=1,tone=700,audio-faults");
    Heard heard;
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    SetNotifyCallbacks(h, &kAudioNotify, &heard);
    EXPECT_TRUE(HasAudio(h));
    SetAutoReconnect(h, true);

    const AudioFormat wanted = Mono16k();
    AudioFormat answered;
    ASSERT_TRUE(StartAudio(h, &wanted, &answered));
    EXPECT_EQ(answered.channels, 1);
    EXPECT_EQ(answered.bits, 16);
    EXPECT_EQ(answered.rate, 16000u);
    ASSERT_TRUE(WaitFor([&] { return heard.Frames() >= 8000; }));  // half a second
    EXPECT_EQ(heard.Breaks(), 0u);
    ASSERT_EQ(heard.FormatCount(), 1u) << "the oversize format was taken";
    EXPECT_EQ(heard.formats[0].rate, 16000u);
    EXPECT_EQ(heard.formats[0].channels, 1);
    EXPECT_EQ(sim.Stats(0).audio, 1u);

    // The appliance goes away and comes back at the same place.
    std::vector<Sim::DeviceConfig> configs = {sim.Config(0)};
    sim.Stop();
    std::string error;
    ASSERT_TRUE(sim.Start(configs, &error)) << error;
    ASSERT_TRUE(WaitFor([&] { return heard.FormatCount() == 2 && heard.Frames() >= 4000; }))
        << "audio did not come back after the reconnection";
    EXPECT_EQ(heard.formats[1].rate, 16000u) << "restarted in another format";
    EXPECT_EQ(heard.formats[1].channels, 1);
    EXPECT_EQ(heard.Breaks(), 0u);
    EXPECT_EQ(heard.dataBeforeFormat, 0u) << "data before a format was handed over";
    EXPECT_GE(heard.drops, 1);
    EXPECT_EQ(sim.Stats(0).audio, 1u);

    // Stopped: the device says so, and nothing more is handed over.
    EXPECT_TRUE(StopAudio(h));
    ASSERT_TRUE(WaitFor([&] { return sim.Stats(0).audio == 0; }));
    ASSERT_TRUE(WaitFor([&] {
        std::lock_guard<std::mutex> l(heard.lock);
        return heard.stops == 1;
    }));
    uint64_t bytes = heard.Bytes();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(heard.Bytes(), bytes);
    // Asked for no particular format: the device's own.
    ASSERT_TRUE(StartAudio(h, nullptr, &answered));
    EXPECT_EQ(answered.channels, 2);
    EXPECT_EQ(answered.rate, 22050u);
    ASSERT_TRUE(WaitFor([&] { return heard.FormatCount() == 3 && heard.Frames() >= 2205; }));
    EXPECT_EQ(heard.Breaks(), 0u);
    EXPECT_EQ(heard.dataBeforeFormat, 0u);
}

// Devices without audio and bad handles refuse; the device is not even asked.
TEST_F(Appliance, AudioIsRefusedWithoutAudio)
{
    Run("serial=AU3");
    Handle *h = OpenIt();
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(HasAudio(h));
    AudioFormat answered;
    EXPECT_FALSE(StartAudio(h, nullptr, &answered));
    EXPECT_EQ(Requests(REQ_START_AUDIO), 0u);
    EXPECT_FALSE(StartAudio(nullptr, nullptr, nullptr));
    EXPECT_FALSE(StopAudio(nullptr));
}
