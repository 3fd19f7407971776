// The LAN search on real sockets. Unicast tests run on 127.0.0.x with the broadcast
// switched off; broadcast tests run only inside namespaces the test makes itself.
#include <discovery/Discovery.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "NetLab.h"
#include "WaitFor.h"
#include "Responder.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

// A UDP socket bound to address:port (port 0: any), closed on destruction.
class Udp {
public:
    Udp(uint32_t address, uint16_t port)
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(address);
        m_bound = bind(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        socklen_t len = sizeof sa;
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&sa), &len);
        m_port = ntohs(sa.sin_port);
    }
    ~Udp() { close(m_fd); }
    bool Bound() const { return m_bound; }
    uint16_t Port() const { return m_port; }

    // Waits for one datagram; its size (-1 on time-out) and sender.
    ssize_t Receive(uint8_t *buf, size_t size, sockaddr_in *from, int timeout_ms)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            return -1;
        socklen_t len = sizeof *from;
        return recvfrom(m_fd, buf, size, 0, reinterpret_cast<sockaddr *>(from), &len);
    }
    void SendTo(const sockaddr_in &to, const void *data, size_t size)
    {
        sendto(m_fd, data, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    }

private:
    int m_fd = -1;
    bool m_bound = false;
    uint16_t m_port = 0;
};

DiscoveryRecord Device(const char *serial, uint32_t type, uint16_t port)
{
    DiscoveryRecord r;
    std::strncpy(r.serial_number, serial, 32);
    r.device_type = type;
    r.port = port;
    r.device_word = 0x01020304;
    r.device_value1 = 11;
    r.device_value2 = 22;
    r.device_value3 = 33;
    r.device_value4 = 44;
    return r;
}

// Collects what the search reports.
struct Collector {
    std::mutex mutex;
    std::vector<DiscoveryRecord> records;
    std::vector<Clock::time_point> times;
    int keep_going = 1;

    static int Callback(const DiscoveryRecord *record, void *user)
    {
        auto *self = static_cast<Collector *>(user);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->records.push_back(*record);
        self->times.push_back(Clock::now());
        return self->keep_going;
    }
    DiscoveryRecord At(size_t i)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records.at(i);
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return records.size();
    }
    bool WaitFor(size_t n, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (Count() < n && Clock::now() < end)
            std::this_thread::sleep_for(2ms);
        return Count() >= n;
    }
};

bool WaitUntilStopped(DiscoverySession *s, std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (DiscoveryRunning(s) && Clock::now() < end)
        std::this_thread::sleep_for(5ms);
    return !DiscoveryRunning(s);
}

// A unicast search from 127.0.0.2 to a responder socket on 127.0.0.3.
struct LoopbackSearch {
    Udp responder{Ip(127, 0, 0, 3), 0};
    Collector collector;
    DiscoverySession *session = nullptr;
    uint32_t cookie = 0;
    uint8_t request[DISCOVERY_REQUEST_SIZE] = {};
    sockaddr_in client{};

    bool Start()
    {
        DiscoveryOptions options;
        options.local_addresses = {Ip(127, 0, 0, 2)};
        options.port = responder.Port();
        options.broadcast = false;
        session = StartDiscovery(7, 8, "probe", Collector::Callback, &collector, Ip(127, 0, 0, 3), options);
        if (!session)
            return false;
        uint8_t received[64];
        const ssize_t n = responder.Receive(received, sizeof received, &client, 2000);
        if (n != ssize_t(DISCOVERY_REQUEST_SIZE))
            return false;
        std::memcpy(request, received, sizeof request);
        std::memcpy(&cookie, request + 1, 4);
        cookie = ntohl(cookie);
        return cookie == DiscoveryCookie(session);
    }
    void Reply(const DiscoveryRecord &r, uint32_t with_cookie, size_t size = DISCOVERY_REPLY_SIZE,
               uint8_t type = 1)
    {
        uint8_t buf[DISCOVERY_REPLY_SIZE + 8] = {};
        BuildDiscoveryReply(with_cookie, r, buf);
        buf[0] = type;
        responder.SendTo(client, buf, size);
    }
    ~LoopbackSearch() { StopDiscovery(session); }
};

}  // namespace

