// A scripted device for tests: a listening socket on 127.0.0.1 whose one
// connection the test drives by hand.
#pragma once

#include <grabber/Wire.h>

#include <ambry/Net.h>

#include <cstdint>
#include <vector>

namespace Grabber {

// A listening socket on 127.0.0.1 whose one connection the test drives by hand.
class ScriptedPeer {
public:
    ScriptedPeer()
    {
        m_listener.Reset(Ambry::SocketCreateBind(Ambry::SOCKET_STREAM, 0x7F000001u, 0));
        Ambry::SocketListen(m_listener.Get(), 1);
        uint32_t ip;
        Ambry::SocketLocalAddress(m_listener.Get(), &ip, &m_port);
    }

    uint16_t Port() const { return m_port; }
    bool Accept()
    {
        if (Ambry::SocketWait(m_listener.Get(), Ambry::SOCKET_READABLE, 3000) <= 0)
            return false;
        m_conn.Reset(Ambry::SocketAccept(m_listener.Get(), nullptr, nullptr));
        return m_conn.IsValid();
    }
    void Send(const std::vector<uint8_t> &b) { Ambry::SocketSend(m_conn.Get(), b.data(), b.size()); }
    // Reads one whole frame (or nothing within the time).
    std::vector<uint8_t> ReadFrame(int timeout_ms = 3000)
    {
        std::vector<uint8_t> head = ReadExact(8, timeout_ms);
        if (head.size() != 8)
            return {};
        uint32_t length = (uint32_t(head[0]) << 24) | (uint32_t(head[1]) << 16) | (uint32_t(head[2]) << 8) | head[3];
        std::vector<uint8_t> rest = ReadExact(length, timeout_ms);
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    }
    void Close() { m_conn.Reset(); }

private:
    std::vector<uint8_t> ReadExact(size_t n, int timeout_ms)
    {
        std::vector<uint8_t> out(n);
        size_t got = 0;
        while (got < n) {
            if (Ambry::SocketWait(m_conn.Get(), Ambry::SOCKET_READABLE, timeout_ms) <= 0)
                return {};
            long r = Ambry::SocketReceive(m_conn.Get(), out.data() + got, n - got);
            if (r <= 0)
                return {};
            got += size_t(r);
        }
        return out;
    }

    Ambry::CSocket m_listener, m_conn;
    uint16_t m_port = 0;
};

inline std::vector<uint8_t> HelloFrame(uint32_t id, uint32_t caps, uint8_t status = 0)
{
    MessageBuilder b = MessageBuilder::Request(id, REQ_HELLO);
    HelloInfo h;
    h.capabilities = caps;
    h.status = status;
    EncodeHello(b.Payload(), h);
    return b.Take();
}

// The request id of a whole frame.
inline uint32_t IdOf(const std::vector<uint8_t> &frame)
{
    return (uint32_t(frame[8]) << 24) | (uint32_t(frame[9]) << 16) | (uint32_t(frame[10]) << 8) | frame[11];
}

}  // namespace Grabber
