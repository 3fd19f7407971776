// Byte transport of one grabber-protocol connection, either plain or compressed,
// and the reading of frame headers from it. Both ends of the protocol (the client
// library and the appliance simulator) use it.
//
// Compressed transport: each direction starts with the 10-byte header
// 1F 8B 08 00 00 00 00 00 00 0B and continues as a zlib-wrapped deflate stream
// (window bits 15). Every flush of the sending side is a sync flush; closing
// finishes the stream. A CRC-32 of the plain data is kept on both sides.
#pragma once

#include "grabber/Wire.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace Grabber {

// Raw bytes in: ReadSome returns > 0 bytes read, 0 at the end, < 0 on error.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual ptrdiff_t ReadSome(void *buffer, size_t n) = 0;
};

// Raw bytes out.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool WriteAll(const void *data, size_t n) = 0;
    virtual bool Flush() = 0;
};

// A connected stream socket (not owned: the caller closes it). Reads wait without
// limit; writes never raise SIGPIPE.
class SocketIO final : public ByteSource, public ByteSink {
public:
    explicit SocketIO(int fd) : m_fd(fd) {}
    ptrdiff_t ReadSome(void *buffer, size_t n) override;
    bool WriteAll(const void *data, size_t n) override;
    // Both pieces in as few system calls as the socket allows.
    bool WriteTwo(const void *a, size_t na, const void *b, size_t nb);
    bool Flush() override { return true; }

private:
    int m_fd;
};

// Bytes held in memory (fuzzing, tests).
class MemorySource final : public ByteSource {
public:
    MemorySource(const void *data, size_t size) : m_data(static_cast<const uint8_t *>(data)), m_left(size) {}
    ptrdiff_t ReadSome(void *buffer, size_t n) override;

private:
    const uint8_t *m_data;
    size_t m_left;
};

// Decompressing reader over another source.
class InflateSource final : public ByteSource {
public:
    explicit InflateSource(ByteSource &under);
    ~InflateSource() override;
    InflateSource(const InflateSource &) = delete;
    InflateSource &operator=(const InflateSource &) = delete;

    // Reads and checks the stream header and starts inflating; false when the
    // header is wrong or the source ends.
    [[nodiscard]] bool Open();
    ptrdiff_t ReadSome(void *buffer, size_t n) override;
    uint32_t Crc() const { return m_crc; }

private:
    bool Fill();
    bool ReadRaw(void *out, size_t n);

    ByteSource &m_under;
    struct State;
    std::unique_ptr<State> m_state;
    bool m_open = false;
    bool m_ended = false;
    uint32_t m_crc = 0;
};

// Compressing writer over another sink. Writes the stream header with the first
// bytes; Flush is a sync flush followed by a flush of the sink.
class DeflateSink final : public ByteSink {
public:
    explicit DeflateSink(ByteSink &under);
    ~DeflateSink() override;
    DeflateSink(const DeflateSink &) = delete;
    DeflateSink &operator=(const DeflateSink &) = delete;

    bool WriteAll(const void *data, size_t n) override;
    bool Flush() override;
    // Finishes the stream; later writes fail.
    bool Finish();
    uint32_t Crc() const { return m_crc; }

private:
    bool Pump(int flush);

    ByteSink &m_under;
    struct State;
    std::unique_ptr<State> m_state;
    bool m_header_sent = false;
    bool m_finished = false;
    bool m_failed = false;
    uint32_t m_crc = 0;
};

// Buffered whole reads over a source. Large reads bypass the buffer and land
// straight in the caller's memory.
class BufferedInput final : public InputStream {
public:
    explicit BufferedInput(ByteSource &source, size_t buffer_size = 65536);
    bool ReadExact(void *buffer, size_t n) override;
    bool Skip(size_t n) override;

private:
    ByteSource &m_source;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_size;
    size_t m_pos = 0;
    size_t m_end = 0;
};

// The fixed part of one received frame. kind is KIND_REQUEST, KIND_REPLY or
// KIND_EVENT; payload bytes follow in the stream.
struct IncomingFrame {
    uint32_t kind = 0;
    uint32_t id = 0;    // request id (requests, replies) or event code (events)
    uint32_t type = 0;  // request type (requests)
    uint8_t status = 0; // reply status (replies)
    uint32_t payload = 0;
};

enum ReadFrameResult { FRAME_OK = 1, FRAME_END = 0, FRAME_MALFORMED = -1 };

// Reads the next frame's fixed fields; frames of other kinds are skipped. A frame
// shorter than its kind's fixed fields, or longer than max_payload, is malformed.
// A failed read (the peer went away) gives FRAME_END.
int ReadIncomingFrame(InputStream &in, IncomingFrame &frame, uint32_t max_payload);

// One connection's two directions over a socket (not owned).
class Transport {
public:
    Transport(int fd, bool compressed);
    ~Transport();
    Transport(const Transport &) = delete;
    Transport &operator=(const Transport &) = delete;

    // Receive side: for a compressed connection reads the stream header first.
    [[nodiscard]] bool OpenInput();
    InputStream &Input() { return *m_input; }

    // Writes one whole frame and flushes it; serialised by the transport's lock.
    [[nodiscard]] bool Send(const void *data, size_t n);
    [[nodiscard]] bool Send(const std::vector<uint8_t> &bytes) { return Send(bytes.data(), bytes.size()); }
    // Writes a frame given in two pieces (head and a large body) without joining them.
    [[nodiscard]] bool SendParts(const void *head, size_t head_size, const void *body, size_t body_size);
    // Finishes a compressed send side (no-op for plain).
    void FinishOutput();
    bool Compressed() const { return m_compressed; }
    int Fd() const { return m_fd; }

private:
    int m_fd;
    bool m_compressed;
    SocketIO m_socket;
    std::unique_ptr<InflateSource> m_inflate;
    std::unique_ptr<DeflateSink> m_deflate;
    std::unique_ptr<BufferedInput> m_input;
    std::mutex m_send_lock;
};

}  // namespace Grabber
