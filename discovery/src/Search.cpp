// The LAN search: interface sockets, the control socket that wakes the search thread,
// and the thread that sends the requests and collects the replies.
#include <discovery/Discovery.h>

#include <ambry/Net.h>
#include <ambry/Random.h>
#include <ambry/Thread.h>
#include <ambry/Trace.h>

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

constexpr uint32_t kLoopback = 0x7F000001u;

// The machine's IPv4 addresses in the order the kernel lists them, without 127.0.0.1.
std::vector<uint32_t> LocalAddresses()
{
    std::vector<uint32_t> out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (ifaddrs *it = list; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET)
            continue;
        const uint32_t address = ntohl(reinterpret_cast<const sockaddr_in *>(it->ifa_addr)->sin_addr.s_addr);
        if (address != kLoopback)
            out.push_back(address);
    }
    freeifaddrs(list);
    return out;
}

}  // namespace

struct DiscoverySession {
    Ambry::Socket control = Ambry::INVALID_SOCKET_FD;
    std::vector<Ambry::Socket> sockets;
    uint32_t target = 0;
    uint32_t cookie = 0;
    uint32_t device_query_a = 0;
    uint32_t device_query_b = 0;
    char text[33] = {};
    DiscoveryCallback callback = nullptr;
    void *user_data = nullptr;
    uint16_t port = DISCOVERY_PORT;
    bool broadcast = true;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    unsigned ignored = 0;  // datagrams dropped as not ours (search thread only)

    ~DiscoverySession()
    {
        Ambry::SocketClose(control);
        for (int fd : sockets)
            Ambry::SocketClose(fd);
    }

    void Run();
    bool SendRequests();
    // Receives and handles one datagram; false when the search must end.
    bool HandleDatagram(int fd, bool *receive_failed);
};

bool DiscoverySession::SendRequests()
{
    uint8_t request[DISCOVERY_REQUEST_SIZE];
    BuildDiscoveryRequest(cookie, device_query_a, device_query_b, text, request);
    bool sent = false;
    auto send_to = [&](uint32_t address) {
        for (int fd : sockets) {
            const long n = Ambry::SocketSendTo(fd, request, sizeof request, address, port);
            if (n == static_cast<long>(sizeof request))
                sent = true;
            else
                Ambry::TraceDebug("discovery: send from socket %d failed, error %d\n", fd, errno);
        }
    };
    if (target != 0)
        send_to(target);
    if (broadcast && target != DISCOVERY_BROADCAST)
        send_to(DISCOVERY_BROADCAST);
    return sent;
}

bool DiscoverySession::HandleDatagram(int fd, bool *receive_failed)
{
    uint8_t buffer[DISCOVERY_REPLY_SIZE];
    uint32_t from = 0;
    const long n = Ambry::SocketReceiveFrom(fd, buffer, sizeof buffer, &from, nullptr);
    // Anyone on the network can send us an empty or over-long datagram; it is dropped
    // like any other datagram that is not a reply of ours. Only a failure of the socket
    // itself ends the search.
    if (n == 0 || (n < 0 && errno == EMSGSIZE)) {
        ++ignored;
        Ambry::TraceDebug("discovery: ignored a datagram of %s size on socket %d (%u so far)\n",
                          n == 0 ? "zero" : "excess", fd, ignored);
        return true;
    }
    if (n < 0) {
        Ambry::TraceDebug("discovery: receive on socket %d failed, error %d\n", fd, errno);
        *receive_failed = true;
        return true;
    }
    DiscoveryRecord record;
    if (!ParseDiscoveryReply(buffer, static_cast<size_t>(n), cookie, from, &record)) {
        ++ignored;
        return true;  // not ours: ignore it and go on
    }
    if (!callback)
        return false;
    return callback(&record, user_data) != 0;
}

