#include "ambry/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ModuleInternal.h"
#include "Transfer.h"
#include "ambry/Clock.h"
#include "ambry/FaultInject.h"
#include "ambry/Module.h"
#include "ambry/Trace.h"

namespace Ambry {
namespace {

constexpr int64_t kForeverMs = int64_t(1) << 40;  // about 35 years

sockaddr_in MakeAddress(uint32_t ip, uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ip);
    return address;
}

bool SetFlagOption(Socket s, int level, int option, const char *name, bool on)
{
    int value = on ? 1 : 0;
    if (setsockopt(s, level, option, &value, sizeof value) == 0)
        return true;
    // The text is the grabber client's; the newline keeps the next message off this line.
    TraceWarning("failed to set %s option, error %d\n", name, errno);
    return false;
}

}  // namespace

bool NetModuleStart()
{
    // Nothing to start on this platform: writes use MSG_NOSIGNAL, so SIGPIPE needs no
    // process-wide change.
    return true;
}

bool NetStart()
{
    ModuleStart("NET");
    return CoreStart();
}

void NetStop()
{
    if (ModuleStartCount("NET") <= 0)
        return;
    ModuleStop("NET");
    CoreStop();
}

int NetLastError() { return errno; }

Socket SocketCreate(int type)
{
    int kind = type == SOCKET_DATAGRAM ? SOCK_DGRAM : (type == SOCKET_STREAM ? SOCK_STREAM : -1);
    Socket s = kind < 0 ? -1 : socket(AF_INET, kind | SOCK_CLOEXEC, 0);
    if (kind < 0)
        errno = EINVAL;
    if (s < 0) {
        TraceError("ERROR: cannot create socket, error %d\n", errno);
        return INVALID_SOCKET_FD;
    }
    return s;
}

bool SocketBind(Socket s, uint32_t ip, uint16_t port)
{
    sockaddr_in address = MakeAddress(ip, port);
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return true;
    int error = errno;
    if (port)
        TraceError("ERROR: cannot bind to port %hu, error %d\n", port, error);
    else
        TraceError("ERROR: cannot bind socket, error %d\n", error);
    errno = error;
    return false;
}

Socket SocketCreateBind(int type, uint32_t ip, uint16_t port)
{
    Socket s = SocketCreate(type);
    if (s == INVALID_SOCKET_FD)
        return s;
    if (!SocketBind(s, ip, port)) {
        int error = errno;
        SocketClose(s);
        errno = error;
        return INVALID_SOCKET_FD;
    }
    return s;
}

bool SocketConnect(Socket s, uint32_t ip, uint16_t port)
{
    sockaddr_in address = MakeAddress(ip, port);
    int rc;
    do {
        rc = connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0 || errno == EINPROGRESS || errno == EWOULDBLOCK)
        return true;
    int error = errno;
    char text[16];
    FormatIPv4(ip, text);
    TraceDebug("ERROR: cannot connect to %s:%hu, error %d\n", text, port, error);
    errno = error;
    return false;
}

bool SocketSetBlocking(Socket s, bool blocking)
{
    int flags = fcntl(s, F_GETFL);
    if (flags < 0)
        return false;
    int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || fcntl(s, F_SETFL, wanted) == 0;
}

int SocketWait(Socket s, int wanted, int64_t timeout_ms)
{
    pollfd entry{};
    entry.fd = s;
    if (wanted & SOCKET_READABLE)
        entry.events |= POLLIN;
    if (wanted & SOCKET_WRITABLE)
        entry.events |= POLLOUT;
    if (wanted & SOCKET_ERROR)
        entry.events |= POLLPRI;
    using Steady = std::chrono::steady_clock;
    // Times beyond any real wait (they would overflow the clock) wait without limit.
    const bool limited = timeout_ms > 0 && timeout_ms < kForeverMs;
    const Steady::time_point deadline = limited ? Steady::now() + std::chrono::milliseconds(timeout_ms) : Steady::time_point();
    for (;;) {
        int wait_ms = -1;
        if (limited) {
            // Round up, so the wait is never shorter than asked.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Steady::now()).count();
            if (left < 0)
                left = 0;
            wait_ms = left > 1000000000 ? 1000000000 : static_cast<int>(left);
        }
        entry.revents = 0;
        int rc = poll(&entry, 1, wait_ms);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (rc == 0)
            return 0;
        if (entry.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        int ready = 0;
        if (entry.revents & POLLIN)
            ready |= SOCKET_READABLE;
        if (entry.revents & POLLOUT)
            ready |= SOCKET_WRITABLE;
        if (entry.revents & POLLPRI)
            ready |= SOCKET_ERROR;
        if (entry.revents & (POLLERR | POLLHUP))
            ready |= SOCKET_READABLE | SOCKET_WRITABLE | SOCKET_ERROR;
        ready &= wanted;
        if (ready)
            return ready;
    }
}

bool ResolveHost(const char *text, uint32_t *ip)
{
    if (!text)
        return false;
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text == '\0')
        return false;
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) == 1) {
        if (ip)
            *ip = ntohl(address.s_addr);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(text, nullptr, &hints, &found) != 0 || !found)
        return false;
    bool ok = false;
    for (addrinfo *entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            if (ip)
                *ip = ntohl(reinterpret_cast<sockaddr_in *>(entry->ai_addr)->sin_addr.s_addr);
            ok = true;
            break;
        }
    }
    freeaddrinfo(found);
    return ok;
}

