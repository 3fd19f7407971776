// Reference-counted shared objects and the intrusive pointer that owns one reference.
//
// A CRefCountObj starts with one reference, held by whoever created it. AddRef and
// Release are atomic; the Release that reaches 0 deletes the object through its
// virtual destructor. Functions that return a new object hand that first reference to
// the caller; wrap it with Ambry::Adopt so it cannot leak.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

class CRefCountObj {
public:
    CRefCountObj() noexcept = default;
    CRefCountObj(const CRefCountObj &) = delete;
    CRefCountObj &operator=(const CRefCountObj &) = delete;

    // Adds one reference; returns the new count.
    int32_t AddRef() noexcept { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }

    // Drops one reference; the last one destroys the object. Returns the new count.
    int32_t Release() noexcept
    {
        int32_t left = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0)
            delete this;
        return left;
    }

    // The current count, for diagnostics and tests only.
    int32_t RefCount() const noexcept { return m_refCount.load(std::memory_order_acquire); }

protected:
    virtual ~CRefCountObj() = default;

private:
    std::atomic<int32_t> m_refCount{1};
};

namespace Ambry {

// Owns exactly one reference to a CRefCountObj (or nothing).
template <class T>
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref &other) noexcept : m_ptr(other.m_ptr)
    {
        if (m_ptr)
            m_ptr->AddRef();
    }
    Ref(Ref &&other) noexcept : m_ptr(std::exchange(other.m_ptr, nullptr)) {}
    template <class U>
    Ref(const Ref<U> &other) noexcept : m_ptr(other.get())
    {
        if (m_ptr)
            m_ptr->AddRef();
    }
    template <class U>
    Ref(Ref<U> &&other) noexcept : m_ptr(other.Detach())
    {
    }
    ~Ref() { reset(); }

    Ref &operator=(Ref other) noexcept
    {
        std::swap(m_ptr, other.m_ptr);
        return *this;
    }

    // Takes over a reference the caller already holds.
    static Ref Adopt(T *ptr) noexcept
    {
        Ref r;
        r.m_ptr = ptr;
        return r;
    }
    // Adds a reference of its own.
    static Ref Retain(T *ptr) noexcept
    {
        if (ptr)
            ptr->AddRef();
        return Adopt(ptr);
    }

    // Gives the reference up to the caller, who must release it.
    [[nodiscard]] T *Detach() noexcept { return std::exchange(m_ptr, nullptr); }

    void reset() noexcept
    {
        if (T *p = std::exchange(m_ptr, nullptr))
            p->Release();
    }

    T *get() const noexcept { return m_ptr; }
    T *operator->() const noexcept { return m_ptr; }
    T &operator*() const noexcept { return *m_ptr; }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }

    friend bool operator==(const Ref &a, const Ref &b) noexcept { return a.m_ptr == b.m_ptr; }
    friend bool operator==(const Ref &a, const T *b) noexcept { return a.m_ptr == b; }

private:
    T *m_ptr = nullptr;
};

template <class T>
Ref<T> Adopt(T *ptr) noexcept
{
    return Ref<T>::Adopt(ptr);
}

template <class T>
Ref<T> Retain(T *ptr) noexcept
{
    return Ref<T>::Retain(ptr);
}

}  // namespace Ambry
