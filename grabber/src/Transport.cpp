// Plain and compressed byte transport of a grabber-protocol connection.
#include "grabber/Transport.h"

#include <ambry/FaultInject.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>

namespace Grabber {

namespace {
constexpr size_t kZlibBuffer = 16384;
constexpr uint8_t kStreamHeader[10] = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0x00, 0x0B};
}  // namespace

// ---- Socket and memory ------------------------------------------------------------

ptrdiff_t SocketIO::ReadSome(void *buffer, size_t n)
{
    if (Ambry::FaultHit(Ambry::FaultKind::SocketRecv)) {
        errno = EIO;
        return -1;
    }
    for (;;) {
        ssize_t got = ::recv(m_fd, buffer, n, 0);
        if (got >= 0)
            return got;
        if (errno != EINTR)
            return -1;
    }
}

bool SocketIO::WriteAll(const void *data, size_t n)
{
    if (Ambry::FaultHit(Ambry::FaultKind::SocketSend)) {
        errno = EIO;
        return false;
    }
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        ssize_t sent = ::send(m_fd, p, n, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

bool SocketIO::WriteTwo(const void *a, size_t na, const void *b, size_t nb)
{
    if (Ambry::FaultHit(Ambry::FaultKind::SocketSend)) {
        errno = EIO;
        return false;
    }
    iovec iov[2] = {{const_cast<void *>(a), na}, {const_cast<void *>(b), nb}};
    int first = 0;
    while (first < 2) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = static_cast<size_t>(2 - first);
        ssize_t sent = ::sendmsg(m_fd, &msg, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = static_cast<size_t>(sent);
        while (first < 2 && left >= iov[first].iov_len) {
            left -= iov[first].iov_len;
            ++first;
        }
        if (first < 2) {
            iov[first].iov_base = static_cast<uint8_t *>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return true;
}

ptrdiff_t MemorySource::ReadSome(void *buffer, size_t n)
{
    size_t take = std::min(n, m_left);
    if (take == 0)
        return 0;
    std::memcpy(buffer, m_data, take);
    m_data += take;
    m_left -= take;
    return static_cast<ptrdiff_t>(take);
}

// ---- Inflate ----------------------------------------------------------------------

struct InflateSource::State {
    z_stream z{};
    bool initialised = false;
    uint8_t in[kZlibBuffer];
    size_t pending = 0;  // raw bytes read ahead of inflate (header parsing)
};

InflateSource::InflateSource(ByteSource &under) : m_under(under), m_state(std::make_unique<State>()) {}

InflateSource::~InflateSource()
{
    if (m_state->initialised)
        inflateEnd(&m_state->z);
}

bool InflateSource::ReadRaw(void *out, size_t n)
{
    uint8_t *p = static_cast<uint8_t *>(out);
    while (n > 0) {
        ptrdiff_t got = m_under.ReadSome(p, n);
        if (got <= 0)
            return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool InflateSource::Open()
{
    if (m_open)
        return true;
    uint8_t h[10];
    if (!ReadRaw(h, sizeof h))
        return false;
    if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0) != 0)
        return false;
    uint8_t flags = h[3];
    if (flags & 0x04) {  // extra field
        uint8_t len[2];
        if (!ReadRaw(len, 2))
            return false;
        size_t skip = size_t(len[0]) | (size_t(len[1]) << 8);
        uint8_t scratch[256];
        while (skip > 0) {
            size_t take = std::min(skip, sizeof scratch);
            if (!ReadRaw(scratch, take))
                return false;
            skip -= take;
        }
    }
    for (uint8_t bit : {uint8_t(0x08), uint8_t(0x10)}) {  // name, comment: zero-terminated
        if (flags & bit) {
            uint8_t c = 1;
            while (c != 0)
                if (!ReadRaw(&c, 1))
                    return false;
        }
    }
    if (flags & 0x02) {  // header CRC
        uint8_t crc[2];
        if (!ReadRaw(crc, 2))
            return false;
    }
    State &s = *m_state;
    if (inflateInit2(&s.z, 15) != Z_OK)
        return false;
    s.initialised = true;
    m_crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    m_open = true;
    return true;
}

bool InflateSource::Fill()
{
    State &s = *m_state;
    ptrdiff_t got = m_under.ReadSome(s.in, sizeof s.in);
    if (got <= 0)
        return false;
    s.z.next_in = s.in;
    s.z.avail_in = static_cast<uInt>(got);
    return true;
}

ptrdiff_t InflateSource::ReadSome(void *buffer, size_t n)
{
    if (!m_open)
        return -1;
    if (m_ended || n == 0)
        return 0;
    State &s = *m_state;
    n = std::min<size_t>(n, 1u << 30);
    s.z.next_out = static_cast<Bytef *>(buffer);
    s.z.avail_out = static_cast<uInt>(n);
    for (;;) {
        if (s.z.avail_in == 0 && !Fill())
            return s.z.avail_out < n ? static_cast<ptrdiff_t>(n - s.z.avail_out) : -1;
        int rc = inflate(&s.z, Z_NO_FLUSH);
        size_t produced = n - s.z.avail_out;
        if (rc == Z_STREAM_END)
            m_ended = true;
        else if (rc != Z_OK && rc != Z_BUF_ERROR)
            return -1;
        if (produced > 0) {
            m_crc = static_cast<uint32_t>(crc32(m_crc, static_cast<const Bytef *>(buffer), static_cast<uInt>(produced)));
            return static_cast<ptrdiff_t>(produced);
        }
        if (m_ended)
            return 0;
    }
}

// ---- Deflate ----------------------------------------------------------------------

struct DeflateSink::State {
    z_stream z{};
    bool initialised = false;
    uint8_t out[kZlibBuffer];
};

DeflateSink::DeflateSink(ByteSink &under) : m_under(under), m_state(std::make_unique<State>())
{
    State &s = *m_state;
    if (deflateInit2(&s.z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) == Z_OK)
        s.initialised = true;
    else
        m_failed = true;
    m_crc = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
}

DeflateSink::~DeflateSink()
{
    if (m_state->initialised)
        deflateEnd(&m_state->z);
}

bool DeflateSink::Pump(int flush)
{
    State &s = *m_state;
    if (!m_header_sent) {
        if (!m_under.WriteAll(kStreamHeader, sizeof kStreamHeader))
            return false;
        m_header_sent = true;
    }
    for (;;) {
        s.z.next_out = s.out;
        s.z.avail_out = sizeof s.out;
        int rc = deflate(&s.z, flush);
        if (rc == Z_STREAM_ERROR)
            return false;
        size_t have = sizeof s.out - s.z.avail_out;
        if (have > 0 && !m_under.WriteAll(s.out, have))
            return false;
        if (flush == Z_NO_FLUSH) {
            if (s.z.avail_in == 0)
                return true;
        } else if (flush == Z_FINISH) {
            if (rc == Z_STREAM_END)
                return true;
        } else if (s.z.avail_out != 0) {
            return true;
        }
    }
}

bool DeflateSink::WriteAll(const void *data, size_t n)
{
    if (m_failed || m_finished)
        return false;
    State &s = *m_state;
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        size_t take = std::min<size_t>(n, 1u << 30);
        m_crc = static_cast<uint32_t>(crc32(m_crc, p, static_cast<uInt>(take)));
        s.z.next_in = const_cast<Bytef *>(p);
        s.z.avail_in = static_cast<uInt>(take);
        if (!Pump(Z_NO_FLUSH)) {
            m_failed = true;
            return false;
        }
        p += take;
        n -= take;
    }
    return true;
}

bool DeflateSink::Flush()
{
    if (m_failed || m_finished)
        return false;
    if (!Pump(Z_SYNC_FLUSH) || !m_under.Flush()) {
        m_failed = true;
        return false;
    }
    return true;
}

bool DeflateSink::Finish()
{
    if (m_failed || m_finished)
        return false;
    m_finished = true;
    return Pump(Z_FINISH) && m_under.Flush();
}

// ---- Buffered input ---------------------------------------------------------------

BufferedInput::BufferedInput(ByteSource &source, size_t buffer_size)
    : m_source(source), m_buffer(new uint8_t[buffer_size]), m_size(buffer_size)
{
}

bool BufferedInput::ReadExact(void *buffer, size_t n)
{
    uint8_t *out = static_cast<uint8_t *>(buffer);
    size_t have = m_end - m_pos;
    size_t take = std::min(have, n);
    if (take > 0) {
        std::memcpy(out, m_buffer.get() + m_pos, take);
        m_pos += take;
        out += take;
        n -= take;
    }
    while (n > 0) {
        if (n >= m_size / 2) {
            // Large reads go straight into the caller's memory.
            ptrdiff_t got = m_source.ReadSome(out, n);
            if (got <= 0)
                return false;
            out += got;
            n -= static_cast<size_t>(got);
            continue;
        }
        ptrdiff_t got = m_source.ReadSome(m_buffer.get(), m_size);
        if (got <= 0)
            return false;
        m_pos = 0;
        m_end = static_cast<size_t>(got);
        take = std::min(m_end, n);
        std::memcpy(out, m_buffer.get(), take);
        m_pos = take;
        out += take;
        n -= take;
    }
    return true;
}

bool BufferedInput::Skip(size_t n)
{
    while (n > 0) {
        if (m_pos == m_end) {
            ptrdiff_t got = m_source.ReadSome(m_buffer.get(), m_size);
            if (got <= 0)
                return false;
            m_pos = 0;
            m_end = static_cast<size_t>(got);
        }
        size_t take = std::min(m_end - m_pos, n);
        m_pos += take;
        n -= take;
    }
    return true;
}

// ---- Frames -----------------------------------------------------------------------

int ReadIncomingFrame(InputStream &in, IncomingFrame &frame, uint32_t max_payload)
{
    for (;;) {
        uint8_t head[8];
        if (!in.ReadExact(head, sizeof head))
            return FRAME_END;
        PayloadReader r(head, sizeof head);
        uint32_t length = 0, kind = 0;
        r.U32(length);
        r.U32(kind);
        uint32_t fixed;
        switch (kind) {
        case KIND_REQUEST:
            fixed = kRequestFixedBytes;
            break;
        case KIND_REPLY:
            fixed = kReplyFixedBytes;
            break;
        case KIND_EVENT:
            fixed = kEventFixedBytes;
            break;
        default:
            if (!in.Skip(length))
                return FRAME_END;
            continue;
        }
        if (length < fixed || length - fixed > max_payload)
            return FRAME_MALFORMED;
        uint8_t rest[8];
        if (!in.ReadExact(rest, fixed))
            return FRAME_END;
        PayloadReader f(rest, fixed);
        frame = IncomingFrame{};
        frame.kind = kind;
        f.U32(frame.id);
        if (kind == KIND_REQUEST)
            f.U32(frame.type);
        else if (kind == KIND_REPLY)
            f.U8(frame.status);
        frame.payload = length - fixed;
        return FRAME_OK;
    }
}

// ---- Transport ----------------------------------------------------------------------

Transport::Transport(int fd, bool compressed) : m_fd(fd), m_compressed(compressed), m_socket(fd)
{
    if (compressed) {
        m_inflate = std::make_unique<InflateSource>(m_socket);
        m_deflate = std::make_unique<DeflateSink>(m_socket);
        m_input = std::make_unique<BufferedInput>(*m_inflate);
    } else {
        m_input = std::make_unique<BufferedInput>(m_socket);
    }
}

Transport::~Transport() = default;

bool Transport::OpenInput() { return !m_inflate || m_inflate->Open(); }

bool Transport::Send(const void *data, size_t n)
{
    std::lock_guard<std::mutex> lock(m_send_lock);
    if (m_deflate)
        return m_deflate->WriteAll(data, n) && m_deflate->Flush();
    return m_socket.WriteAll(data, n);
}

bool Transport::SendParts(const void *head, size_t head_size, const void *body, size_t body_size)
{
    std::lock_guard<std::mutex> lock(m_send_lock);
    if (m_deflate)
        return m_deflate->WriteAll(head, head_size) && m_deflate->WriteAll(body, body_size) && m_deflate->Flush();
    return m_socket.WriteTwo(head, head_size, body, body_size);
}

void Transport::FinishOutput()
{
    std::lock_guard<std::mutex> lock(m_send_lock);
    if (m_deflate)
        m_deflate->Finish();
}

}  // namespace Grabber
