// Listening sockets and the per-appliance poll that accepts connections and hands
// datagrams and web requests to their handlers.
#include "Appliance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

namespace Sim {

void Simulator::Impl::Accept(Device &d, int listener, bool compressed)
{
    uint32_t ip = 0;
    uint16_t port = 0;
    int fd = Ambry::SocketAccept(listener, &ip, &port);
    if (fd < 0)
        return;
    Ambry::SocketSetNoDelay(fd, true);
    auto s = std::make_shared<Session>();
    s->dev = &d;
    s->fd = fd;
    s->transport = std::make_unique<Transport>(fd, compressed);
    std::list<std::shared_ptr<Session>> done;
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.connections++;
        for (auto it = d.sessions.begin(); it != d.sessions.end();) {
            if ((*it)->finished) {
                done.push_back(*it);
                it = d.sessions.erase(it);
            } else {
                ++it;
            }
        }
        d.sessions.push_back(s);
    }
    for (auto &old : done) {
        if (old->reader.joinable())
            old->reader.join();
        Ambry::SocketClose(old->fd);
    }
    if (verbose)
        Log(d, "connection from %s:%u%s", FormatAddress(ip).c_str(), port, compressed ? " (compressed)" : "");
    Count(d, &DeviceStats::open_connections, +1);
    s->reader = Ambry::StartThread("SimSession", [this, s] { SessionLoop(s); });
}

void Simulator::Impl::AcceptorLoop(Device &d)
{
    while (!stopping) {
        pollfd fds[6];
        int n = 0;
        fds[n++] = {wake[0], POLLIN, 0};
        int tcp = n, ctcp = -1, udp = -1, bcast = -1, http = -1;
        fds[n++] = {d.tcp.Get(), POLLIN, 0};
        if (d.ctcp.IsValid()) {
            ctcp = n;
            fds[n++] = {d.ctcp.Get(), POLLIN, 0};
        }
        if (d.udp.IsValid()) {
            udp = n;
            fds[n++] = {d.udp.Get(), POLLIN, 0};
        }
        if (d.broadcast.IsValid()) {
            bcast = n;
            fds[n++] = {d.broadcast.Get(), POLLIN, 0};
        }
        if (d.http.IsValid()) {
            http = n;
            fds[n++] = {d.http.Get(), POLLIN, 0};
        }
        if (::poll(fds, nfds_t(n), -1) < 0)
            continue;
        if (fds[0].revents || stopping)
            break;
        if (fds[tcp].revents & POLLIN)
            Accept(d, d.tcp.Get(), false);
        if (ctcp >= 0 && (fds[ctcp].revents & POLLIN))
            Accept(d, d.ctcp.Get(), true);
        if (udp >= 0 && (fds[udp].revents & POLLIN))
            HandleDiscovery(d, d.udp.Get(), false);
        if (bcast >= 0 && (fds[bcast].revents & POLLIN))
            HandleDiscovery(d, d.broadcast.Get(), true);
        if (http >= 0 && (fds[http].revents & POLLIN))
            HandleHttp(d);
    }
}

bool Simulator::Impl::Listen(Ambry::CSocket &sock, int type, uint32_t address, int port, uint16_t &actual, std::string *error,
            const char *what)
{
    if (port < 0)
        return true;
    Ambry::CSocket s(Ambry::SocketCreate(type));
    if (!s.IsValid()) {
        if (error)
            *error = std::string("cannot create the ") + what + " socket";
        return false;
    }
    Ambry::SocketSetReuseAddress(s.Get(), true);
    if (!Ambry::SocketBind(s.Get(), address, uint16_t(port)) ||
        (type == Ambry::SOCKET_STREAM && !Ambry::SocketListen(s.Get(), 64))) {
        if (error)
            *error = "cannot listen on " + FormatAddress(address) + ":" + std::to_string(port) + " (" + what + ")";
        return false;
    }
    uint32_t ip;
    Ambry::SocketLocalAddress(s.Get(), &ip, &actual);
    ::fcntl(s.Get(), F_SETFD, FD_CLOEXEC);
    sock = std::move(s);
    return true;
}

}  // namespace Sim
