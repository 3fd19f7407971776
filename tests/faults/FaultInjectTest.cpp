// The fault switch itself: only the armed call of the armed kind fails, counters tell a
// runner whether its scenario reached that call.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ambry/FaultInject.h"
#include "ambry/Net.h"

using namespace Ambry;

TEST(FaultInject, OnlyTheNthCallOfTheArmedKindFailsAndTheCountersSayWhetherItWasReached)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    char byte = 'x';

    FaultArm(FaultKind::SocketSend, 2);
    EXPECT_EQ(SocketSend(pair[0], &byte, 1), 1);
    EXPECT_FALSE(FaultFired());
    errno = 0;
    EXPECT_EQ(SocketSend(pair[0], &byte, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(FaultFired());
    EXPECT_EQ(SocketSend(pair[0], &byte, 1), 1) << "only the Nth call fails";
    // Receives are counted but never fail while sends are armed.
    char got[4];
    EXPECT_EQ(SocketReceive(pair[1], got, sizeof got), 2);
    EXPECT_EQ(FaultCalls(FaultKind::SocketSend), 3u);
    EXPECT_EQ(FaultCalls(FaultKind::SocketRecv), 1u);

    // A scenario that never reaches call N runs clean: the runner's signal to stop.
    FaultArm(FaultKind::SocketRecv, 5);
    EXPECT_EQ(SocketSend(pair[0], &byte, 1), 1);
    EXPECT_EQ(SocketReceive(pair[1], got, sizeof got), 1);
    EXPECT_FALSE(FaultFired());
    EXPECT_EQ(FaultCalls(FaultKind::SocketRecv), 1u);

    FaultKind kind;
    EXPECT_TRUE(FaultKindParse("store-commit", &kind));
    EXPECT_EQ(kind, FaultKind::StoreCommit);
    EXPECT_TRUE(FaultKindParse("FileRead", &kind));
    EXPECT_EQ(kind, FaultKind::FileRead);
    EXPECT_FALSE(FaultKindParse("disk", &kind));

    FaultArm(FaultKind::SocketSend, 0);
    close(pair[0]);
    close(pair[1]);
}