TEST(DiscoveryCodec, RequestAndReplyLayout)
{
    uint8_t request[DISCOVERY_REQUEST_SIZE];
    BuildDiscoveryRequest(0xA1B2C3D4, 5, 0x01000000, nullptr, request);
    const uint8_t head[] = {0, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 5, 1, 0, 0, 0};
    EXPECT_EQ(std::memcmp(request, head, sizeof head), 0);
    for (size_t i = 13; i < DISCOVERY_REQUEST_SIZE; ++i)
        EXPECT_EQ(request[i], 0) << i;
    // A text of 32 or more bytes fills the field without a terminator.
    BuildDiscoveryRequest(1, 0, 0, "0123456789abcdef0123456789ABCDEF-cut", request);
    EXPECT_EQ(std::memcmp(request + 13, "0123456789abcdef0123456789ABCDEF", 32), 0);

    DiscoveryRecord sent = Device("SN-0042", 3, 6000);
    uint8_t reply[DISCOVERY_REPLY_SIZE];
    BuildDiscoveryReply(0x11223344, sent, reply);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(reply[51], 6000 >> 8);
    EXPECT_EQ(reply[52], 6000 & 0xFF);

    DiscoveryRecord got;
    ASSERT_TRUE(ParseDiscoveryReply(reply, sizeof reply, 0x11223344, Ip(10, 0, 0, 7), &got));
    EXPECT_EQ(got.address, Ip(10, 0, 0, 7));
    EXPECT_EQ(got.port, 6000);
    EXPECT_EQ(got.device_type, 3u);
    EXPECT_EQ(got.device_word, 0x01020304u);
    EXPECT_STREQ(got.serial_number, "SN-0042");
    EXPECT_EQ(got.device_value1, 11);
    EXPECT_EQ(got.device_value2, 22);
    EXPECT_EQ(got.device_value3, 33);
    EXPECT_EQ(got.device_value4, 44);

    // Wrong cookie, wrong packet type, one byte short: ignored.
    EXPECT_FALSE(ParseDiscoveryReply(reply, sizeof reply, 0x11223345, 0, &got));
    EXPECT_FALSE(ParseDiscoveryReply(reply, sizeof reply - 1, 0x11223344, 0, &got));
    reply[0] = 0;
    EXPECT_FALSE(ParseDiscoveryReply(reply, sizeof reply, 0x11223344, 0, &got));

    // A serial number that fills all 32 bytes still reads as a terminated text.
    DiscoveryRecord full = Device("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", 1, 0);
    BuildDiscoveryReply(9, full, reply);
    ASSERT_TRUE(ParseDiscoveryReply(reply, sizeof reply, 9, 0, &got));
    EXPECT_EQ(std::strlen(got.serial_number), 32u);
}

TEST(DiscoverySearch, ValidRepliesReachTheCallbackAndForeignOnesAreIgnored)
{
    LoopbackSearch s;
    ASSERT_TRUE(s.Start());
    s.Reply(Device("OTHER-COOKIE", 3, 0), s.cookie + 1);
    s.Reply(Device("OTHER-TYPE", 3, 0), s.cookie, DISCOVERY_REPLY_SIZE, 2);
    s.Reply(Device("SHORT", 3, 0), s.cookie, DISCOVERY_REPLY_SIZE - 1);
    s.Reply(Device("GOOD-1", 9, 6000), s.cookie);
    ASSERT_TRUE(s.collector.WaitFor(1, 2000ms));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(s.collector.Count(), 1u);
    const DiscoveryRecord first = s.collector.At(0);
    EXPECT_STREQ(first.serial_number, "GOOD-1");
    EXPECT_EQ(first.address, Ip(127, 0, 0, 3));
    EXPECT_EQ(first.port, 6000);
    EXPECT_TRUE(DiscoveryRunning(s.session));

    // The request carried our parameters and text.
    uint8_t expected[DISCOVERY_REQUEST_SIZE];
    BuildDiscoveryRequest(s.cookie, 7, 8, "probe", expected);
    EXPECT_EQ(std::memcmp(s.request, expected, sizeof expected), 0);

    s.Reply(Device("GOOD-2", 3, 0), s.cookie);
    ASSERT_TRUE(s.collector.WaitFor(2, 2000ms));
    EXPECT_TRUE(DiscoveryRunning(s.session));
}

