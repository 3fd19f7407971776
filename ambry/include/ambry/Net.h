// IPv4 socket routines. Addresses and ports cross these routines in host byte order
// (an IPv4 address as a 32-bit number, most significant byte first when printed).
// Failures are reported through the error trace (Trace.h) and as plain results;
// nothing throws. The routines keep no state and may be called from any thread; the
// last error is per thread (errno).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace Ambry {

using Socket = int;
constexpr Socket INVALID_SOCKET_FD = -1;

// Socket types for SocketCreate.
enum SocketType : int { SOCKET_STREAM = 1, SOCKET_DATAGRAM = 2 };

// Ready flags of SocketWait.
enum SocketReady : int { SOCKET_READABLE = 1, SOCKET_WRITABLE = 2, SOCKET_ERROR = 4 };

// Starts the network module (counted) and the core (Module.h); true on success.
bool NetStart();
// Stops it again (counted), then stops the core once.
void NetStop();

// The socket layer's last error code (errno) of the calling thread.
int NetLastError();

// An IPv4 socket of that type (protocol 0), or INVALID_SOCKET_FD after
// "ERROR: cannot create socket, error %d\n".
Socket SocketCreate(int type);
// Binds to ip (0: any) and port (0: any). Failure: "ERROR: cannot bind to port %hu,
// error %d\n" when a port was given, else "ERROR: cannot bind socket, error %d\n".
bool SocketBind(Socket s, uint32_t ip, uint16_t port);
// SocketCreate then SocketBind; the socket is closed when binding fails.
Socket SocketCreateBind(int type, uint32_t ip, uint16_t port);
// Starts a connect. True when the connection is made or is in progress (non-blocking
// socket); otherwise "ERROR: cannot connect to %u.%u.%u.%u:%hu, error %d\n" on the
// debug channel and false.
bool SocketConnect(Socket s, uint32_t ip, uint16_t port);
// Blocking mode on (true) or off (false).
bool SocketSetBlocking(Socket s, bool blocking);
// Waits until one of the wanted conditions (SocketReady flags) holds or timeout_ms
// passes; a time of 0 or less waits without limit. Returns 0 on time-out, a negative
// value on failure, else the ready flags among those wanted. A hang-up or socket error
// counts as every wanted condition (the next call on the socket reports it).
int SocketWait(Socket s, int wanted, int64_t timeout_ms);
// Resolves text (leading white space skipped): a dotted IPv4 address is taken as is,
// otherwise the name is looked up and its first IPv4 address used. False for empty
// text or no address.
bool ResolveHost(const char *text, uint32_t *ip);
// Closes; failure: "WARNING: failed to close socket %d, error %d\n" and false.
// Closing INVALID_SOCKET_FD does nothing and returns true.
bool SocketClose(Socket s);

// The connect-with-deadline sequence on a stream socket s: non-blocking, connect,
// wait for writable or error until deadline_ms (ClockMonotonic time; 0 or less: no
// limit), require writable, confirm with the peer-address query, blocking again.
// With `cancel`, the wait looks at it every 50 ms and gives up (errno ECANCELED)
// once it is set.
bool SocketConnectUntil(Socket s, uint32_t ip, uint16_t port, int64_t deadline_ms,
                        const std::atomic<bool> *cancel = nullptr);
// Creates and binds a stream socket to any address and port and connects it as above
// within timeout_ms (0 or less: no limit). INVALID_SOCKET_FD on failure.
Socket SocketConnectWithTimeout(uint32_t ip, uint16_t port, int64_t timeout_ms);

// Socket options; each writes "failed to set %s option, error %d\n" (warning channel) on
// failure and returns false.
bool SocketSetKeepAlive(Socket s, bool on);
bool SocketSetNoDelay(Socket s, bool on);
bool SocketSetBroadcast(Socket s, bool on);
bool SocketSetReuseAddress(Socket s, bool on);

// Address the socket is bound to (host order); false on failure.
bool SocketLocalAddress(Socket s, uint32_t *ip, uint16_t *port);
// Starts listening (stream sockets); false on failure.
bool SocketListen(Socket s, int backlog);
// Accepts one connection; INVALID_SOCKET_FD on failure. ip/port may be null.
Socket SocketAccept(Socket s, uint32_t *ip, uint16_t *port);

// One send / receive (send uses MSG_NOSIGNAL, so a vanished peer never raises
// SIGPIPE). Returns the count, 0 for the end of a stream, -1 on failure.
long SocketSend(Socket s, const void *data, size_t size);
long SocketReceive(Socket s, void *data, size_t size);
// Datagrams. A datagram longer than capacity is a failed receive (-1), never a
// truncated success. ip/port may be null.
long SocketSendTo(Socket s, const void *data, size_t size, uint32_t ip, uint16_t port);
long SocketReceiveFrom(Socket s, void *data, size_t capacity, uint32_t *ip, uint16_t *port);

// Writes the dotted form of ip ("a.b.c.d") into text (at least 16 bytes).
void FormatIPv4(uint32_t ip, char text[16]);

// Closes a socket when it goes out of scope.
class CSocket {
public:
    CSocket() = default;
    explicit CSocket(Socket s) : m_socket(s) {}
    ~CSocket() { Reset(); }
    CSocket(const CSocket &) = delete;
    CSocket &operator=(const CSocket &) = delete;
    CSocket(CSocket &&other) noexcept : m_socket(other.Release()) {}
    CSocket &operator=(CSocket &&other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    Socket Get() const { return m_socket; }
    bool IsValid() const { return m_socket != INVALID_SOCKET_FD; }
    [[nodiscard]] Socket Release()
    {
        Socket s = m_socket;
        m_socket = INVALID_SOCKET_FD;
        return s;
    }
    void Reset(Socket s = INVALID_SOCKET_FD)
    {
        if (m_socket != INVALID_SOCKET_FD)
            SocketClose(m_socket);
        m_socket = s;
    }

private:
    Socket m_socket = INVALID_SOCKET_FD;
};

}  // namespace Ambry
