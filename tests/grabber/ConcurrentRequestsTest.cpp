// Several threads waiting on one connection at once, with keep-alive pings in
// between: every caller gets its own reply, none is lost or handed to another.
#include "Client.h"
#include <grabber/Grabber.h>
#include <grabber/Wire.h>
#include <sim/Simulator.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Grabber;

namespace {

struct Reply {
    std::vector<uint8_t> bytes;
};

int TakeAll(Client *, PayloadReader &payload, void *context)
{
    auto *reply = static_cast<Reply *>(context);
    reply->bytes.resize(payload.Remaining());
    return payload.Bytes(reply->bytes.data(), reply->bytes.size()) ? 1 : 0;
}

}  // namespace

TEST(ConcurrentRequests, EveryCallerGetsItsOwnReply)
{
    Startup();
    SetKeepAlivePeriod(5);
    Sim::DeviceConfig cfg;
    std::string error;
    ASSERT_TRUE(Sim::ParseDeviceKeys("port=0,http=off,udp=off,type=18,serial=CONC-0001,name=Concurrent", cfg, &error))
        << error;
    Sim::Simulator sim;
    ASSERT_TRUE(sim.Start({cfg}, &error)) << error;
    Sim::Endpoints ep = sim.Ports(0);
    ConnectOptions co;
    co.timeout_ms = 5000;
    Client *c = ConnectClient(ep.address, ep.port, co, nullptr, nullptr);
    ASSERT_NE(c, nullptr);

    // What each request type answers when asked alone.
    const uint32_t types[] = {REQ_GET_SERIAL, REQ_GET_TYPE, REQ_GET_DEV_NAME, REQ_QUERY_STATE};
    std::vector<std::vector<uint8_t>> expected;
    for (uint32_t type : types) {
        Reply r;
        ASSERT_EQ(WaitedRequest(c, type, {}, TakeAll, &r), 1) << type;
        ASSERT_FALSE(r.bytes.empty()) << type;
        expected.push_back(r.bytes);
    }
    ASSERT_NE(expected[0], expected[2]);

    constexpr int kThreads = 4;
    constexpr int kRounds = 400;
    std::atomic<int> wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const size_t k = size_t(t + i) % std::size(types);
                Reply r;
                if (WaitedRequest(c, types[k], {}, TakeAll, &r) != 1) {
                    ++failed;
                    continue;
                }
                // The state carries counters of its own; its size still tells it apart.
                const bool same = types[k] == REQ_QUERY_STATE ? r.bytes.size() == expected[k].size()
                                                              : r.bytes == expected[k];
                if (!same)
                    ++wrong;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(sim.Stats(0).requests[REQ_PING], 0u);

    CloseClient(c);
    SetKeepAlivePeriod(10000);
    sim.Stop();
    Shutdown();
}
