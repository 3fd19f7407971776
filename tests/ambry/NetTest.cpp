#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <vector>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "TraceCapture.h"
#include "ambry/Clock.h"
#include "ambry/Module.h"
#include "ambry/Net.h"

namespace {

using namespace Ambry;

constexpr uint32_t kLoopback = 0x7F000001;

using Line = std::pair<unsigned, std::string>;

// A listening TCP socket on 127.0.0.1 with a free port.
struct Listener {
    CSocket socket;
    uint16_t port = 0;
    Listener()
    {
        socket.Reset(SocketCreateBind(SOCKET_STREAM, kLoopback, 0));
        EXPECT_TRUE(socket.IsValid());
        EXPECT_TRUE(SocketListen(socket.Get(), 8));
        EXPECT_TRUE(SocketLocalAddress(socket.Get(), nullptr, &port));
    }
};

// A loopback port with nobody listening.
uint16_t ClosedPort()
{
    CSocket s(SocketCreateBind(SOCKET_STREAM, kLoopback, 0));
    uint16_t port = 0;
    EXPECT_TRUE(SocketLocalAddress(s.Get(), nullptr, &port));
    return port;  // closed when s goes
}

TEST(Net, StartAndStopAreCountedAndStartTheCore)
{
    int core = ModuleStartCount("THREAD");
    ASSERT_TRUE(NetStart());
    ASSERT_TRUE(NetStart());
    EXPECT_EQ(ModuleStartCount("NET"), 2);
    EXPECT_EQ(ModuleStartCount("THREAD"), core + 4);  // the core starts THREAD twice
    NetStop();
    NetStop();
    EXPECT_EQ(ModuleStartCount("NET"), 0);
    EXPECT_EQ(ModuleStartCount("THREAD"), core);
    NetStop();  // unbalanced: ignored
    EXPECT_EQ(ModuleStartCount("THREAD"), core);
}

TEST(Net, FailureMessagesGoToTheirChannels)
{
    TraceCapture capture(7);
    EXPECT_EQ(SocketCreate(3), INVALID_SOCKET_FD);
    Listener listener;
    // Port taken: the message names the port.
    EXPECT_EQ(SocketCreateBind(SOCKET_STREAM, kLoopback, listener.port), INVALID_SOCKET_FD);
    // Port 0 on a socket that is bound already: the message without a port.
    EXPECT_FALSE(SocketBind(listener.socket.Get(), kLoopback, 0));
    EXPECT_FALSE(SocketClose(1 << 20));
    // Refused connect: the debug channel, which the initial mask leaves off.
    uint16_t closed = ClosedPort();
    CSocket blocking(SocketCreate(SOCKET_STREAM));
    EXPECT_FALSE(SocketConnect(blocking.Get(), kLoopback, closed));

    std::vector<Line> expected = {
        {TRACE_ERROR, "ERROR: cannot create socket, error 22\n"},
        {TRACE_ERROR, "ERROR: cannot bind to port " + std::to_string(listener.port) + ", error 98\n"},
        {TRACE_ERROR, "ERROR: cannot bind socket, error 22\n"},
        {TRACE_WARNING, "WARNING: failed to close socket 1048576, error 9\n"},
    };
    EXPECT_EQ(capture.Lines(), expected);

    capture.Clear();
    SetTraceMask(15);
    CSocket again(SocketCreate(SOCKET_STREAM));
    EXPECT_FALSE(SocketConnect(again.Get(), kLoopback, closed));
    std::vector<Line> debug = {
        {TRACE_DEBUG, "ERROR: cannot connect to 127.0.0.1:" + std::to_string(closed) + ", error 111\n"}};
    EXPECT_EQ(capture.Lines(), debug);
}

TEST(Net, NonBlockingConnectSucceedsWhileInProgressThenBecomesWritable)
{
    Listener listener;
    CSocket client(SocketCreateBind(SOCKET_STREAM, 0, 0));
    ASSERT_TRUE(SocketSetBlocking(client.Get(), false));
    EXPECT_TRUE(SocketConnect(client.Get(), kLoopback, listener.port));
    EXPECT_EQ(SocketWait(client.Get(), SOCKET_WRITABLE | SOCKET_ERROR, 2000), SOCKET_WRITABLE);
    uint32_t peer = 0;
    CSocket served(SocketAccept(listener.socket.Get(), &peer, nullptr));
    EXPECT_TRUE(served.IsValid());
    EXPECT_EQ(peer, kLoopback);
}

TEST(Net, WaitWithZeroBlocksUntilReadyAndPositiveTimesOut)
{
    Listener listener;
    CSocket client(SocketConnectWithTimeout(kLoopback, listener.port, 2000));
    ASSERT_TRUE(client.IsValid());
    CSocket served(SocketAccept(listener.socket.Get(), nullptr, nullptr));
    ASSERT_TRUE(served.IsValid());

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketWait(client.Get(), SOCKET_READABLE, 50), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    start = std::chrono::steady_clock::now();  // before the writer's sleep begins
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        EXPECT_EQ(SocketSend(served.Get(), "ping", 4), 4);
    });
    EXPECT_EQ(SocketWait(client.Get(), SOCKET_READABLE | SOCKET_WRITABLE, 0) & SOCKET_WRITABLE, SOCKET_WRITABLE);
    EXPECT_EQ(SocketWait(client.Get(), SOCKET_READABLE, 0), SOCKET_READABLE);  // no limit
    EXPECT_EQ(SocketWait(client.Get(), SOCKET_READABLE, INT64_MAX), SOCKET_READABLE);  // no overflow
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    writer.join();
    char data[8];
    EXPECT_EQ(SocketReceive(client.Get(), data, sizeof data), 4);

    // A peer that goes away makes the socket readable (the read then says so).
    served.Reset();
    EXPECT_EQ(SocketWait(client.Get(), SOCKET_READABLE, 2000), SOCKET_READABLE);
    EXPECT_EQ(SocketReceive(client.Get(), data, sizeof data), 0);
    // Writing to it never raises SIGPIPE.
    for (int i = 0; i < 3; ++i)
        SocketSend(client.Get(), "x", 1);
    EXPECT_LT(SocketWait(1 << 20, SOCKET_READABLE, 10), 0);
}

