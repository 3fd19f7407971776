// The grabber client against tessaline-sim over loopback, beside raw loopback TCP
// moving the same bytes:
//   grab_1920x1080  frames per second of 24-bit 1920 x 1080 grabs (MB/s)
//   query_state     round trips of the state request (calls/s)
#include "compare.h"

#include "../../tools/sim/include/sim/SimProcess.h"

#include <grabber/Grabber.h>
#include <grabber/Wire.h>

#include <ambry/Net.h>

#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * 3;
// Sizes of the state round trip on the wire: request frame and reply frame.
constexpr size_t kStateRequestBytes = 16;
constexpr size_t kStateReplyBytes = 8 + 5 + 13;

// One simulated appliance for the whole run.
struct Appliance {
    Appliance()
        : sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device",
               "serial=BENCH,animate=0,mode=1920x1080@60000"})
    {
        Grabber::Startup();
        if (sim.Ready())
            handle = Grabber::Open(sim.Device(0).address, sim.Device(0).port);
    }
    ~Appliance()
    {
        Grabber::Close(handle);
        Grabber::Shutdown();
    }
    SimProcess sim;
    Grabber::Handle *handle = nullptr;
};

Appliance &TheAppliance()
{
    static Appliance appliance;
    return appliance;
}

// A raw loopback peer in a process of its own, as the appliance is: for every
// request of request_bytes it answers reply_bytes.
class RawPeer {
public:
    RawPeer(size_t request_bytes, size_t reply_bytes) : m_request(request_bytes), m_reply(reply_bytes, 0x5A)
    {
        Ambry::CSocket listener(Ambry::SocketCreateBind(Ambry::SOCKET_STREAM, 0x7F000001u, 0));
        uint32_t ip;
        Ambry::SocketListen(listener.Get(), 1);
        Ambry::SocketLocalAddress(listener.Get(), &ip, &m_port);
        std::vector<uint8_t> in(m_request);
        m_child = ::fork();
        if (m_child == 0) {
            int s = ::accept(listener.Get(), nullptr, nullptr);
            int one = 1;
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            for (;;) {
                size_t got = 0;
                while (got < in.size()) {
                    ssize_t n = ::recv(s, in.data() + got, in.size() - got, 0);
                    if (n <= 0)
                        ::_exit(0);
                    got += size_t(n);
                }
                size_t sent = 0;
                while (sent < m_reply.size()) {
                    ssize_t n = ::send(s, m_reply.data() + sent, m_reply.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0)
                        ::_exit(0);
                    sent += size_t(n);
                }
            }
        }
        m_client.Reset(Ambry::SocketConnectWithTimeout(0x7F000001u, m_port, 3000));
        Ambry::SocketSetNoDelay(m_client.Get(), true);
    }
    ~RawPeer()
    {
        ::shutdown(m_client.Get(), SHUT_RDWR);
        if (m_child > 0)
            ::waitpid(m_child, nullptr, 0);
    }

    // One request and its whole reply, read into out.
    bool RoundTrip(uint8_t *out)
    {
        if (m_child < 0 || !m_client.IsValid())
            return false;
        std::vector<uint8_t> request(m_request, 1);
        if (Ambry::SocketSend(m_client.Get(), request.data(), request.size()) != long(request.size()))
            return false;
        size_t got = 0;
        while (got < m_reply.size()) {
            long n = Ambry::SocketReceive(m_client.Get(), out + got, m_reply.size() - got);
            if (n <= 0)
                return false;
            got += size_t(n);
        }
        return true;
    }

private:
    size_t m_request;
    std::vector<uint8_t> m_reply;
    uint16_t m_port = 0;
    pid_t m_child = -1;
    Ambry::CSocket m_client;
};

void GrabOurs(benchmark::State &state)
{
    Grabber::Handle *h = TheAppliance().handle;
    if (!h) {
        state.SkipWithError("tessaline-sim is not running");
        return;
    }
    // Check the output before timing it.
    Grabber::FrameRecord *f = Grabber::GrabFrame(h, Grabber::FORMAT_PREVIEW, nullptr);
    if (!f || f->image_bytes != kFrameBytes) {
        state.SkipWithError("wrong frame from the appliance");
        Grabber::ReleaseFrame(h, f);
        return;
    }
    Grabber::ReleaseFrame(h, f);
    size_t bytes = 0;
    for (auto _ : state) {
        f = Grabber::GrabFrame(h, Grabber::FORMAT_PREVIEW, nullptr);
        if (!f) {
            state.SkipWithError("grab failed");
            return;
        }
        bytes += f->image_bytes;
        Grabber::ReleaseFrame(h, f);
    }
    bench::ReportRate(state, double(bytes) / 1e6, "MB/s");
}

void GrabRawTcp(benchmark::State &state)
{
    RawPeer peer(kStateRequestBytes + 20, kFrameBytes + 8 + 5 + 36);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kFrameBytes + 64]);
    size_t bytes = 0;
    for (auto _ : state) {
        if (!peer.RoundTrip(buffer.get())) {
            state.SkipWithError("raw transfer failed");
            return;
        }
        bytes += kFrameBytes;
    }
    bench::ReportRate(state, double(bytes) / 1e6, "MB/s");
}

void StateOurs(benchmark::State &state)
{
    Grabber::Handle *h = TheAppliance().handle;
    if (!h) {
        state.SkipWithError("tessaline-sim is not running");
        return;
    }
    Grabber::VideoMode mode;
    if (!Grabber::DetectVideoMode(h, &mode) || mode.width != kWidth) {
        state.SkipWithError("wrong state from the appliance");
        return;
    }
    size_t calls = 0;
    for (auto _ : state) {
        if (!Grabber::DetectVideoMode(h, &mode)) {
            state.SkipWithError("request failed");
            return;
        }
        ++calls;
    }
    bench::ReportRate(state, double(calls), "calls/s");
}

void StateRawTcp(benchmark::State &state)
{
    RawPeer peer(kStateRequestBytes, kStateReplyBytes);
    uint8_t reply[kStateReplyBytes];
    size_t calls = 0;
    for (auto _ : state) {
        if (!peer.RoundTrip(reply)) {
            state.SkipWithError("raw round trip failed");
            return;
        }
        ++calls;
    }
    bench::ReportRate(state, double(calls), "calls/s");
}

}  // namespace

BENCHMARK(GrabOurs)->Name("grab_1920x1080/ours")->UseRealTime();
BENCHMARK(GrabRawTcp)->Name("grab_1920x1080/ref:raw loopback TCP")->UseRealTime();
BENCHMARK(StateOurs)->Name("query_state/ours")->UseRealTime();
BENCHMARK(StateRawTcp)->Name("query_state/ref:raw loopback TCP")->UseRealTime();
