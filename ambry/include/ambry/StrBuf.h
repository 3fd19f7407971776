// Text buffers: NUL-terminated bytes (UTF-8), growing as needed, never truncating.
//
// WStrBuf is the common base: it holds the length, the capacity, the buffer pointer
// and a pointer to an optional inline buffer. CStrBuf keeps its text on the heap only;
// TStrBuf<_StrBuf16|32|64|128> starts in an inline buffer of that many bytes (the
// terminating NUL included) and moves to the heap for longer texts. An inline buffer
// is never freed; a heap buffer is reallocated.
//
// Growth: to the larger of capacity * 3 / 2 + 1 and the size needed. Format and
// AppendFormat grow by at least 100 bytes and retry until the output fits.
//
// Every operation that may allocate returns true on success; on allocation failure it
// returns false and leaves the text as it was. Positions are byte offsets; a position
// past the end is clamped to the end. Text pointers passed in may point into the
// buffer itself.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace Ambry {

class WStrBuf {
public:
    virtual ~WStrBuf();

    WStrBuf(const WStrBuf &) = delete;
    WStrBuf &operator=(const WStrBuf &other);

    // The text, never null ("" when empty).
    const char *c_str() const { return m_buffer ? m_buffer : ""; }
    const char *Text() const { return c_str(); }
    size_t Length() const { return m_length; }
    // Bytes the buffer holds, terminating NUL included (0 before the first allocation).
    size_t Capacity() const { return m_capacity; }
    bool IsEmpty() const { return m_length == 0; }
    // True while the text lives in the inline buffer.
    bool IsInline() const { return m_inline != nullptr && m_buffer == m_inline; }

    [[nodiscard]] bool Set(const char *text);
    [[nodiscard]] bool Set(const char *text, size_t length);
    [[nodiscard]] bool Append(const char *text);
    [[nodiscard]] bool Append(const char *text, size_t length)
    {
        // Fast path: room left and the text is not a piece of this buffer.
        if (text && m_buffer && length < m_capacity - m_length &&
            (text + length <= m_buffer || text >= m_buffer + m_capacity)) {
            __builtin_memcpy(m_buffer + m_length, text, length);
            m_length += length;
            m_buffer[m_length] = '\0';
            return true;
        }
        return Insert(m_length, text, length);
    }
    [[nodiscard]] bool AppendChar(char c);
    [[nodiscard]] bool Insert(size_t position, const char *text);
    [[nodiscard]] bool Insert(size_t position, const char *text, size_t length);
    // Removes up to count bytes starting at position.
    void Erase(size_t position, size_t count);
    // Shortens the text to length (no change when it is already shorter).
    void Truncate(size_t length);
    // Empties the text; the buffer is kept.
    void Clear() { Truncate(0); }

    // Index of the first / last occurrence of c, or -1.
    long FindChar(char c) const;
    long FindLastChar(char c) const;
    // The byte at index, or 0 when index is out of range.
    char CharAt(size_t index) const;

    bool Equals(const char *text) const;
    bool Equals(const WStrBuf &other) const { return Equals(other.c_str()); }
    bool operator==(const char *text) const { return Equals(text); }
    bool operator==(const WStrBuf &other) const { return Equals(other); }

    // printf-style; Format replaces the text, AppendFormat appends to it.
    [[nodiscard]] bool Format(const char *format, ...) __attribute__((format(printf, 2, 3)));
    [[nodiscard]] bool AppendFormat(const char *format, ...) __attribute__((format(printf, 2, 3)));
    [[nodiscard]] bool FormatV(const char *format, va_list args);
    [[nodiscard]] bool AppendFormatV(const char *format, va_list args);

    // Makes room for at least capacity bytes (terminating NUL included).
    [[nodiscard]] bool Reserve(size_t capacity);

protected:
    // inlineBuffer may be null (heap only); inlineCapacity is its size in bytes.
    WStrBuf(char *inlineBuffer, size_t inlineCapacity);

private:
    bool GrowFor(size_t needed, size_t minimumStep);
    bool FormatAt(size_t base, const char *format, va_list args);

    size_t m_length = 0;
    size_t m_capacity = 0;
    char *m_buffer = nullptr;
    char *m_inline = nullptr;
};

// Heap buffer only.
class CStrBuf : public WStrBuf {
public:
    CStrBuf() : WStrBuf(nullptr, 0) {}
    explicit CStrBuf(const char *text) : WStrBuf(nullptr, 0) { (void)Set(text); }
    CStrBuf(const CStrBuf &other) : WStrBuf(nullptr, 0) { (void)Set(other.c_str(), other.Length()); }
    CStrBuf(const WStrBuf &other) : WStrBuf(nullptr, 0) { (void)Set(other.c_str(), other.Length()); }
    CStrBuf &operator=(const CStrBuf &other)
    {
        WStrBuf::operator=(other);
        return *this;
    }
    CStrBuf &operator=(const WStrBuf &other)
    {
        WStrBuf::operator=(other);
        return *this;
    }
};

// Inline buffer sizes for TStrBuf.
struct _StrBuf16 { static constexpr size_t kSize = 16; };
struct _StrBuf32 { static constexpr size_t kSize = 32; };
struct _StrBuf64 { static constexpr size_t kSize = 64; };
struct _StrBuf128 { static constexpr size_t kSize = 128; };

// Starts in an inline buffer of Size::kSize bytes; longer texts move to the heap.
template <class Size>
class TStrBuf : public WStrBuf {
public:
    TStrBuf() : WStrBuf(m_storage, Size::kSize) {}
    explicit TStrBuf(const char *text) : WStrBuf(m_storage, Size::kSize) { (void)Set(text); }
    TStrBuf(const TStrBuf &other) : WStrBuf(m_storage, Size::kSize) { (void)Set(other.c_str(), other.Length()); }
    TStrBuf(const WStrBuf &other) : WStrBuf(m_storage, Size::kSize) { (void)Set(other.c_str(), other.Length()); }
    TStrBuf &operator=(const TStrBuf &other)
    {
        WStrBuf::operator=(other);
        return *this;
    }
    TStrBuf &operator=(const WStrBuf &other)
    {
        WStrBuf::operator=(other);
        return *this;
    }

private:
    char m_storage[Size::kSize];
};

}  // namespace Ambry
