// The keep-alive thread stops with the last connection and starts again with the next.
// When the last connection closes on one thread while another thread opens a new one,
// the close must still return at once, not wait for some later close.
#include "Client.h"
#include <grabber/Grabber.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sys/socket.h>
#include <unistd.h>

using namespace Grabber;

namespace {

// A client on one end of a fresh socket pair; the other end is closed with it.
struct PairClient {
    PairClient()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0)
            client = AttachClient(ends[0], false, nullptr, nullptr);
    }
    ~PairClient()
    {
        if (ends[1] >= 0)
            ::close(ends[1]);
    }
    void Close()
    {
        CloseClient(client);  // closes ends[0]
        client = nullptr;
    }
    int ends[2] = {-1, -1};
    Client *client = nullptr;
};

TEST(KeepAlive, LastCloseMeetingANewConnectionReturnsAtOnce)
{
    Startup();
    int stuck = 0;
    for (int round = 0; round < 300 && stuck == 0; ++round) {
        PairClient last;
        ASSERT_NE(last.client, nullptr);
        std::atomic<bool> go{false};
        auto closing = std::async(std::launch::async, [&] {
            while (!go.load())
                ;
            last.Close();
        });
        go.store(true);
        PairClient next;  // opened while the last one closes
        ASSERT_NE(next.client, nullptr);
        if (closing.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            stuck = round + 1;
        next.Close();  // also frees a close that waited for it
        closing.wait();
    }
    EXPECT_EQ(stuck, 0) << "in round " << stuck << " the last close waited for a later one";
    Shutdown();
}

} // namespace
