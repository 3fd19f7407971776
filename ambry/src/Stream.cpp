#include "ambry/Stream.h"

#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "ambry/ByteBuffer.h"

namespace Ambry {
namespace {

constexpr size_t kSmallSkipBlock = 256;
constexpr int64_t kSmallSkipLimit = 512;
constexpr size_t kLargeSkipBlock = 12000;
constexpr size_t kReadAllPiece = 1024;

}  // namespace

CStream::CStream(const StreamOps *ops, void *context, unsigned flags)
    : m_ops(ops), m_context(context), m_flags(flags | STREAM_OPEN)
{
}

CStream::~CStream() = default;

bool CStream::SetName(const char *name)
{
    if (!name) {
        m_name.reset();
        return true;
    }
    size_t length = std::strlen(name);
    std::unique_ptr<char[]> copy(new (std::nothrow) char[length + 1]);
    if (!copy)
        return false;
    std::memcpy(copy.get(), name, length + 1);
    m_name = std::move(copy);
    return true;
}

long CStream::Read(void *data, size_t size)
{
    if (!IsReadable() || !m_ops->read)
        return -1;
    if (size == 0)
        return 0;
    auto *out = static_cast<uint8_t *>(data);
    size_t done = 0;
    if (m_pushBackLength) {
        done = size < m_pushBackLength ? size : m_pushBackLength;
        std::memcpy(out, m_pushBack, done);
        std::memmove(m_pushBack, m_pushBack + done, m_pushBackLength - done);
        m_pushBackLength -= done;
        m_bytesRead += done;
        // Pushed-back bytes alone answer the read; the caller asks again for more.
        return static_cast<long>(done);
    }
    long got = m_ops->read(this, out, size);
    if (got < 0)
        return -1;
    if (got == 0)
        m_ended = true;
    m_bytesRead += static_cast<uint64_t>(got);
    return got;
}

bool CStream::ReadExact(void *data, size_t size)
{
    auto *out = static_cast<uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        long got = Read(out + done, size - done);
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

int CStream::ReadByte()
{
    uint8_t byte;
    return Read(&byte, 1) == 1 ? byte : -1;
}

bool CStream::PushBack(const void *data, size_t size)
{
    if (size > kPushBackSize - m_pushBackLength || !IsOpen())
        return false;
    std::memmove(m_pushBack + size, m_pushBack, m_pushBackLength);
    std::memcpy(m_pushBack, data, size);
    m_pushBackLength += size;
    m_bytesRead -= size < m_bytesRead ? size : m_bytesRead;
    m_ended = false;
    return true;
}

int64_t CStream::Skip(int64_t size)
{
    if (!IsReadable())
        return -1;
    if (size <= 0)
        return 0;
    int64_t done = 0;
    if (m_pushBackLength) {
        size_t take = static_cast<uint64_t>(size) < m_pushBackLength ? static_cast<size_t>(size) : m_pushBackLength;
        std::memmove(m_pushBack, m_pushBack + take, m_pushBackLength - take);
        m_pushBackLength -= take;
        m_bytesRead += take;
        done = static_cast<int64_t>(take);
    }
    if (done == size)
        return done;
    if (m_ops->skip) {
        int64_t skipped = m_ops->skip(this, size - done);
        if (skipped > 0) {
            m_bytesRead += static_cast<uint64_t>(skipped);
            done += skipped;
        }
        return done;
    }
    uint8_t small[kSmallSkipBlock];
    uint8_t *block = small;
    size_t blockSize = sizeof small;
    std::unique_ptr<uint8_t[]> large;
    if (size > kSmallSkipLimit) {
        size_t wanted = static_cast<uint64_t>(size) < kLargeSkipBlock ? static_cast<size_t>(size) : kLargeSkipBlock;
        large.reset(new (std::nothrow) uint8_t[wanted]);
        if (large) {
            block = large.get();
            blockSize = wanted;
        }
    }
    while (done < size) {
        size_t piece = static_cast<uint64_t>(size - done) < blockSize ? static_cast<size_t>(size - done) : blockSize;
        long got = Read(block, piece);
        if (got <= 0)
            break;
        done += got;
    }
    return done;
}

int64_t CStream::ReadAll(CByteBuffer *buffer, int64_t limit)
{
    if (!IsReadable() || !buffer)
        return -1;
    int64_t total = 0;
    uint8_t piece[kReadAllPiece];
    while (limit < 0 || total < limit) {
        size_t want = sizeof piece;
        if (limit >= 0 && static_cast<uint64_t>(limit - total) < want)
            want = static_cast<size_t>(limit - total);
        long got = Read(piece, want);
        if (got <= 0)
            break;
        size_t stored = buffer->Append(piece, static_cast<size_t>(got));
        total += static_cast<int64_t>(stored);
        if (stored < static_cast<size_t>(got))
            break;  // the buffer is at its limit: the rest would be lost, so stop here
    }
    return total;
}

long CStream::Write(const void *data, size_t size)
{
    if (!IsWritable() || !m_ops->write)
        return -1;
    if (size == 0)
        return 0;
    long put = m_ops->write(this, data, size);
    if (put < 0)
        return -1;
    m_bytesWritten += static_cast<uint64_t>(put);
    return put;
}

bool CStream::WriteExact(const void *data, size_t size)
{
    auto *in = static_cast<const uint8_t *>(data);
    size_t done = 0;
    while (done < size) {
        long put = Write(in + done, size - done);
        if (put <= 0)
            return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

bool CStream::ReadU16(uint16_t *value)
{
    uint8_t b[2];
    if (!ReadExact(b, sizeof b))
        return false;
    *value = static_cast<uint16_t>(b[0] << 8 | b[1]);
    return true;
}

bool CStream::ReadU32(uint32_t *value)
{
    uint8_t b[4];
    if (!ReadExact(b, sizeof b))
        return false;
    *value = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
    return true;
}

bool CStream::ReadU64(uint64_t *value)
{
    uint8_t b[8];
    if (!ReadExact(b, sizeof b))
        return false;
    uint64_t v = 0;
    for (uint8_t byte : b)
        v = v << 8 | byte;
    *value = v;
    return true;
}

bool CStream::WriteU16(uint16_t value)
{
    uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return WriteExact(b, sizeof b);
}

bool CStream::WriteU32(uint32_t value)
{
    uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                    static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return WriteExact(b, sizeof b);
}

bool CStream::WriteU64(uint64_t value)
{
    uint8_t b[8];
    for (int i = 7; i >= 0; --i) {
        b[i] = static_cast<uint8_t>(value);
        value >>= 8;
    }
    return WriteExact(b, sizeof b);
}

bool CStream::Flush()
{
    if (!IsOpen())
        return false;
    return m_ops->flush ? m_ops->flush(this) : true;
}

bool CStream::EndOfData()
{
    if (!IsReadable())
        return true;
    if (m_pushBackLength)
        return false;
    if (m_ended)
        return true;
    return m_ops->end_of_data ? m_ops->end_of_data(this) : false;
}

void CStream::Close()
{
    if (!IsOpen())
        return;
    if (m_ops->close)
        m_ops->close(this);
    m_flags &= ~STREAM_OPEN;
    m_pushBackLength = 0;
}

CStream *StreamCreate(const StreamOps *ops, void *context, const char *name, unsigned flags)
{
    if (!ops)
        return nullptr;
    auto *stream = new (std::nothrow) CStream(ops, context, flags);
    if (!stream || !stream->SetName(name)) {
        delete stream;
        CStream bare(ops, context, 0);
        if (ops->destroy)
            ops->destroy(&bare);
        return nullptr;
    }
    if (ops->open && !ops->open(stream, name)) {
        // Never opened: nothing to close, only the context to free.
        if (ops->destroy)
            ops->destroy(stream);
        delete stream;
        return nullptr;
    }
    return stream;
}

void StreamDestroy(CStream *stream)
{
    if (!stream)
        return;
    stream->Close();
    stream->SetName(nullptr);
    if (stream->Ops()->destroy)
        stream->Ops()->destroy(stream);
    delete stream;
}

// --- socket streams -------------------------------------------------------------

namespace {

struct SocketContext {
    Socket socket;
    bool owns;
};

long SocketRead(CStream *stream, void *data, size_t size)
{
    return SocketReceive(static_cast<SocketContext *>(stream->Context())->socket, data, size);
}

long SocketWrite(CStream *stream, const void *data, size_t size)
{
    return SocketSend(static_cast<SocketContext *>(stream->Context())->socket, data, size);
}

void SocketStreamClose(CStream *stream)
{
    auto *context = static_cast<SocketContext *>(stream->Context());
    if (context->socket == INVALID_SOCKET_FD)
        return;
    if (context->owns) {
        shutdown(context->socket, SHUT_RDWR);
        SocketClose(context->socket);
    }
    context->socket = INVALID_SOCKET_FD;
}

void SocketStreamDestroy(CStream *stream)
{
    SocketStreamClose(stream);  // a stream that never opened still owns its socket
    delete static_cast<SocketContext *>(stream->Context());
}

const StreamOps kSocketOps = {
    "socket", nullptr, SocketRead, SocketWrite, nullptr, nullptr, nullptr, SocketStreamClose, SocketStreamDestroy,
};

// --- file streams ---------------------------------------------------------------

struct FileContext {
    FILE *file;
    bool owns;
};

long FileRead(CStream *stream, void *data, size_t size)
{
    FILE *file = static_cast<FileContext *>(stream->Context())->file;
    size_t got = std::fread(data, 1, size, file);
    if (got == 0 && std::ferror(file))
        return -1;
    return static_cast<long>(got);
}

long FileWrite(CStream *stream, const void *data, size_t size)
{
    FILE *file = static_cast<FileContext *>(stream->Context())->file;
    size_t put = std::fwrite(data, 1, size, file);
    if (put == 0 && std::ferror(file))
        return -1;
    return static_cast<long>(put);
}

int64_t FileSkip(CStream *stream, int64_t size)
{
    FILE *file = static_cast<FileContext *>(stream->Context())->file;
    // Seek only within the file: a skip past the end reports what was really there.
    long here = std::ftell(file);
    if (here < 0 || std::fseek(file, 0, SEEK_END) != 0)
        return -1;
    long end = std::ftell(file);
    int64_t left = end > here ? end - here : 0;
    int64_t step = size < left ? size : left;
    if (std::fseek(file, here + static_cast<long>(step), SEEK_SET) != 0)
        return -1;
    return step;
}

bool FileFlush(CStream *stream) { return std::fflush(static_cast<FileContext *>(stream->Context())->file) == 0; }

bool FileEnd(CStream *stream) { return std::feof(static_cast<FileContext *>(stream->Context())->file) != 0; }

void FileClose(CStream *stream)
{
    auto *context = static_cast<FileContext *>(stream->Context());
    if (context->file && context->owns)
        std::fclose(context->file);
    context->file = nullptr;
}

void FileDestroy(CStream *stream)
{
    FileClose(stream);  // a stream that never opened still owns its file
    delete static_cast<FileContext *>(stream->Context());
}

const StreamOps kFileOps = {"file", nullptr, FileRead, FileWrite, FileSkip, FileFlush, FileEnd, FileClose, FileDestroy};

// --- memory streams -------------------------------------------------------------

struct MemoryContext {
    const uint8_t *data;
    size_t size;
    size_t position;
};

long MemoryRead(CStream *stream, void *data, size_t size)
{
    auto *context = static_cast<MemoryContext *>(stream->Context());
    size_t left = context->size - context->position;
    if (size > left)
        size = left;
    if (size)
        std::memcpy(data, context->data + context->position, size);
    context->position += size;
    return static_cast<long>(size);
}

int64_t MemorySkip(CStream *stream, int64_t size)
{
    auto *context = static_cast<MemoryContext *>(stream->Context());
    size_t left = context->size - context->position;
    size_t step = static_cast<uint64_t>(size) < left ? static_cast<size_t>(size) : left;
    context->position += step;
    return static_cast<int64_t>(step);
}

bool MemoryEnd(CStream *stream)
{
    auto *context = static_cast<MemoryContext *>(stream->Context());
    return context->position >= context->size;
}

void MemoryDestroy(CStream *stream) { delete static_cast<MemoryContext *>(stream->Context()); }

const StreamOps kMemoryOps = {"memory", nullptr, MemoryRead, nullptr, MemorySkip, nullptr, MemoryEnd, nullptr, MemoryDestroy};

}  // namespace

CStream *SocketStreamOpen(Socket s, bool ownsSocket, const char *name)
{
    if (s == INVALID_SOCKET_FD)
        return nullptr;
    auto *context = new (std::nothrow) SocketContext{s, ownsSocket};
    if (!context) {
        if (ownsSocket)
            SocketClose(s);
        return nullptr;
    }
    return StreamCreate(&kSocketOps, context, name, STREAM_READABLE | STREAM_WRITABLE);
}

Socket SocketStreamSocket(const CStream *stream)
{
    if (!stream || stream->Ops() != &kSocketOps)
        return INVALID_SOCKET_FD;
    return static_cast<SocketContext *>(stream->Context())->socket;
}

bool SocketStreamShutdown(const CStream *stream)
{
    Socket s = SocketStreamSocket(stream);
    return s != INVALID_SOCKET_FD && shutdown(s, SHUT_RDWR) == 0;
}

CStream *FileStreamAttach(FILE *file, bool owns, unsigned flags, const char *name)
{
    if (!file)
        return nullptr;
    auto *context = new (std::nothrow) FileContext{file, owns};
    if (!context) {
        if (owns)
            std::fclose(file);
        return nullptr;
    }
    return StreamCreate(&kFileOps, context, name, flags & (STREAM_READABLE | STREAM_WRITABLE));
}

CStream *FileStreamOpen(const char *path, const char *mode)
{
    if (!path || !mode)
        return nullptr;
    FILE *file = std::fopen(path, mode);
    if (!file)
        return nullptr;
    unsigned flags = 0;
    if (std::strchr(mode, 'r') || std::strchr(mode, '+'))
        flags |= STREAM_READABLE;
    if (std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+'))
        flags |= STREAM_WRITABLE;
    return FileStreamAttach(file, true, flags, path);
}

CStream *MemoryStreamOpen(const void *data, size_t size, const char *name)
{
    auto *context = new (std::nothrow) MemoryContext{static_cast<const uint8_t *>(data), data ? size : 0, 0};
    if (!context)
        return nullptr;
    return StreamCreate(&kMemoryOps, context, name, STREAM_READABLE);
}

}  // namespace Ambry