TEST(DiscoverySearch, EmptyOrOversizedDatagramsAreIgnoredOnlyTheCallbackEndsTheSearch)
{
    {
        LoopbackSearch s;
        ASSERT_TRUE(s.Start());
        s.Reply(Device("LONG", 3, 0), s.cookie, DISCOVERY_REPLY_SIZE + 1);
        s.Reply(Device("EMPTY", 3, 0), s.cookie, 0);
        s.Reply(Device("AFTER", 3, 0), s.cookie);
        ASSERT_TRUE(s.collector.WaitFor(1, 2000ms));
        EXPECT_STREQ(s.collector.At(0).serial_number, "AFTER");
        EXPECT_TRUE(DiscoveryRunning(s.session));
    }
    {
        LoopbackSearch s;
        s.collector.keep_going = 0;
        ASSERT_TRUE(s.Start());
        s.Reply(Device("LAST", 3, 0), s.cookie);
        EXPECT_TRUE(WaitUntilStopped(s.session, 3000ms));
        s.Reply(Device("AFTER", 3, 0), s.cookie);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(s.collector.Count(), 1u);
    }
}

TEST(DiscoverySearch, StopReturnsAtOnceWhileWaiting)
{
    LoopbackSearch s;
    ASSERT_TRUE(s.Start());
    std::this_thread::sleep_for(100ms);
    const auto t0 = Clock::now();
    StopDiscovery(s.session);
    s.session = nullptr;
    EXPECT_LT(Clock::now() - t0, 300ms);
    StopDiscovery(nullptr);
}

TEST(DiscoverySearch, HundredRepliesArriveWithinOneSecond)
{
    LoopbackSearch s;
    ASSERT_TRUE(s.Start());
    const auto request_seen = Clock::now();
    std::vector<std::unique_ptr<Udp>> devices;
    for (int i = 0; i < 100; ++i) {
        devices.push_back(std::make_unique<Udp>(Ip(127, 0, 1, uint8_t(i + 1)), 0));
        ASSERT_TRUE(devices.back()->Bound());
    }
    uint8_t buf[DISCOVERY_REPLY_SIZE];
    for (int i = 0; i < 100; ++i) {
        BuildDiscoveryReply(s.cookie, Device(("SN" + std::to_string(i)).c_str(), 3, 0), buf);
        devices[size_t(i)]->SendTo(s.client, buf, sizeof buf);
    }
    ASSERT_TRUE(s.collector.WaitFor(100, 2000ms));
    const auto last = [&] {
        std::lock_guard<std::mutex> lock(s.collector.mutex);
        return s.collector.times.back();
    }();
    EXPECT_LT(last - request_seen, 1000ms);
    std::printf("100 replies handled %.1f ms after the request\n",
                std::chrono::duration<double, std::milli>(last - request_seen).count());
}

// Broadcast tests: namespace "c" (the workstation) is linked to namespace "d" (the
// devices) by two veth pairs on two subnets.
class DiscoveryLab : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string why = NetLab::Available();
        if (!why.empty())
            GTEST_SKIP() << "skipping namespace test: " << why;
    }
    NetLab lab;
};

TEST_F(DiscoveryLab, OnlyLoopbackMeansNoSearch)
{
    ASSERT_TRUE(lab.AddNamespace("c"));
    DiscoverySession *session = reinterpret_cast<DiscoverySession *>(1);
    ASSERT_TRUE(lab.RunIn("c", [&] { session = StartDiscovery(0, 0, nullptr, Collector::Callback, nullptr); }));
    EXPECT_EQ(session, nullptr);
}