bool SocketClose(Socket s)
{
    if (s == INVALID_SOCKET_FD)
        return true;
    // close() releases the descriptor even when it reports EINTR; never retry it.
    if (close(s) == 0 || errno == EINTR)
        return true;
    TraceWarning("WARNING: failed to close socket %d, error %d\n", s, errno);
    return false;
}

bool SocketConnectUntil(Socket s, uint32_t ip, uint16_t port, int64_t deadline_ms, const std::atomic<bool> *cancel)
{
    if (!SocketSetBlocking(s, false) || !SocketConnect(s, ip, port))
        return false;
    constexpr int64_t kCancelLook = 50;
    int ready = 0;
    for (;;) {
        int64_t timeout_ms = 0;
        if (deadline_ms > 0) {
            timeout_ms = deadline_ms - ClockMonotonic();
            if (timeout_ms <= 0)
                timeout_ms = 1;  // the deadline has passed: one short look only
        }
        const bool sliced = cancel && (timeout_ms == 0 || timeout_ms > kCancelLook);
        ready = SocketWait(s, SOCKET_WRITABLE | SOCKET_ERROR, sliced ? kCancelLook : timeout_ms);
        if (ready != 0 || !sliced)
            break;
        if (cancel->load()) {
            errno = ECANCELED;
            return false;
        }
    }
    if (ready <= 0 || !(ready & SOCKET_WRITABLE)) {
        if (ready == 0)
            errno = ETIMEDOUT;
        return false;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(s, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error)
            errno = error;
        return false;
    }
    return SocketSetBlocking(s, true);
}

Socket SocketConnectWithTimeout(uint32_t ip, uint16_t port, int64_t timeout_ms)
{
    const int64_t deadline = timeout_ms > 0 ? ClockMonotonic() + timeout_ms : 0;
    Socket s = SocketCreateBind(SOCKET_STREAM, 0, 0);
    if (s == INVALID_SOCKET_FD)
        return s;
    if (!SocketConnectUntil(s, ip, port, deadline)) {
        int error = errno;
        SocketClose(s);
        errno = error;
        return INVALID_SOCKET_FD;
    }
    return s;
}

bool SocketSetKeepAlive(Socket s, bool on) { return SetFlagOption(s, SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", on); }
bool SocketSetNoDelay(Socket s, bool on) { return SetFlagOption(s, IPPROTO_TCP, TCP_NODELAY, "TCP_NODELAY", on); }
bool SocketSetBroadcast(Socket s, bool on) { return SetFlagOption(s, SOL_SOCKET, SO_BROADCAST, "SO_BROADCAST", on); }
bool SocketSetReuseAddress(Socket s, bool on)
{
    return SetFlagOption(s, SOL_SOCKET, SO_REUSEADDR, "SO_REUSEADDR", on);
}

bool SocketLocalAddress(Socket s, uint32_t *ip, uint16_t *port)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0 || address.sin_family != AF_INET)
        return false;
    if (ip)
        *ip = ntohl(address.sin_addr.s_addr);
    if (port)
        *port = ntohs(address.sin_port);
    return true;
}

bool SocketListen(Socket s, int backlog) { return listen(s, backlog) == 0; }

Socket SocketAccept(Socket s, uint32_t *ip, uint16_t *port)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    Socket accepted;
    do {
        accepted = accept4(s, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0)
        return INVALID_SOCKET_FD;
    if (ip)
        *ip = ntohl(address.sin_addr.s_addr);
    if (port)
        *port = ntohs(address.sin_port);
    return accepted;
}

long SocketSend(Socket s, const void *data, size_t size)
{
    return InterruptibleTransfer(FaultKind::SocketSend, [&] { return send(s, data, size, MSG_NOSIGNAL); });
}

long SocketReceive(Socket s, void *data, size_t size)
{
    return InterruptibleTransfer(FaultKind::SocketRecv, [&] { return recv(s, data, size, 0); });
}

long SocketSendTo(Socket s, const void *data, size_t size, uint32_t ip, uint16_t port)
{
    const sockaddr_in address = MakeAddress(ip, port);
    return InterruptibleTransfer(FaultKind::SocketSend, [&] {
        return sendto(s, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    });
}

long SocketReceiveFrom(Socket s, void *data, size_t capacity, uint32_t *ip, uint16_t *port)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    // MSG_TRUNC makes recvfrom report the datagram's real length.
    const long rc = InterruptibleTransfer(FaultKind::SocketRecv, [&] {
        return recvfrom(s, data, capacity, MSG_TRUNC, reinterpret_cast<sockaddr *>(&address), &length);
    });
    if (rc < 0)
        return -1;
    if (static_cast<size_t>(rc) > capacity) {
        errno = EMSGSIZE;
        return -1;
    }
    if (ip)
        *ip = ntohl(address.sin_addr.s_addr);
    if (port)
        *port = ntohs(address.sin_port);
    return rc;
}

void FormatIPv4(uint32_t ip, char text[16])
{
    std::snprintf(text, 16, "%u.%u.%u.%u", (ip >> 24) & 255, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
}

}  // namespace Ambry
