#include "ambry/ByteBuffer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace Ambry {

CByteBuffer::CByteBuffer(CByteBuffer &&other) noexcept
    : m_block(std::exchange(other.m_block, nullptr)),
      m_capacity(std::exchange(other.m_capacity, 0)),
      m_limit(other.m_limit),
      m_read(std::exchange(other.m_read, 0)),
      m_write(std::exchange(other.m_write, 0)),
      m_flags(std::exchange(other.m_flags, 0))
{
}

CByteBuffer &CByteBuffer::operator=(CByteBuffer &&other) noexcept
{
    if (this != &other) {
        Free();
        m_block = std::exchange(other.m_block, nullptr);
        m_capacity = std::exchange(other.m_capacity, 0);
        m_limit = other.m_limit;
        m_read = std::exchange(other.m_read, 0);
        m_write = std::exchange(other.m_write, 0);
        m_flags = std::exchange(other.m_flags, 0);
    }
    return *this;
}

void CByteBuffer::WrapFull(void *memory, size_t size, bool owned)
{
    Free();
    m_block = static_cast<uint8_t *>(memory);
    m_capacity = memory ? size : 0;
    m_flags = (owned ? kOwned : 0) | (m_capacity ? kFull : 0);
}

void CByteBuffer::WrapEmpty(void *memory, size_t size, bool owned)
{
    Free();
    m_block = static_cast<uint8_t *>(memory);
    m_capacity = memory ? size : 0;
    m_flags = owned ? kOwned : 0;
}

void CByteBuffer::WrapReadOnly(const void *memory, size_t size)
{
    Free();
    m_block = static_cast<uint8_t *>(const_cast<void *>(memory));
    m_capacity = memory ? size : 0;
    m_flags = kReadOnly | (m_capacity ? kFull : 0);
}

size_t CByteBuffer::Length() const
{
    if (m_flags & kFull)
        return m_capacity;
    return m_write >= m_read ? m_write - m_read : m_write + m_capacity - m_read;
}

void CByteBuffer::Clear()
{
    m_read = 0;
    m_write = 0;
    m_flags &= ~kFull;
    if (m_flags & kReadOnly) {
        // A cleared view has nothing left to read.
        m_block = nullptr;
        m_capacity = 0;
    }
}

bool CByteBuffer::Reallocate(size_t capacity)
{
    // The readable bytes move, in order, to the start of the new block.
    size_t length = Length();
    uint8_t *block = static_cast<uint8_t *>(std::malloc(capacity ? capacity : 1));
    if (!block)
        return false;
    Peek(block, length);
    if (m_flags & kOwned)
        std::free(m_block);
    m_block = block;
    m_capacity = capacity;
    m_read = 0;
    m_write = length == capacity ? 0 : length;
    m_flags = kOwned | (length == capacity && capacity ? kFull : 0);
    return true;
}

bool CByteBuffer::Ensure(size_t capacity, bool beyondLimit)
{
    if (capacity <= m_capacity)
        return true;
    if (m_flags & kReadOnly)
        return false;
    size_t grown = m_capacity > SIZE_MAX / 2 ? SIZE_MAX : m_capacity * 2;
    size_t target = grown > capacity ? grown : capacity;
    if (target > m_limit) {
        if (capacity <= m_limit)
            target = m_limit;
        else if (beyondLimit)
            target = capacity;
        else
            return false;
    }
    return Reallocate(target);
}

size_t CByteBuffer::Append(const void *data, size_t size, bool mayGrow)
{
    if ((m_flags & kReadOnly) || size == 0 || !data)
        return 0;
    size_t length = Length();
    if (mayGrow && size > m_capacity - length && length <= SIZE_MAX - size) {
        // Grow as far as the limit allows; what still does not fit is left out.
        size_t wanted = length + size;
        if (wanted > m_limit)
            wanted = m_limit > m_capacity ? m_limit : m_capacity;
        (void)Ensure(wanted);
    }
    size_t room = m_capacity - Length();
    if (size > room)
        size = room;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    size_t stored = 0;
    while (stored < size) {
        size_t run = (m_write >= m_read && !(m_flags & kFull)) ? m_capacity - m_write : m_read - m_write;
        if (run > size - stored)
            run = size - stored;
        std::memcpy(m_block + m_write, bytes + stored, run);
        stored += run;
        m_write += run;
        if (m_write == m_capacity)
            m_write = 0;
        if (m_write == m_read)
            m_flags |= kFull;
    }
    return stored;
}

size_t CByteBuffer::Peek(void *data, size_t size) const
{
    size_t length = Length();
    if (size > length)
        size = length;
    if (size == 0)
        return 0;
    size_t first = m_capacity - m_read;
    if (first > size)
        first = size;
    std::memcpy(data, m_block + m_read, first);
    if (size > first)
        std::memcpy(static_cast<uint8_t *>(data) + first, m_block, size - first);
    return size;
}

size_t CByteBuffer::Discard(size_t size)
{
    size_t length = Length();
    if (size > length)
        size = length;
    if (size == 0)
        return 0;
    m_read = (m_read + size) % m_capacity;
    m_flags &= ~kFull;
    if (size == length) {
        m_read = 0;
        m_write = 0;
    }
    return size;
}

size_t CByteBuffer::Read(void *data, size_t size) { return Discard(Peek(data, size)); }

const uint8_t *CByteBuffer::Contiguous()
{
    if (!m_block)
        return nullptr;
    size_t length = Length();
    if (m_read + length <= m_capacity)
        return m_block + m_read;
    // Wrapped: rotate the block in place so the data starts at 0.
    uint8_t *begin = m_block;
    uint8_t *middle = m_block + m_read;
    uint8_t *end = m_block + m_capacity;
    // Three reversals rotate [begin, end) left by m_read.
    auto reverse = [](uint8_t *a, uint8_t *b) {
        while (a < --b)
            std::swap(*a++, *b);
    };
    reverse(begin, middle);
    reverse(middle, end);
    reverse(begin, end);
    m_read = 0;
    m_write = length == m_capacity ? 0 : length;
    return m_block;
}

bool CByteBuffer::Shrink()
{
    if (!(m_flags & kOwned))
        return false;
    size_t length = Length();
    if (length == m_capacity)
        return true;
    if (length == 0) {
        std::free(m_block);
        m_block = nullptr;
        m_capacity = 0;
        m_read = m_write = 0;
        m_flags = 0;
        return true;
    }
    return Reallocate(length);
}

void CByteBuffer::Free()
{
    if (m_flags & kOwned)
        std::free(m_block);
    m_block = nullptr;
    m_capacity = 0;
    m_read = 0;
    m_write = 0;
    m_flags = 0;
}

uint8_t *CByteBuffer::Detach(size_t *length)
{
    if (length)
        *length = 0;
    if (!(m_flags & kOwned) || IsEmpty())
        return nullptr;
    size_t size = Length();
    const uint8_t *start = Contiguous();
    if (start != m_block)
        std::memmove(m_block, start, size);
    uint8_t *block = m_block;
    m_block = nullptr;
    m_capacity = 0;
    m_read = m_write = 0;
    m_flags = 0;
    if (length)
        *length = size;
    return block;
}

}  // namespace Ambry
