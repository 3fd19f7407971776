// The simulator's discovery responder answers broadcasts, each appliance from its
// own address. Runs only inside network namespaces the test makes itself.
#include "../discovery/NetLab.h"

#include <sim/Simulator.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

namespace {

uint32_t Ip(int a, int b, int c, int d) { return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | uint32_t(d); }

// A UDP socket bound to `address` (made inside a namespace, usable from any thread).
class Asker {
public:
    explicit Asker(uint32_t address)
    {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(address);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    ~Asker() { ::close(m_fd); }
    bool Bound() const { return m_bound; }

    // Sends a discovery request with `cookie` and returns the serial of each reply
    // that echoes it, by source address, collected for 400 ms.
    std::map<uint32_t, std::string> Ask(uint32_t to, uint16_t port, uint32_t cookie)
    {
        uint8_t request[45] = {};
        std::memcpy(request + 1, &cookie, 4);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(to);
        sa.sin_port = htons(port);
        std::map<uint32_t, std::string> replies;
        if (::sendto(m_fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 45)
            return replies;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            pollfd p{m_fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                break;
            uint8_t reply[128];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            long n = ::recvfrom(m_fd, reply, sizeof reply, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n == 55 && reply[0] == 1 && std::memcmp(reply + 1, &cookie, 4) == 0)
                replies[ntohl(from.sin_addr.s_addr)] += std::string(reinterpret_cast<char *>(reply + 13));
        }
        return replies;
    }

private:
    int m_fd = -1;
    bool m_bound = false;
};

Sim::DeviceConfig Appliance(const std::string &description)
{
    Sim::DeviceConfig cfg;
    std::string error;
    EXPECT_TRUE(Sim::ParseDeviceKeys("port=0,http=off,mode=64x48@60000," + description, cfg, &error)) << error;
    return cfg;
}

// Namespace "c" (the workstation) linked to namespace "d" (the appliances, three
// addresses on one link).
class SimDiscovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string why = NetLab::Available(); !why.empty())
            GTEST_SKIP() << "skipping namespace test: " << why;
        ASSERT_TRUE(lab.AddNamespace("c") && lab.AddNamespace("d"));
        ASSERT_TRUE(lab.Link("c", "a1", "10.78.1.1/24", "d", "b1", "10.78.1.2/24"));
        for (const char *extra : {"10.78.1.3/24", "10.78.1.4/24"})
            ASSERT_TRUE(lab.AddAddress("d", "b1", extra));
    }
    NetLab lab;
};

}  // namespace

TEST_F(SimDiscovery, BroadcastsAreAnsweredByEveryApplianceFromItsOwnAddress)
{

    Sim::Simulator lan, loop;
    bool started = false;
    std::string error;
    ASSERT_TRUE(lab.RunIn("d", [&] {
        started = lan.Start({Appliance("address=10.78.1.2,udp=5557,serial=BC1"),
                             Appliance("address=10.78.1.3,udp=5557,serial=BC2"),
                             Appliance("address=10.78.1.4,udp=5557,serial=BC3,broadcast=0")},
                            &error) &&
                  loop.Start({Appliance("address=127.0.0.2,udp=5560,serial=LO2"),
                              Appliance("address=127.0.0.3,udp=5560,serial=LO3")},
                             &error);
    }));
    ASSERT_TRUE(started) << error;

    // Over the link: every appliance that answers broadcasts, once, from its own
    // address; unicast still reaches the one that does not.
    std::unique_ptr<Asker> remote;
    ASSERT_TRUE(lab.RunIn("c", [&] { remote = std::make_unique<Asker>(Ip(10, 78, 1, 1)); }));
    ASSERT_TRUE(remote->Bound());
    EXPECT_EQ(remote->Ask(0xFFFFFFFFu, 5557, 0x11223344u),
              (std::map<uint32_t, std::string>{{Ip(10, 78, 1, 2), "BC1"}, {Ip(10, 78, 1, 3), "BC2"}}));
    EXPECT_EQ(remote->Ask(Ip(10, 78, 1, 4), 5557, 0x55667788u),
              (std::map<uint32_t, std::string>{{Ip(10, 78, 1, 4), "BC3"}}));
    EXPECT_EQ(remote->Ask(Ip(10, 78, 1, 2), 5557, 0x01020304u),
              (std::map<uint32_t, std::string>{{Ip(10, 78, 1, 2), "BC1"}}));

    // On loopback: the loopback network's broadcast reaches several appliances on one
    // port; a unicast to an address without an appliance gets no answer.
    std::unique_ptr<Asker> local;
    ASSERT_TRUE(lab.RunIn("d", [&] { local = std::make_unique<Asker>(Ip(127, 0, 0, 1)); }));
    ASSERT_TRUE(local->Bound());
    EXPECT_EQ(local->Ask(Ip(127, 255, 255, 255), 5560, 0x0A0B0C0Du),
              (std::map<uint32_t, std::string>{{Ip(127, 0, 0, 2), "LO2"}, {Ip(127, 0, 0, 3), "LO3"}}));
    EXPECT_TRUE(local->Ask(Ip(127, 0, 0, 1), 5560, 0x0E0F1011u).empty());
    EXPECT_EQ(lan.Stats(2).discovery_requests, 1u);  // the unicast only
    loop.Stop();
    lan.Stop();
}
