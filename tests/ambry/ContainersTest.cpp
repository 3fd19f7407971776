#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ambry/PtrArray.h"
#include "ambry/Queue.h"

namespace {

using namespace Ambry;

struct Job {
    int id;
    QueueNode node;
};

std::vector<int> Ids(Queue &queue)
{
    std::vector<int> ids;
    for (QueueNode *n = queue.sentinel.next; n != &queue.sentinel; n = n->next)
        ids.push_back(AMBRY_CONTAINER_OF(n, Job, node)->id);
    return ids;
}

TEST(Queue, PushPopRemoveAndMoveKeepLinksAndCountsConsistent)
{
    Queue a, b;
    QueueInit(&a);
    QueueInit(&b);
    EXPECT_TRUE(QueueIsEmpty(&a));
    EXPECT_EQ(QueuePopFront(&a), nullptr);
    Job jobs[5] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}, {5, {}}};
    for (Job &j : jobs)
        QueuePushBack(&a, &j.node);
    EXPECT_EQ(a.count, 5);
    EXPECT_EQ(Ids(a), (std::vector<int>{1, 2, 3, 4, 5}));

    // A node in a queue belongs to it; removal unlinks it wherever it is.
    EXPECT_EQ(jobs[2].node.queue, &a);
    EXPECT_TRUE(QueueRemove(&jobs[2].node));
    EXPECT_FALSE(QueueRemove(&jobs[2].node));
    EXPECT_EQ(jobs[2].node.next, &jobs[2].node);
    EXPECT_EQ(a.count, 4);

    QueueNode *first = QueuePopFront(&a);
    EXPECT_EQ(AMBRY_CONTAINER_OF(first, Job, node)->id, 1);
    EXPECT_EQ(first->prev, first);
    EXPECT_EQ(first->queue, nullptr);

    QueuePushBack(&b, &jobs[2].node);
    QueuePushBack(&b, &jobs[3].node);  // moves job 4 out of a into b
    EXPECT_EQ(Ids(a), (std::vector<int>{2, 5}));
    EXPECT_EQ(Ids(b), (std::vector<int>{3, 4}));

    EXPECT_EQ(QueueMoveAll(&b, &b), 0);
    EXPECT_EQ(QueueMoveAll(&b, &a), 2);
    EXPECT_TRUE(QueueIsEmpty(&a));
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(QueueMoveAll(&b, &a), 0);  // empty source
    EXPECT_EQ(Ids(b), (std::vector<int>{3, 4, 2, 5}));
    EXPECT_EQ(b.count, 4);
    EXPECT_EQ(jobs[4].node.queue, &b);
    EXPECT_TRUE(QueueRemove(&jobs[4].node));  // removing a moved node fixes b's count
    EXPECT_EQ(b.count, 3);
    QueuePushFront(&b, &jobs[4].node);
    EXPECT_EQ(Ids(b), (std::vector<int>{5, 3, 4, 2}));
    // Walking backwards agrees.
    std::vector<int> back;
    for (QueueNode *n = b.sentinel.prev; n != &b.sentinel; n = n->prev)
        back.push_back(AMBRY_CONTAINER_OF(n, Job, node)->id);
    EXPECT_EQ(back, (std::vector<int>{2, 4, 3, 5}));
}

std::vector<void *> *g_releasedElements = nullptr;
void ReleaseElement(void *element) { g_releasedElements->push_back(element); }

void *P(intptr_t v) { return reinterpret_cast<void *>(v); }

TEST(PtrArray, GrowthInsertRemoveAndRelease)
{
    std::vector<void *> released;
    g_releasedElements = &released;
    {
        CPtrArray array(0, nullptr, ReleaseElement);
        EXPECT_EQ(array.GetAt(0), nullptr);
        ASSERT_TRUE(array.PushBack(P(10)));
        EXPECT_EQ(array.Capacity(), 1u);  // 0 * 3 / 2 + 1
        ASSERT_TRUE(array.PushBack(P(30)));
        EXPECT_EQ(array.Capacity(), 2u);
        ASSERT_TRUE(array.PushBack(P(40)));
        EXPECT_EQ(array.Capacity(), 4u);
        ASSERT_TRUE(array.InsertAt(1, P(20)));
        ASSERT_TRUE(array.InsertAt(4, P(50)));  // at the length: appended
        EXPECT_EQ(array.Capacity(), 7u);
        EXPECT_FALSE(array.InsertAt(6, P(60)));
        EXPECT_EQ(array.Length(), 5u);
        for (size_t i = 0; i < 5; ++i)
            EXPECT_EQ(array.GetAt(i), P(static_cast<intptr_t>(10 * (i + 1))));
        EXPECT_EQ(array.GetAt(5), nullptr);

        EXPECT_EQ(array.Find(P(30)), 2);
        EXPECT_EQ(array.Find(P(31)), -1);
        EXPECT_TRUE(array.RemoveAt(0));
        EXPECT_EQ(released, (std::vector<void *>{P(10)}));
        EXPECT_TRUE(array.RemoveValue(P(40)));
        EXPECT_FALSE(array.RemoveValue(P(40)));
        EXPECT_FALSE(array.RemoveAt(3));
        EXPECT_EQ(array.Length(), 3u);
        ASSERT_TRUE(array.ShrinkToFit());
        EXPECT_EQ(array.Capacity(), 3u);
        EXPECT_EQ(array.GetAt(2), P(50));
    }
    // The rest is released when the array goes.
    EXPECT_EQ(released.size(), 5u);
}

int CompareText(const void *a, const void *b)
{
    return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b));
}

TEST(PtrArray, BinarySearchGivesIndexOrComplementOfInsertionPoint)
{
    CPtrArray array;
    EXPECT_EQ(array.BinarySearch(P(5)), ~0L);
    for (intptr_t v : {10, 20, 30, 40})
        ASSERT_TRUE(array.PushBack(P(v)));
    EXPECT_EQ(array.BinarySearch(P(30)), 2);
    EXPECT_EQ(array.BinarySearch(P(5)), ~0L);
    EXPECT_EQ(array.BinarySearch(P(25)), ~2L);
    EXPECT_EQ(array.BinarySearch(P(99)), ~4L);

    // Keeping a sorted array with the complement.
    CPtrArray words(0, [](const void *a, const void *b) { return CompareText(a, b) == 0; });
    for (const char *w : {"pear", "apple", "fig", "kiwi", "banana"}) {
        long at = words.BinarySearch(w, CompareText);
        ASSERT_LT(at, 0);
        ASSERT_TRUE(words.InsertAt(static_cast<size_t>(~at), const_cast<char *>(w)));
    }
    const char *sorted[] = {"apple", "banana", "fig", "kiwi", "pear"};
    for (size_t i = 0; i < 5; ++i)
        EXPECT_STREQ(static_cast<const char *>(words.GetAt(i)), sorted[i]);
    char probe[] = "kiwi";
    EXPECT_EQ(words.Find(probe), 3);  // equality function, not identity
    EXPECT_EQ(words.BinarySearch(probe, CompareText), 3);
}

}  // namespace
