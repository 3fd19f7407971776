#include <ambry/NetworkWait.h>

#include <gtest/gtest.h>

#include <thread>

// A marked thread may not wait on the network outside an allowance; other threads are
// never affected, and allowances nest.
TEST(NetworkWait, MarkedThreadsAllowancesAndOtherThreads)
{
    EXPECT_EQ(Ambry::CheckNetworkWait("unmarked"), 1);
    Ambry::ForbidNetworkWaits();
    EXPECT_TRUE(Ambry::NetworkWaitsForbidden());
    {
        Ambry::CAllowNetworkWaits outer;
        {
            Ambry::CAllowNetworkWaits inner;
            EXPECT_EQ(Ambry::CheckNetworkWait("inner"), 1);
        }
        EXPECT_EQ(Ambry::CheckNetworkWait("outer"), 1);
    }
    EXPECT_TRUE(Ambry::NetworkWaitsForbidden());
    int other = -1;
    std::thread([&] { other = Ambry::CheckNetworkWait("worker"); }).join();
    EXPECT_EQ(other, 1);
#ifdef NDEBUG
    EXPECT_EQ(Ambry::CheckNetworkWait("marked"), 0);  // reported, and the call goes on
#else
    EXPECT_DEATH(Ambry::CheckNetworkWait("WaitedRequest"), "WaitedRequest waits on the network");
#endif
    Ambry::ForbidNetworkWaits(false);
    EXPECT_EQ(Ambry::CheckNetworkWait("unmarked again"), 1);
}