TEST_F(DiscoveryLab, OneBroadcastFromEachAdapterAndRepliesComeBack)
{
    ASSERT_TRUE(lab.AddNamespace("c"));
    ASSERT_TRUE(lab.AddNamespace("d"));
    ASSERT_TRUE(lab.Link("c", "a1", "10.77.1.1/24", "d", "b1", "10.77.1.2/24"));
    ASSERT_TRUE(lab.Link("c", "a2", "10.77.2.1/24", "d", "b2", "10.77.2.2/24"));

    DiscoveryResponder responder(lab, "d", Device("LAB-1", 3, 0));
    ASSERT_TRUE(responder.Ready());

    Collector collector;
    DiscoverySession *session = nullptr;
    ASSERT_TRUE(lab.RunIn("c", [&] { session = StartDiscovery(0, 0, nullptr, Collector::Callback, &collector); }));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(DiscoverySocketCount(session), 2u);
    EXPECT_TRUE(collector.WaitFor(2, 3000ms));
    std::this_thread::sleep_for(200ms);
    StopDiscovery(session);

    // One request from each adapter's address.
    EXPECT_EQ(responder.Sources(), (std::vector<uint32_t>{Ip(10, 77, 1, 1), Ip(10, 77, 2, 1)}));
    ASSERT_EQ(collector.Count(), 2u);
    std::vector<uint32_t> reply_sources = {collector.At(0).address, collector.At(1).address};
    std::sort(reply_sources.begin(), reply_sources.end());
    EXPECT_EQ(reply_sources, (std::vector<uint32_t>{Ip(10, 77, 1, 2), Ip(10, 77, 2, 2)}));
}

TEST_F(DiscoveryLab, StrayEmptyAndOverlongDatagramsDoNotBlindTheSearch)
{
    ASSERT_TRUE(lab.AddNamespace("c"));
    ASSERT_TRUE(lab.AddNamespace("d"));
    ASSERT_TRUE(lab.Link("c", "a1", "10.77.1.1/24", "d", "b1", "10.77.1.2/24"));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(lab.AddAddress("d", "b1", "10.77.1." + std::to_string(10 + i) + "/24"));

    // Inside "d": catch the broadcast request, then answer it with an empty and a
    // 56-byte datagram before ten valid replies from ten device addresses.
    std::atomic<bool> listening{false}, answered{false};
    std::thread devices = lab.StartIn("d", [&] {
        Udp listener(0, DISCOVERY_PORT);
        listening = true;
        uint8_t request[64];
        sockaddr_in client{};
        if (listener.Receive(request, sizeof request, &client, 5000) != ssize_t(DISCOVERY_REQUEST_SIZE))
            return;
        uint32_t cookie;
        std::memcpy(&cookie, request + 1, 4);
        cookie = ntohl(cookie);
        Udp stray(Ip(10, 77, 1, 2), 0);
        uint8_t reply[DISCOVERY_REPLY_SIZE + 1] = {};
        BuildDiscoveryReply(cookie, Device("STRAY", 3, 0), reply);
        stray.SendTo(client, reply, 0);
        stray.SendTo(client, reply, DISCOVERY_REPLY_SIZE + 1);
        for (int i = 0; i < 10; ++i) {
            Udp device(Ip(10, 77, 1, uint8_t(10 + i)), 0);
            BuildDiscoveryReply(cookie, Device(("LAB-" + std::to_string(i)).c_str(), 3, 0), reply);
            device.SendTo(client, reply, DISCOVERY_REPLY_SIZE);
        }
        answered = true;
    });

    // The search's request goes out once: it must find the listener bound.
    EXPECT_TRUE(testsupport::WaitFor([&] { return listening.load(); }));
    Collector collector;
    DiscoverySession *session = nullptr;
    ASSERT_TRUE(lab.RunIn("c", [&] { session = StartDiscovery(0, 0, nullptr, Collector::Callback, &collector); }));
    ASSERT_NE(session, nullptr);
    devices.join();
    ASSERT_TRUE(answered);
    EXPECT_TRUE(collector.WaitFor(10, 3000ms));
    EXPECT_TRUE(DiscoveryRunning(session));
    StopDiscovery(session);

    ASSERT_EQ(collector.Count(), 10u);
    std::vector<uint32_t> sources;
    for (size_t i = 0; i < 10; ++i)
        sources.push_back(collector.At(i).address);
    std::sort(sources.begin(), sources.end());
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(sources[i], Ip(10, 77, 1, uint8_t(10 + i)));
}
