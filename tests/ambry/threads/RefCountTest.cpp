#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ambry/RefCount.h"

namespace {

std::atomic<int> g_alive{0};

class Counted : public CRefCountObj {
public:
    Counted() { g_alive.fetch_add(1); }
    int value = 7;

protected:
    ~Counted() override { g_alive.fetch_sub(1); }
};

class Derived : public Counted {};

TEST(RefCount, OwnersHoldExactlyOneReferenceEach)
{
    g_alive = 0;
    {
        Ambry::Ref<Counted> first = Ambry::Adopt(new Counted);  // takes the creator's reference
        EXPECT_EQ(first->RefCount(), 1);
        Ambry::Ref<Counted> copy = first;
        EXPECT_EQ(first->RefCount(), 2);
        Ambry::Ref<Counted> moved = std::move(copy);
        EXPECT_FALSE(copy);
        EXPECT_EQ(first->RefCount(), 2);
        Ambry::Ref<Counted> retained = Ambry::Retain(first.get());
        EXPECT_EQ(first->RefCount(), 3);
        retained = first;  // assigning the same object keeps the count
        EXPECT_EQ(first->RefCount(), 3);
        retained = nullptr;
        EXPECT_EQ(first->RefCount(), 2);

        Counted *raw = moved.Detach();  // handed to the caller, who must release it
        EXPECT_EQ(first->RefCount(), 2);
        EXPECT_EQ(raw->Release(), 1);
        EXPECT_EQ(g_alive.load(), 1);
    }
    EXPECT_EQ(g_alive.load(), 0);  // the last owner deleted it

    {
        Ambry::Ref<Derived> derived = Ambry::Adopt(new Derived);
        Ambry::Ref<Counted> base = derived;  // converting copy
        EXPECT_EQ(derived->RefCount(), 2);
        Ambry::Ref<Counted> taken = std::move(derived);
        EXPECT_EQ(base->RefCount(), 2);
        EXPECT_TRUE(taken == base.get());
    }
    EXPECT_EQ(g_alive.load(), 0);
}

TEST(RefCount, ConcurrentOwnersDeleteOnceAfterTheLastRelease)
{
    g_alive = 0;
    for (int round = 0; round < 50; ++round) {
        Ambry::Ref<Counted> shared = Ambry::Adopt(new Counted);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([copy = shared]() mutable {
                for (int i = 0; i < 200; ++i) {
                    Ambry::Ref<Counted> again = copy;
                    EXPECT_EQ(again->value, 7);
                }
                copy.reset();
            });
        shared.reset();  // the threads may now hold the last references
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(g_alive.load(), 0);
    }
}

}  // namespace
