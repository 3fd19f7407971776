#include "ambry/PtrArray.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace Ambry {

CPtrArray::CPtrArray(size_t initialCapacity, EqualFn equal, ReleaseFn release) : m_equal(equal), m_release(release)
{
    if (initialCapacity)
        (void)Reserve(initialCapacity);
}

CPtrArray::~CPtrArray()
{
    Clear();
    std::free(m_elements);
}

bool CPtrArray::Reserve(size_t capacity)
{
    if (capacity <= m_capacity)
        return true;
    if (capacity > SIZE_MAX / sizeof(void *))
        return false;
    void **block = static_cast<void **>(std::realloc(m_elements, capacity * sizeof(void *)));
    if (!block)
        return false;
    m_elements = block;
    m_capacity = capacity;
    return true;
}

bool CPtrArray::GrowFor(size_t needed)
{
    if (needed <= m_capacity)
        return true;
    size_t grown = m_capacity * 3 / 2 + 1;
    return Reserve(grown > needed ? grown : needed);
}

bool CPtrArray::PushBack(void *element) { return InsertAt(m_length, element); }

bool CPtrArray::InsertAt(size_t index, void *element)
{
    if (index > m_length || !GrowFor(m_length + 1))
        return false;
    std::memmove(m_elements + index + 1, m_elements + index, (m_length - index) * sizeof(void *));
    m_elements[index] = element;
    ++m_length;
    return true;
}

void *CPtrArray::GetAt(size_t index) const { return index < m_length ? m_elements[index] : nullptr; }

bool CPtrArray::SetAt(size_t index, void *element)
{
    if (index >= m_length)
        return false;
    m_elements[index] = element;
    return true;
}

bool CPtrArray::RemoveAt(size_t index)
{
    if (index >= m_length)
        return false;
    void *element = m_elements[index];
    std::memmove(m_elements + index, m_elements + index + 1, (m_length - index - 1) * sizeof(void *));
    --m_length;
    // Release last: the release function may look at the array.
    if (m_release)
        m_release(element);
    return true;
}

bool CPtrArray::RemoveValue(const void *value)
{
    long index = Find(value);
    return index >= 0 && RemoveAt(static_cast<size_t>(index));
}

long CPtrArray::Find(const void *value) const
{
    for (size_t i = 0; i < m_length; ++i) {
        if (m_equal ? m_equal(m_elements[i], value) : m_elements[i] == value)
            return static_cast<long>(i);
    }
    return -1;
}

long CPtrArray::BinarySearch(const void *value, CompareFn compare) const
{
    size_t low = 0;
    size_t high = m_length;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        const void *element = m_elements[middle];
        int order;
        if (compare) {
            order = compare(element, value);
        } else {
            std::less<const void *> less;
            order = less(element, value) ? -1 : (less(value, element) ? 1 : 0);
        }
        if (order == 0)
            return static_cast<long>(middle);
        if (order < 0)
            low = middle + 1;
        else
            high = middle;
    }
    return ~static_cast<long>(low);
}

void CPtrArray::Clear()
{
    // Elements leave one by one from the back, so a release function sees a consistent array.
    while (m_length > 0) {
        void *element = m_elements[--m_length];
        if (m_release)
            m_release(element);
    }
}

bool CPtrArray::ShrinkToFit()
{
    if (m_length == m_capacity)
        return true;
    if (m_length == 0) {
        std::free(m_elements);
        m_elements = nullptr;
        m_capacity = 0;
        return true;
    }
    void **block = static_cast<void **>(std::realloc(m_elements, m_length * sizeof(void *)));
    if (!block)
        return false;
    m_elements = block;
    m_capacity = m_length;
    return true;
}

}  // namespace Ambry
