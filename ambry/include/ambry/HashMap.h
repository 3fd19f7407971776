// Hash map from pointer-sized keys to pointer-sized values, chained buckets.
//
// Bucket counts follow a fixed table of 66 primes (11, 37, 71, 127, ...). A map made
// for n expected elements starts at the first size whose 75 % exceeds n (11 for 0).
// When an insertion makes the count reach 75 % of the size, the map is rebuilt at the
// size chosen for the new count. The bucket of a key is |hash(key)| mod size; the
// default hash is the key itself and the default equality is identity. Nodes come
// from a per-thread cache of at most 128 nodes before the general allocator.
// Not thread-safe: users lock around it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Ambry {

class CHashMap {
public:
    using HashFn = intptr_t (*)(const void *key);
    using EqualFn = bool (*)(const void *a, const void *b);
    // Called for a pair that leaves the map (removed, replaced with another value,
    // cleared or destroyed).
    using ReleaseFn = void (*)(void *key, void *value);

    static constexpr int kLoadPercent = 75;
    static constexpr int kSizeCount = 66;
    // The bucket size at table index (0..65).
    static size_t SizeAt(int index);
    // The table index a map for count elements uses.
    static int IndexFor(size_t count);

    explicit CHashMap(size_t expectedCount = 0, EqualFn equal = nullptr, HashFn hash = nullptr,
                      ReleaseFn release = nullptr);
    ~CHashMap();
    CHashMap(const CHashMap &) = delete;
    CHashMap &operator=(const CHashMap &) = delete;

    // False when the bucket array could not be allocated at construction.
    bool IsValid() const { return m_buckets != nullptr; }

    size_t Count() const { return m_count; }
    size_t BucketCount() const { return SizeAt(m_sizeIndex); }

    // Value returned by Get for a missing key (initially null).
    void SetDefaultValue(void *value) { m_default = value; }

    // Stores value for key; an existing key's value is replaced (release is called on
    // the old pair when the value differs). False when out of memory (map unchanged).
    [[nodiscard]] bool Put(void *key, void *value);
    // The stored value, or the default value.
    void *Get(const void *key) const;
    // True and the value when key is present.
    bool Find(const void *key, void **value) const;
    bool Contains(const void *key) const { return Find(key, nullptr); }
    // Removes key (calling release); false when absent.
    bool Remove(const void *key);
    // Removes every pair (calling release).
    void Clear();

    // Calls visit for every pair until it returns false.
    using VisitFn = bool (*)(void *key, void *value, void *context);
    void ForEach(VisitFn visit, void *context) const;

    // Walks the pairs; the map must not change during the walk.
    class Iterator {
    public:
        explicit Iterator(const CHashMap &map) : m_map(map) {}
        // False when there are no more pairs.
        bool Next(void **key, void **value);

    private:
        const CHashMap &m_map;
        size_t m_bucket = 0;
        const void *m_node = nullptr;
    };

    struct Node;

private:
    size_t BucketOf(const void *key, size_t size) const;
    void Rebuild(int newIndex);

    size_t m_count = 0;
    int m_sizeIndex = 0;
    void *m_default = nullptr;
    HashFn m_hash;
    EqualFn m_equal;
    ReleaseFn m_release;
    Node **m_buckets = nullptr;
};

// Hash and equality for NUL-terminated text keys.
intptr_t HashText(const void *key);
bool EqualText(const void *a, const void *b);

}  // namespace Ambry
