// The fixture of the device tests: simulated appliances on loopback sockets and
// the handles opened to them, closed after each test.
#pragma once

#include <grabber/Grabber.h>
#include <sim/Simulator.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace grabbertest {

using namespace Grabber;

// The rows of a top-down 24-bit picture of w x h in bottom-up order.
inline std::vector<uint8_t> BottomUp(const std::vector<uint8_t> &top_down, int w, int h)
{
    std::vector<uint8_t> out(top_down.size());
    size_t row = size_t(w) * 3;
    for (int y = 0; y < h; ++y)
        std::memcpy(out.data() + size_t(h - 1 - y) * row, top_down.data() + size_t(y) * row, row);
    return out;
}

// Timeouts short enough for tests, reconnection every 200 ms.
inline OpenOptions Quick()
{
    OpenOptions o;
    o.connect_timeout_ms = 3000;
    o.request_timeout_ms = 3000;
    o.reconnect_interval_ms = 200;
    o.frame_wait_ms = 3000;
    return o;
}

class Appliance : public ::testing::Test {
protected:
    void SetUp() override { Startup(); }
    void TearDown() override
    {
        for (Handle *h : handles)
            Close(h);
        sim.Stop();
        Shutdown();
    }

    // Starts one appliance from a description (ports chosen by the system).
    void Run(const std::string &description)
    {
        cfg = Sim::DeviceConfig{};
        cfg.port = 0;
        cfg.http_port = -1;
        cfg.udp_port = -1;
        std::string error;
        ASSERT_TRUE(Sim::ParseDeviceKeys(description, cfg, &error)) << error;
        ASSERT_TRUE(sim.Start({cfg}, &error)) << error;
        ep = sim.Ports(0);
    }

    Handle *OpenIt(const OpenOptions &o = Quick())
    {
        Handle *h = Open(ep.address, ep.port, o);
        if (h)
            handles.push_back(h);
        return h;
    }

    uint64_t Requests(uint32_t type) { return sim.Stats(0).requests[type]; }

    // The frame holds the still test picture of w x h, bottom-up.
    void ExpectPicture(const FrameRecord *f, int w, int h)
    {
        ASSERT_EQ(f->image_bytes, size_t(w) * h * 3);
        std::vector<uint8_t> want(f->image_bytes);
        Sim::RenderPattern(sim.Config(0), 0, w, h, want.data());
        want = BottomUp(want, w, h);
        EXPECT_EQ(std::memcmp(f->data, want.data(), want.size()), 0);
    }

    Sim::Simulator sim;
    Sim::DeviceConfig cfg;
    Sim::Endpoints ep;
    std::vector<Handle *> handles;
};

}  // namespace grabbertest
