// Growable array of pointers with an equality function (default: identity) and a
// release function called on elements that leave the array (default: none). Not
// thread-safe. Growth: to the larger of capacity * 3 / 2 + 1 and the size needed.
// An allocation failure returns false and leaves the array as it was.
#pragma once

#include <cstddef>

namespace Ambry {

class CPtrArray {
public:
    using EqualFn = bool (*)(const void *a, const void *b);
    using ReleaseFn = void (*)(void *element);
    // Order of a and b: negative, 0 or positive.
    using CompareFn = int (*)(const void *a, const void *b);

    explicit CPtrArray(size_t initialCapacity = 0, EqualFn equal = nullptr, ReleaseFn release = nullptr);
    ~CPtrArray();  // Clear(), then frees the block
    CPtrArray(const CPtrArray &) = delete;
    CPtrArray &operator=(const CPtrArray &) = delete;

    size_t Length() const { return m_length; }
    size_t Capacity() const { return m_capacity; }
    void **Data() const { return m_elements; }

    [[nodiscard]] bool PushBack(void *element);
    // index 0 to Length(); false when out of range or out of memory.
    [[nodiscard]] bool InsertAt(size_t index, void *element);
    // Null when index is out of range.
    void *GetAt(size_t index) const;
    // Replaces an element without releasing the old one; false when out of range.
    bool SetAt(size_t index, void *element);
    // Calls release on the element and closes the gap; false when out of range.
    bool RemoveAt(size_t index);
    // Removes the first element equal to value; false when none.
    bool RemoveValue(const void *value);
    // Index of the first element equal to value, or -1.
    long Find(const void *value) const;
    // Binary search of a sorted array with compare (null: pointer order). Returns the
    // index of a match, or the bitwise complement of the insertion point.
    long BinarySearch(const void *value, CompareFn compare = nullptr) const;
    // Calls release on every element and empties the array (the block is kept).
    void Clear();
    // Reallocates the block to the length.
    bool ShrinkToFit();
    // Makes room for at least capacity elements.
    [[nodiscard]] bool Reserve(size_t capacity);

private:
    bool GrowFor(size_t needed);

    size_t m_length = 0;
    size_t m_capacity = 0;
    void **m_elements = nullptr;
    EqualFn m_equal;
    ReleaseFn m_release;
};

}  // namespace Ambry
