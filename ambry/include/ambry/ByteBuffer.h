// A ring of bytes: appended at the write position, read from the read position.
//
// The buffer may own its block (freed with it) or wrap memory of the caller, and may
// be a read-only view. An optional limit caps how far it grows. Length is the write
// position minus the read position, plus the capacity when the data wraps or the ring
// is full. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Ambry {

class CByteBuffer {
public:
    static constexpr size_t kNoLimit = SIZE_MAX;

    // Empty, no block, no limit.
    CByteBuffer() = default;
    ~CByteBuffer() { Free(); }
    CByteBuffer(const CByteBuffer &) = delete;
    CByteBuffer &operator=(const CByteBuffer &) = delete;
    CByteBuffer(CByteBuffer &&other) noexcept;
    CByteBuffer &operator=(CByteBuffer &&other) noexcept;

    // Frees what it held and takes over memory of size bytes: as full (every byte
    // readable) or empty, owned (freed with free()) or not.
    void WrapFull(void *memory, size_t size, bool owned);
    void WrapEmpty(void *memory, size_t size, bool owned);
    // Frees what it held and becomes a read-only view of size bytes.
    void WrapReadOnly(const void *memory, size_t size);

    size_t Length() const;
    size_t Capacity() const { return m_capacity; }
    // Room left before the block is full.
    size_t Space() const { return m_capacity - Length(); }
    bool IsEmpty() const { return Length() == 0; }
    bool IsReadOnly() const { return (m_flags & kReadOnly) != 0; }
    bool OwnsBlock() const { return (m_flags & kOwned) != 0; }

    // Cap on the capacity (kNoLimit by default).
    size_t Limit() const { return m_limit; }
    void SetLimit(size_t limit) { m_limit = limit; }

    // Empties it: both positions to 0 (a read-only view stays a view of nothing).
    void Clear();

    // Stores up to size bytes; grows first when mayGrow (up to the limit). Returns the
    // number stored: 0 for a read-only buffer, otherwise what fits.
    size_t Append(const void *data, size_t size, bool mayGrow = true);
    // Copies up to size readable bytes out and consumes them; returns the count.
    size_t Read(void *data, size_t size);
    // Copies up to size readable bytes out without consuming them.
    size_t Peek(void *data, size_t size) const;
    // Consumes up to size readable bytes; returns the count.
    size_t Discard(size_t size);

    // Makes the capacity at least capacity. Enough room leaves the buffer unchanged.
    // Otherwise the new capacity is the larger of twice the old one and capacity when
    // that is within the limit, else the limit itself when capacity fits under it;
    // beyondLimit allows growing past the limit to exactly capacity. The bytes keep
    // their order and move to the start of the new block, which the buffer owns; memory
    // of the caller is left as it is (and no longer used). False when the buffer is
    // read-only, when the limit forbids it or memory runs out; the buffer is then
    // unchanged.
    [[nodiscard]] bool Ensure(size_t capacity, bool beyondLimit = false);

    // Rearranges the block so that the readable bytes are contiguous and returns their
    // start (null when there is no block). A read-only view is contiguous already.
    const uint8_t *Contiguous();
    // Reallocates an owned block to the length; false when out of memory.
    bool Shrink();
    // Releases an owned block and returns to the initial state (the limit is kept).
    void Free();

    // Gives an owned, contiguous block (length bytes) to the caller, who frees it with
    // free(); the buffer becomes empty. Null when empty or not owned.
    [[nodiscard]] uint8_t *Detach(size_t *length);

private:
    static constexpr unsigned kOwned = 1, kReadOnly = 2, kFull = 4;

    bool Reallocate(size_t capacity);

    uint8_t *m_block = nullptr;
    size_t m_capacity = 0;
    size_t m_limit = kNoLimit;
    size_t m_read = 0;
    size_t m_write = 0;
    unsigned m_flags = 0;
};

}  // namespace Ambry
