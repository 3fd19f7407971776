#include "ambry/HashMap.h"

#include <cstdlib>
#include <cstring>

#include "ModuleInternal.h"

namespace Ambry {

struct CHashMap::Node {
    void *key;
    void *value;
    Node *next;
};

namespace {

const size_t kSizes[CHashMap::kSizeCount] = {
    11, 37, 71, 127, 179, 257, 359, 491, 661, 887, 1181, 1553, 2053, 2683, 3517, 4591, 6007,
    7817, 10193, 13291, 17291, 22481, 29251, 38053, 49499, 64373, 83701, 108863, 141511, 184003,
    239231, 310997, 404321, 525649, 683377, 888397, 1154947, 1501447, 1951949, 2537501, 3298807,
    4288439, 5575001, 7247533, 9421793, 12248389, 15922903, 20699753, 26909713, 34982639,
    45477503, 59120749, 76856959, 99914123, 129888349, 168854831, 219511301, 285364721,
    370974151, 482266423, 626946367, 815030309, 1059539417, 1377401287, 1790621681, 2147483647,
};

// Freed nodes kept per thread (at most 128) before they go back to the allocator.
struct NodeCache {
    static constexpr int kMax = 128;
    CHashMap::Node *head = nullptr;
    int count = 0;

    ~NodeCache() { Drain(); }
    void Drain()
    {
        while (head) {
            CHashMap::Node *next = head->next;
            std::free(head);
            head = next;
        }
        count = 0;
    }
};

thread_local NodeCache t_cache;

CHashMap::Node *NodeAlloc()
{
    NodeCache &cache = t_cache;
    if (CHashMap::Node *node = cache.head) {
        cache.head = node->next;
        --cache.count;
        return node;
    }
    return static_cast<CHashMap::Node *>(std::malloc(sizeof(CHashMap::Node)));
}

void NodeFree(CHashMap::Node *node)
{
    NodeCache &cache = t_cache;
    if (cache.count < NodeCache::kMax) {
        node->next = cache.head;
        cache.head = node;
        ++cache.count;
        return;
    }
    std::free(node);
}

size_t LoadLimit(int index) { return kSizes[index] * CHashMap::kLoadPercent / 100; }

}  // namespace

void HashModuleStop() { t_cache.Drain(); }

size_t CHashMap::SizeAt(int index)
{
    if (index < 0)
        index = 0;
    if (index >= kSizeCount)
        index = kSizeCount - 1;
    return kSizes[index];
}

int CHashMap::IndexFor(size_t count)
{
    for (int i = 0; i < kSizeCount; ++i) {
        if (LoadLimit(i) > count)
            return i;
    }
    return kSizeCount - 1;
}

CHashMap::CHashMap(size_t expectedCount, EqualFn equal, HashFn hash, ReleaseFn release)
    : m_sizeIndex(IndexFor(expectedCount)), m_hash(hash), m_equal(equal), m_release(release)
{
    m_buckets = static_cast<Node **>(std::calloc(kSizes[m_sizeIndex], sizeof(Node *)));
}

CHashMap::~CHashMap()
{
    Clear();
    std::free(m_buckets);
}

size_t CHashMap::BucketOf(const void *key, size_t size) const
{
    intptr_t h = m_hash ? m_hash(key) : reinterpret_cast<intptr_t>(key);
    // |h| without overflow for the most negative value.
    uintptr_t magnitude = h < 0 ? uintptr_t(0) - static_cast<uintptr_t>(h) : static_cast<uintptr_t>(h);
    return static_cast<size_t>(magnitude % size);
}

bool CHashMap::Find(const void *key, void **value) const
{
    if (!m_buckets)
        return false;
    for (Node *node = m_buckets[BucketOf(key, kSizes[m_sizeIndex])]; node; node = node->next) {
        if (m_equal ? m_equal(node->key, key) : node->key == key) {
            if (value)
                *value = node->value;
            return true;
        }
    }
    return false;
}

void *CHashMap::Get(const void *key) const
{
    void *value;
    return Find(key, &value) ? value : m_default;
}

bool CHashMap::Put(void *key, void *value)
{
    if (!m_buckets)
        return false;
    Node **bucket = &m_buckets[BucketOf(key, kSizes[m_sizeIndex])];
    for (Node *node = *bucket; node; node = node->next) {
        if (m_equal ? m_equal(node->key, key) : node->key == key) {
            if (node->value != value) {
                void *oldKey = node->key;
                void *oldValue = node->value;
                node->key = key;
                node->value = value;
                if (m_release)
                    m_release(oldKey, oldValue);
            }
            return true;
        }
    }
    Node *node = NodeAlloc();
    if (!node)
        return false;
    node->key = key;
    node->value = value;
    node->next = *bucket;
    *bucket = node;
    ++m_count;
    if (m_count >= LoadLimit(m_sizeIndex)) {
        int index = IndexFor(m_count);
        if (index > m_sizeIndex || index < m_sizeIndex - 1)
            Rebuild(index);
    }
    return true;
}

void CHashMap::Rebuild(int newIndex)
{
    size_t size = kSizes[newIndex];
    Node **buckets = static_cast<Node **>(std::calloc(size, sizeof(Node *)));
    if (!buckets)
        return;  // keep the current buckets: longer chains, still correct
    size_t oldSize = kSizes[m_sizeIndex];
    for (size_t i = 0; i < oldSize; ++i) {
        Node *node = m_buckets[i];
        while (node) {
            Node *next = node->next;
            Node **target = &buckets[BucketOf(node->key, size)];
            node->next = *target;
            *target = node;
            node = next;
        }
    }
    std::free(m_buckets);
    m_buckets = buckets;
    m_sizeIndex = newIndex;
}

bool CHashMap::Remove(const void *key)
{
    if (!m_buckets)
        return false;
    for (Node **link = &m_buckets[BucketOf(key, kSizes[m_sizeIndex])]; *link; link = &(*link)->next) {
        Node *node = *link;
        if (m_equal ? m_equal(node->key, key) : node->key == key) {
            *link = node->next;
            --m_count;
            void *oldKey = node->key;
            void *oldValue = node->value;
            NodeFree(node);
            if (m_release)
                m_release(oldKey, oldValue);
            return true;
        }
    }
    return false;
}

void CHashMap::Clear()
{
    if (!m_buckets)
        return;
    size_t size = kSizes[m_sizeIndex];
    for (size_t i = 0; i < size; ++i) {
        Node *node = m_buckets[i];
        m_buckets[i] = nullptr;
        while (node) {
            Node *next = node->next;
            void *key = node->key;
            void *value = node->value;
            NodeFree(node);
            --m_count;
            if (m_release)
                m_release(key, value);
            node = next;
        }
    }
}

void CHashMap::ForEach(VisitFn visit, void *context) const
{
    if (!m_buckets)
        return;
    size_t size = kSizes[m_sizeIndex];
    for (size_t i = 0; i < size; ++i) {
        for (Node *node = m_buckets[i]; node; node = node->next) {
            if (!visit(node->key, node->value, context))
                return;
        }
    }
}

bool CHashMap::Iterator::Next(void **key, void **value)
{
    if (!m_map.m_buckets)
        return false;
    const Node *node = static_cast<const Node *>(m_node);
    node = node ? node->next : nullptr;
    size_t size = kSizes[m_map.m_sizeIndex];
    while (!node && m_bucket < size)
        node = m_map.m_buckets[m_bucket++];
    m_node = node;
    if (!node)
        return false;
    if (key)
        *key = node->key;
    if (value)
        *value = node->value;
    return true;
}

intptr_t HashText(const void *key)
{
    // FNV-1a over the bytes.
    uint64_t h = 1469598103934665603ULL;
    for (const unsigned char *p = static_cast<const unsigned char *>(key); p && *p; ++p) {
        h ^= *p;
        h *= 1099511628211ULL;
    }
    return static_cast<intptr_t>(h);
}

bool EqualText(const void *a, const void *b)
{
    if (!a || !b)
        return a == b;
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0;
}

}  // namespace Ambry
