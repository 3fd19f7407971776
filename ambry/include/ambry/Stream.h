// Byte streams: one interface over sockets, files, HTTP bodies and compressed data.
//
// A stream is a CStream object driven by an operations table (StreamOps) and the
// implementation's context pointer. The CStream adds the common parts: flags (open,
// readable, writable), a small push-back store of unread bytes, counts of bytes read
// and written, the name given at opening, and the typed reads and writes
// (big-endian 16/32/64-bit, raw 2/4-byte). A stream is used by one reader and one
// writer at a time: the read side (reads, push-back, skip) and the write side (writes,
// flush) may run in two threads at once, anything else needs the owner's lock.
//
// Making a stream of your own:
//   static const Ambry::StreamOps kMyOps = {"my", nullptr, MyRead, MyWrite, ...};
//   Ambry::CStream *s = Ambry::StreamCreate(&kMyOps, context, "name",
//                                           Ambry::STREAM_READABLE);
//   ...
//   Ambry::StreamDestroy(s);   // close, then kMyOps.destroy(context)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "ambry/Net.h"

namespace Ambry {

class CByteBuffer;
class CStream;

enum StreamFlags : unsigned {
    STREAM_OPEN = 1,
    STREAM_READABLE = 2,
    STREAM_WRITABLE = 4,
};

// Operations of one kind of stream. read and write are required for readable and
// writable streams; the rest are optional (null). After close only destroy is called.
struct StreamOps {
    const char *kind;  // e.g. "socket", "file"; for diagnostics
    // Opens what the context describes, with the stream's name; false fails the
    // creation (destroy still runs). Null: the context is ready as it is.
    bool (*open)(CStream *stream, const char *name);
    // Reads up to size bytes (size > 0): the count, 0 at the end of the data, -1 on
    // failure. May block until at least one byte is there.
    long (*read)(CStream *stream, void *data, size_t size);
    // Writes up to size bytes: the count written (may be short), -1 on failure.
    long (*write)(CStream *stream, const void *data, size_t size);
    // Skips up to size bytes: the count skipped, -1 on failure. Null: read and drop.
    int64_t (*skip)(CStream *stream, int64_t size);
    // Pushes written data out; false on failure. Null: nothing to do.
    bool (*flush)(CStream *stream);
    // True when no more data will come. Null: the end is known only from read.
    bool (*end_of_data)(CStream *stream);
    // Releases what the open stream uses (socket, file); called once. May be null.
    void (*close)(CStream *stream);
    // Frees the context; called once, last. May be null.
    void (*destroy)(CStream *stream);
};

class CStream {
public:
    static constexpr size_t kPushBackSize = 16;

    // Use StreamCreate / StreamDestroy.
    CStream(const StreamOps *ops, void *context, unsigned flags);
    ~CStream();
    CStream(const CStream &) = delete;
    CStream &operator=(const CStream &) = delete;

    const StreamOps *Ops() const { return m_ops; }
    void *Context() const { return m_context; }
    unsigned Flags() const { return m_flags; }
    bool IsOpen() const { return (m_flags & STREAM_OPEN) != 0; }
    bool IsReadable() const { return (m_flags & (STREAM_OPEN | STREAM_READABLE)) == (STREAM_OPEN | STREAM_READABLE); }
    bool IsWritable() const { return (m_flags & (STREAM_OPEN | STREAM_WRITABLE)) == (STREAM_OPEN | STREAM_WRITABLE); }
    // The name given at opening ("" when none).
    const char *Name() const { return m_name ? m_name.get() : ""; }
    bool SetName(const char *name);
    uint64_t BytesRead() const { return m_bytesRead; }
    uint64_t BytesWritten() const { return m_bytesWritten; }

