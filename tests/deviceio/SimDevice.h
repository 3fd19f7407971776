// Simulated appliances for device tests, each on an address of its own in 127.0.0.0/8
// so that test processes running side by side never share an endpoint.
#pragma once

#include <ambry/Net.h>
#include <deviceio/DeviceIO.h>
#include <sim/Simulator.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace TestSim {

// A loopback address no other test process uses: 127.<from pid>.<n>.<n>.
inline uint32_t UniqueLoopback()
{
    static int next = 0;
    const int n = next++;
    const uint32_t second = 16 + uint32_t(getpid()) % 224;
    return 0x7F000000u | second << 16 | uint32_t(1 + n / 200) << 8 | uint32_t(2 + n % 200);
}

// A device config on a fresh address with system-chosen ports and no discovery or
// HTTP endpoint (tests switch those on when they need them).
inline Sim::DeviceConfig Config(uint32_t type = 3)
{
    Sim::DeviceConfig c;
    c.address = UniqueLoopback();
    c.port = 0;
    c.udp_port = -1;
    c.http_port = -1;
    c.type = type;
    c.serial = "SIM" + std::to_string(c.address & 0xFFFF);
    c.name = "Bench " + std::to_string(c.address & 0xFF);
    return c;
}

// Runs the given appliances for the scope of a test.
class Appliances {
public:
    explicit Appliances(const std::vector<Sim::DeviceConfig> &devices)
    {
        m_started = m_sim.Start(devices, &m_error);
    }
    explicit Appliances(const Sim::DeviceConfig &device) : Appliances(std::vector<Sim::DeviceConfig>{device}) {}
    bool Started() const { return m_started; }
    const std::string &Error() const { return m_error; }
    Sim::Simulator &Sim() { return m_sim; }
    AddressRecord Address(size_t i = 0) const
    {
        const Sim::Endpoints e = m_sim.Ports(i);
        return MakeAddressRecord(e.address, e.port);
    }
    std::string AddressText(size_t i = 0) const
    {
        const Sim::Endpoints e = m_sim.Ports(i);
        char ip[16];
        Ambry::FormatIPv4(e.address, ip);
        return std::string(ip) + ":" + std::to_string(e.port);
    }

private:
    Sim::Simulator m_sim;
    bool m_started = false;
    std::string m_error;
};

}  // namespace TestSim
