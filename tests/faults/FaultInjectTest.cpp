// The fault switch itself: only the armed call of the armed kind fails, counters tell a
// runner whether its scenario reached that call.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

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

// A program of a fault build takes its fault from the environment and reports the hit
// in the named file; this test runs itself as that program.
TEST(FaultInject, AProgramIsArmedThroughItsEnvironmentAndReportsTheHit)
{
    if (const char *armed = std::getenv("TESSALINE_FAULT"); armed) {
        // The child: the second send fails, the others go through.
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        char byte = 'x';
        EXPECT_EQ(SocketSend(pair[0], &byte, 1), 1);
        EXPECT_EQ(SocketSend(pair[0], &byte, 1), -1);
        EXPECT_EQ(SocketSend(pair[0], &byte, 1), 1);
        close(pair[0]);
        close(pair[1]);
        return;
    }
    const std::string report = testing::TempDir() + "fault-report-" + std::to_string(getpid());
    std::remove(report.c_str());
    const std::string fault = "TESSALINE_FAULT=socket-send:2", where = "TESSALINE_FAULT_REPORT=" + report;
    char filter[] = "--gtest_filter=FaultInject.AProgramIsArmedThroughItsEnvironmentAndReportsTheHit";
    char self[] = "/proc/self/exe";
    char *argv[] = {self, filter, nullptr};
    char *envp[] = {const_cast<char *>(fault.c_str()), const_cast<char *>(where.c_str()), nullptr};
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, self, nullptr, nullptr, argv, envp), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(report);
    std::string line;
    EXPECT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "socket-send:2");
    std::remove(report.c_str());
}