TEST(Net, ConnectWithTimeoutFailsAtOnceWhenRefusedAndLeavesNoSocket)
{
    TraceCapture quiet(0);
    uint16_t closed = ClosedPort();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SocketConnectWithTimeout(kLoopback, closed, 5000), INVALID_SOCKET_FD);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));

    // The socket made for the attempt was closed: the next descriptor reuses its number.
    int probe = open("/dev/null", O_RDONLY);
    ASSERT_GE(probe, 0);
    close(probe);
    EXPECT_EQ(SocketConnectWithTimeout(kLoopback, closed, 5000), INVALID_SOCKET_FD);
    int after = open("/dev/null", O_RDONLY);
    close(after);
    EXPECT_EQ(after, probe);
}

TEST(Net, ConnectUntilGivesUpWhenCalledOff)
{
    // A listener whose accept queue is full: further handshakes go unanswered, so
    // a connect waits out its deadline unless it is called off.
    CSocket listener(SocketCreateBind(SOCKET_STREAM, kLoopback, 0));
    ASSERT_TRUE(SocketListen(listener.Get(), 0));
    uint16_t port = 0;
    ASSERT_TRUE(SocketLocalAddress(listener.Get(), nullptr, &port));
    std::vector<CSocket> queued;
    std::atomic<bool> cancel{false};
    int64_t hung_ms = 0;
    // Fill the queue until an attempt hangs: that one is the one to call off.
    for (int i = 0; i < 8 && hung_ms == 0; ++i) {
        CSocket s(SocketCreate(SOCKET_STREAM));
        const auto start = std::chrono::steady_clock::now();
        std::thread stopper([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cancel = true;
        });
        const bool connected = SocketConnectUntil(s.Get(), kLoopback, port, ClockMonotonic() + 10000, &cancel);
        const int error = errno;
        stopper.join();
        cancel = false;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        if (connected) {
            queued.push_back(std::move(s));
            continue;
        }
        EXPECT_EQ(error, ECANCELED);
        hung_ms = took.count();
    }
    ASSERT_GT(hung_ms, 0) << "no connect attempt hung";
    EXPECT_LT(hung_ms, 2000);
}

TEST(Net, DatagramsLongerThanTheBufferFailInsteadOfTruncating)
{
    CSocket receiver(SocketCreateBind(SOCKET_DATAGRAM, kLoopback, 0));
    CSocket sender(SocketCreateBind(SOCKET_DATAGRAM, kLoopback, 0));
    uint16_t port = 0, from = 0;
    ASSERT_TRUE(SocketLocalAddress(receiver.Get(), nullptr, &port));
    ASSERT_TRUE(SocketLocalAddress(sender.Get(), nullptr, &from));
    char big[100] = {};
    char fits[55] = {1, 2, 3};
    ASSERT_EQ(SocketSendTo(sender.Get(), big, sizeof big, kLoopback, port), 100);
    ASSERT_EQ(SocketSendTo(sender.Get(), fits, sizeof fits, kLoopback, port), 55);
    char buffer[55];
    ASSERT_EQ(SocketWait(receiver.Get(), SOCKET_READABLE, 2000), SOCKET_READABLE);
    EXPECT_EQ(SocketReceiveFrom(receiver.Get(), buffer, sizeof buffer, nullptr, nullptr), -1);
    uint32_t ip = 0;
    uint16_t port_seen = 0;
    EXPECT_EQ(SocketReceiveFrom(receiver.Get(), buffer, sizeof buffer, &ip, &port_seen), 55);
    EXPECT_EQ(ip, kLoopback);
    EXPECT_EQ(port_seen, from);
    EXPECT_EQ(buffer[2], 3);
}

TEST(Net, ResolveHostTakesDottedAddressesAndRejectsEmptyText)
{
    uint32_t ip = 0;
    EXPECT_TRUE(ResolveHost("  127.0.0.2", &ip));
    EXPECT_EQ(ip, 0x7F000002u);
    EXPECT_TRUE(ResolveHost("10.1.2.3", &ip));
    EXPECT_EQ(ip, 0x0A010203u);
    ip = 5;
    EXPECT_FALSE(ResolveHost("", &ip));
    EXPECT_FALSE(ResolveHost(" \t ", &ip));
    EXPECT_FALSE(ResolveHost(nullptr, &ip));
    EXPECT_EQ(ip, 5u);
    char text[16];
    FormatIPv4(0xC0A80001, text);
    EXPECT_STREQ(text, "192.168.0.1");
}

}  // namespace
