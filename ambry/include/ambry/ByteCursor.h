// Bounds-checked big-endian cursors over network bytes: a reader over a payload held
// in memory or pulled from a byte source, and a writer into a fixed buffer or onto the
// end of a byte vector. Every multi-byte integer is read and written most significant
// byte first; nothing is ever read or written outside the range the cursor was given.
// Not thread-safe: one cursor per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace Ambry {

inline uint16_t LoadBigEndian16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t LoadBigEndian32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

inline void StoreBigEndian16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

inline void StoreBigEndian32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Where a reader's bytes come from when the payload is not in memory (a connection's
// receive side).
class InputStream {
public:
    virtual ~InputStream() = default;
    // True only when all n bytes were read.
    virtual bool ReadExact(void *buffer, size_t n) = 0;
    // True only when n bytes were consumed.
    virtual bool Skip(size_t n) = 0;
};

// Reads one payload of a known size. A read past the payload's end fails and marks
// the reader failed; once failed, every read fails and reads nothing.
class BigEndianReader {
public:
    BigEndianReader(const void *data, size_t size) : m_data(static_cast<const uint8_t *>(data)), m_left(size) {}
    BigEndianReader(InputStream &source, size_t size) : m_source(&source), m_left(size) {}

    size_t Remaining() const { return m_left; }
    bool Failed() const { return m_failed; }
    // Marks the payload as malformed (a parser that rejects what it read).
    void Fail() { m_failed = true; }

    bool U8(uint8_t &v) { return Take(&v, 1); }
    bool U16(uint16_t &v)
    {
        uint8_t b[2];
        if (!Take(b, 2))
            return false;
        v = LoadBigEndian16(b);
        return true;
    }
    bool U32(uint32_t &v)
    {
        uint8_t b[4];
        if (!Take(b, 4))
            return false;
        v = LoadBigEndian32(b);
        return true;
    }
    bool I32(int32_t &v)
    {
        uint32_t u;
        if (!U32(u))
            return false;
        v = static_cast<int32_t>(u);
        return true;
    }
    bool Bytes(void *out, size_t n) { return Take(out, n); }
    bool Skip(size_t n)
    {
        if (!Claim(n))
            return false;
        if (m_source) {
            if (n != 0 && !m_source->Skip(n))
                return Broken();
        } else {
            m_data += n;
        }
        m_left -= n;
        return true;
    }
    // Consumes what is left, even after a failed read; false only when the source
    // fails. The reader stays failed if it was.
    bool SkipRest()
    {
        if (m_left == 0)
            return true;
        const bool failed = m_failed;
        m_failed = false;
        const bool ok = Skip(m_left);
        m_failed = failed || !ok;
        return ok;
    }

private:
    bool Claim(size_t n)
    {
        if (m_failed || n > m_left) {
            m_failed = true;
            return false;
        }
        return true;
    }
    // The source gave out: nothing more can be read from it.
    bool Broken()
    {
        m_failed = true;
        m_left = 0;
        return false;
    }
    bool Take(void *out, size_t n)
    {
        if (!Claim(n))
            return false;
        if (n == 0)
            return true;
        if (m_source) {
            if (!m_source->ReadExact(out, n))
                return Broken();
        } else {
            std::memcpy(out, m_data, n);
            m_data += n;
        }
        m_left -= n;
        return true;
    }

    InputStream *m_source = nullptr;
    const uint8_t *m_data = nullptr;
    size_t m_left = 0;
    bool m_failed = false;
};

// Writes into a fixed buffer (a write that does not fit writes nothing and marks the
// writer failed; later writes still fail) or appends to a byte vector, which grows.
class BigEndianWriter {
public:
    BigEndianWriter(void *data, size_t size) : m_data(static_cast<uint8_t *>(data)), m_size(size) {}
    explicit BigEndianWriter(std::vector<uint8_t> &out) : m_vector(&out) {}

    bool Failed() const { return m_failed; }
    // Bytes written so far (for a vector: its whole size).
    size_t Size() const { return m_vector ? m_vector->size() : m_pos; }

    void U8(uint8_t v)
    {
        if (uint8_t *p = Grow(1))
            *p = v;
    }
    void U16(uint16_t v)
    {
        if (uint8_t *p = Grow(2))
            StoreBigEndian16(p, v);
    }
    void U32(uint32_t v)
    {
        if (uint8_t *p = Grow(4))
            StoreBigEndian32(p, v);
    }
    void Bytes(const void *data, size_t n)
    {
        if (m_vector && n) {
            // One pass over a large block: no zero-filling before the copy.
            const uint8_t *p = static_cast<const uint8_t *>(data);
            m_vector->insert(m_vector->end(), p, p + n);
            return;
        }
        uint8_t *p = Grow(n);
        if (p && n)
            std::memcpy(p, data, n);
    }
    void Zeros(size_t n)
    {
        if (uint8_t *p = Grow(n); p && n)
            std::memset(p, 0, n);
    }
    // A text field of `field_size` bytes: at most that many bytes of the text (none
    // may be given), zero padding, no terminator when the text fills the field.
    void Text(const char *text, size_t field_size)
    {
        uint8_t *p = Grow(field_size);
        if (!p || !field_size)
            return;
        const size_t n = text ? strnlen(text, field_size) : 0;
        if (n)
            std::memcpy(p, text, n);
        std::memset(p + n, 0, field_size - n);
    }
    // Reserves n bytes for the caller to fill and returns where they start; none when
    // a fixed buffer has no room for them.
    uint8_t *Grow(size_t n)
    {
        if (m_vector) {
            const size_t at = m_vector->size();
            m_vector->resize(at + n);
            return m_vector->data() + at;
        }
        if (m_failed || n > m_size - m_pos) {
            m_failed = true;
            return nullptr;
        }
        uint8_t *p = m_data + m_pos;
        m_pos += n;
        return p;
    }

private:
    std::vector<uint8_t> *m_vector = nullptr;
    uint8_t *m_data = nullptr;
    size_t m_size = 0;
    size_t m_pos = 0;
    bool m_failed = false;
};

}  // namespace Ambry