void DiscoverySession::Run()
{
    if (!SendRequests()) {
        running.store(false, std::memory_order_release);
        return;
    }
    std::vector<pollfd> fds;
    fds.reserve(sockets.size() + 1);
    fds.push_back({control, POLLIN, 0});
    for (int fd : sockets)
        fds.push_back({fd, POLLIN, 0});

    while (!stop.load(std::memory_order_acquire)) {
        for (pollfd &p : fds)
            p.revents = 0;
        const int ready = poll(fds.data(), fds.size(), DISCOVERY_WAIT_SLICE_MS);
        if (ready <= 0)
            continue;
        for (size_t i = 1; i < fds.size(); ++i) {
            const short ev = fds[i].revents;
            if (ev & POLLIN) {
                bool receive_failed = false;
                if (!HandleDatagram(fds[i].fd, &receive_failed)) {
                    stop.store(true, std::memory_order_release);
                    break;
                }
                if (receive_failed)
                    stop.store(true, std::memory_order_release);
            }
            if (ev & (POLLERR | POLLPRI | POLLNVAL))
                stop.store(true, std::memory_order_release);
        }
    }
    running.store(false, std::memory_order_release);
}

DiscoverySession *StartDiscovery(uint32_t device_query_a, uint32_t device_query_b, const char *text,
                                 DiscoveryCallback callback, void *user_data, uint32_t target,
                                 const DiscoveryOptions &options)
{
    auto session = std::make_unique<DiscoverySession>();
    session->control = Ambry::SocketCreateBind(Ambry::SOCKET_DATAGRAM, kLoopback, 0);
    if (session->control == Ambry::INVALID_SOCKET_FD)
        return nullptr;

    const std::vector<uint32_t> addresses =
        options.local_addresses.empty() ? LocalAddresses() : options.local_addresses;
    for (uint32_t address : addresses) {
        const Ambry::Socket fd = Ambry::SocketCreate(Ambry::SOCKET_DATAGRAM);
        if (fd == Ambry::INVALID_SOCKET_FD)
            continue;
        Ambry::SocketSetBroadcast(fd, true);
        if (address != 0) {
            const int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_DONTROUTE, &on, sizeof on);
        }
        if (!Ambry::SocketBind(fd, address, 0)) {
            Ambry::SocketClose(fd);
            continue;
        }
        session->sockets.push_back(fd);
    }
    if (session->sockets.empty())
        return nullptr;

    if (text)
        std::memcpy(session->text, text, strnlen(text, 32));
    session->cookie = Ambry::RandomNext32();
    session->device_query_a = device_query_a;
    session->device_query_b = device_query_b;
    session->callback = callback;
    session->user_data = user_data;
    session->target = target;
    session->port = options.port;
    session->broadcast = options.broadcast;
    session->running.store(true, std::memory_order_release);
    try {
        DiscoverySession *raw = session.get();
        session->thread = Ambry::StartThread("TSLSearch", [raw] { raw->Run(); });
    } catch (const std::system_error &) {
        return nullptr;
    }
    return session.release();
}

DiscoverySession *StartDiscovery(uint32_t device_query_a, uint32_t device_query_b, const char *text,
                                 DiscoveryCallback callback, void *user_data, uint32_t target)
{
    return StartDiscovery(device_query_a, device_query_b, text, callback, user_data, target, DiscoveryOptions{});
}

void StopDiscovery(DiscoverySession *session)
{
    if (!session)
        return;
    session->stop.store(true, std::memory_order_release);
    uint32_t self = 0;
    uint16_t self_port = 0;
    if (Ambry::SocketLocalAddress(session->control, &self, &self_port)) {
        const uint8_t wake = 0xFF;
        Ambry::SocketSendTo(session->control, &wake, 1, self ? self : kLoopback, self_port);
    }
    if (session->thread.joinable())
        session->thread.join();
    delete session;
}

bool DiscoveryRunning(const DiscoverySession *session)
{
    return session && session->running.load(std::memory_order_acquire);
}

size_t DiscoverySocketCount(const DiscoverySession *session) { return session ? session->sockets.size() : 0; }

uint32_t DiscoveryCookie(const DiscoverySession *session) { return session ? session->cookie : 0; }
