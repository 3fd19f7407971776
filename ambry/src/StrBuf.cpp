#include "ambry/StrBuf.h"

#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Ambry {

WStrBuf::WStrBuf(char *inlineBuffer, size_t inlineCapacity)
{
    if (inlineBuffer && inlineCapacity > 0) {
        m_inline = inlineBuffer;
        m_buffer = inlineBuffer;
        m_capacity = inlineCapacity;
        m_buffer[0] = '\0';
    }
}

WStrBuf::~WStrBuf()
{
    if (m_buffer != m_inline)
        std::free(m_buffer);
}

WStrBuf &WStrBuf::operator=(const WStrBuf &other)
{
    if (this != &other)
        (void)Set(other.c_str(), other.Length());
    return *this;
}

bool WStrBuf::GrowFor(size_t needed, size_t minimumStep)
{
    if (needed <= m_capacity)
        return true;
    size_t grown = m_capacity * 3 / 2 + 1;
    if (grown < m_capacity + minimumStep)
        grown = m_capacity + minimumStep;
    size_t capacity = grown > needed ? grown : needed;
    char *block;
    if (m_buffer == nullptr || m_buffer == m_inline) {
        // Leaving the inline buffer (or the first allocation): copy, keep the inline one.
        block = static_cast<char *>(std::malloc(capacity));
        if (!block)
            return false;
        if (m_buffer)
            std::memcpy(block, m_buffer, m_length + 1);
        else
            block[0] = '\0';
    } else {
        block = static_cast<char *>(std::realloc(m_buffer, capacity));
        if (!block)
            return false;
    }
    m_buffer = block;
    m_capacity = capacity;
    return true;
}

bool WStrBuf::Reserve(size_t capacity) { return GrowFor(capacity, 0); }

bool WStrBuf::Set(const char *text) { return Set(text, text ? std::strlen(text) : 0); }

bool WStrBuf::Set(const char *text, size_t length)
{
    if (!text)
        length = 0;
    // The text may point into our own buffer: only a forward move, memmove handles it.
    if (!GrowFor(length + 1, 0))
        return false;
    if (length)
        std::memmove(m_buffer, text, length);
    m_buffer[length] = '\0';
    m_length = length;
    return true;
}

bool WStrBuf::Append(const char *text) { return Append(text, text ? std::strlen(text) : 0); }

bool WStrBuf::AppendChar(char c) { return Append(&c, 1); }

bool WStrBuf::Insert(size_t position, const char *text) { return Insert(position, text, text ? std::strlen(text) : 0); }

bool WStrBuf::Insert(size_t position, const char *text, size_t length)
{
    if (!text || length == 0)
        return m_buffer ? true : GrowFor(1, 0);
    if (position > m_length)
        position = m_length;
    // Text inside our buffer would move when the buffer is reallocated: remember its offset.
    const bool inside = m_buffer && text >= m_buffer && text < m_buffer + m_capacity;
    const size_t offset = inside ? static_cast<size_t>(text - m_buffer) : 0;
    if (length > SIZE_MAX - m_length - 1 || !GrowFor(m_length + length + 1, 0))
        return false;
    if (inside) {
        // Build the new text in a side copy; inserting a piece of ourselves is rare.
        char *copy = static_cast<char *>(std::malloc(length));
        if (!copy)
            return false;
        std::memcpy(copy, m_buffer + offset, length);
        std::memmove(m_buffer + position + length, m_buffer + position, m_length - position + 1);
        std::memcpy(m_buffer + position, copy, length);
        std::free(copy);
    } else {
        std::memmove(m_buffer + position + length, m_buffer + position, m_length - position + 1);
        std::memcpy(m_buffer + position, text, length);
    }
    m_length += length;
    return true;
}

void WStrBuf::Erase(size_t position, size_t count)
{
    if (position >= m_length || count == 0)
        return;
    if (count > m_length - position)
        count = m_length - position;
    std::memmove(m_buffer + position, m_buffer + position + count, m_length - position - count + 1);
    m_length -= count;
}

void WStrBuf::Truncate(size_t length)
{
    if (length >= m_length)
        return;
    m_length = length;
    m_buffer[length] = '\0';
}

long WStrBuf::FindChar(char c) const
{
    if (!m_buffer)
        return -1;
    const void *hit = std::memchr(m_buffer, c, m_length);
    return hit ? static_cast<const char *>(hit) - m_buffer : -1;
}

long WStrBuf::FindLastChar(char c) const
{
    for (size_t i = m_length; i > 0; --i) {
        if (m_buffer[i - 1] == c)
            return static_cast<long>(i - 1);
    }
    return -1;
}

char WStrBuf::CharAt(size_t index) const { return index < m_length ? m_buffer[index] : '\0'; }

bool WStrBuf::Equals(const char *text) const
{
    if (!text)
        text = "";
    return std::strcmp(c_str(), text) == 0;
}

bool WStrBuf::FormatV(const char *format, va_list args) { return FormatAt(0, format, args); }

bool WStrBuf::AppendFormatV(const char *format, va_list args) { return FormatAt(m_length, format, args); }

bool WStrBuf::FormatAt(size_t base, const char *format, va_list args)
{
    if (!format)
        return false;
    // Format into a side block first: the arguments may point into this very buffer,
    // which growing would move and writing would overwrite.
    char local[256];
    va_list copy;
    va_copy(copy, args);
    int written = std::vsnprintf(local, sizeof local, format, copy);
    va_end(copy);
    if (written < 0)
        return false;
    const size_t length = static_cast<size_t>(written);
    if (length < sizeof local) {
        if (!GrowFor(base + length + 1, 100))
            return false;
        std::memcpy(m_buffer + base, local, length + 1);
        m_length = base + length;
        return true;
    }
    char *block = static_cast<char *>(std::malloc(length + 1));
    if (!block)
        return false;
    va_copy(copy, args);
    std::vsnprintf(block, length + 1, format, copy);
    va_end(copy);
    bool ok = GrowFor(base + length + 1, 100);
    if (ok) {
        std::memcpy(m_buffer + base, block, length + 1);
        m_length = base + length;
    }
    std::free(block);
    return ok;
}

bool WStrBuf::Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = FormatV(format, args);
    va_end(args);
    return ok;
}

bool WStrBuf::AppendFormat(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    bool ok = AppendFormatV(format, args);
    va_end(args);
    return ok;
}

}  // namespace Ambry