    // Up to size bytes, pushed-back bytes first: the count (0 at the end of the data),
    // or -1 when the stream is not open and readable or the read failed.
    long Read(void *data, size_t size);
    // True only when exactly size bytes came.
    [[nodiscard]] bool ReadExact(void *data, size_t size);
    // One byte 0..255, or -1.
    int ReadByte();
    // Returns bytes to the front of the stream (read again next, in order). False when
    // they do not fit into the push-back store.
    [[nodiscard]] bool PushBack(const void *data, size_t size);
    size_t PushedBack() const { return m_pushBackLength; }
    // Skips size bytes: the count skipped (short at the end of the data), -1 when the
    // stream is not readable. Uses the stream's own skip when it has one; otherwise
    // reads into a 256-byte block when size is at most 512, else into a heap block of
    // size bytes but at most 12000 (the 256-byte block when that allocation fails).
    int64_t Skip(int64_t size);
    // Appends everything up to the end of the data, or up to limit bytes (negative: no
    // limit), to buffer in pieces of at most 1024 bytes: the count appended, -1 when
    // the stream is not readable. Stops early when the buffer refuses bytes or a read
    // fails.
    int64_t ReadAll(CByteBuffer *buffer, int64_t limit = -1);

    // Up to size bytes: the count, or -1 when not open and writable or on failure.
    long Write(const void *data, size_t size);
    // True only when all size bytes went out.
    [[nodiscard]] bool WriteExact(const void *data, size_t size);

    // Big-endian (network order) integers.
    [[nodiscard]] bool ReadU16(uint16_t *value);
    [[nodiscard]] bool ReadU32(uint32_t *value);
    [[nodiscard]] bool ReadU64(uint64_t *value);
    [[nodiscard]] bool WriteU16(uint16_t value);
    [[nodiscard]] bool WriteU32(uint32_t value);
    [[nodiscard]] bool WriteU64(uint64_t value);
    // Raw 2- and 4-byte values in memory order.
    [[nodiscard]] bool ReadRaw2(void *value) { return ReadExact(value, 2); }
    [[nodiscard]] bool ReadRaw4(void *value) { return ReadExact(value, 4); }
    [[nodiscard]] bool WriteRaw2(const void *value) { return WriteExact(value, 2); }
    [[nodiscard]] bool WriteRaw4(const void *value) { return WriteExact(value, 4); }

    // Pushes written data out; false on failure or when not open.
    bool Flush();
    // True when nothing more can be read: not readable, or no pushed-back bytes and
    // the stream says its data ended (or a read returned 0 before).
    bool EndOfData();
    // Runs the close operation once, clears the open flag and the push-back store.
    void Close();

private:
    const StreamOps *m_ops;
    void *m_context;
    unsigned m_flags;
    bool m_ended = false;
    std::unique_ptr<char[]> m_name;
    uint8_t m_pushBack[kPushBackSize];
    size_t m_pushBackLength = 0;
    uint64_t m_bytesRead = 0;
    uint64_t m_bytesWritten = 0;
};

// Makes a stream over ops and context with flags (STREAM_OPEN is added) and runs the
// open operation. Null when out of memory or when open fails (ops->destroy is then
// called so the context is not leaked).
CStream *StreamCreate(const StreamOps *ops, void *context, const char *name, unsigned flags);
// Close, free the name, then the stream's own destroy. Null does nothing.
void StreamDestroy(CStream *stream);

struct StreamDeleter {
    void operator()(CStream *stream) const { StreamDestroy(stream); }
};
// Owns a stream; destroys it when it goes out of scope.
using StreamPtr = std::unique_ptr<CStream, StreamDeleter>;

// A readable and writable stream over a connected socket. With ownsSocket the socket
// is closed with the stream (shut down for both directions first), and also when the
// stream cannot be made (null). Reads block until data comes.
CStream *SocketStreamOpen(Socket s, bool ownsSocket, const char *name);
// The socket of a socket stream, INVALID_SOCKET_FD for another kind or after close.
Socket SocketStreamSocket(const CStream *stream);
// Shuts the socket down for both directions, so a reader blocked in another thread
// returns (with the end of the data) and writes fail. Safe to call from any thread
// while the stream is open; close and destroy stay with the stream's owner.
bool SocketStreamShutdown(const CStream *stream);

// A stream over a file of the C runtime; mode as for fopen ("rb", "wb", ...). Null
// when the file cannot be opened.
CStream *FileStreamOpen(const char *path, const char *mode);
// A stream over an open FILE; with owns the file is closed with the stream, and also
// when the stream cannot be made (null).
CStream *FileStreamAttach(FILE *file, bool owns, unsigned flags, const char *name);

// A readable stream over memory that must outlive it (for parsers and tests).
CStream *MemoryStreamOpen(const void *data, size_t size, const char *name);

}  // namespace Ambry
