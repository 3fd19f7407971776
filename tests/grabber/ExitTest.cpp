// A program may end with grabber connections still open (a tool that exits early, a
// crash handler calling exit): the library's threads must not turn that into an abort.
#include "Client.h"
#include <grabber/Grabber.h>
#include <sim/Simulator.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace Grabber;

namespace {

[[noreturn]] void ExitWithOpenConnection()
{
    Startup();
    Sim::DeviceConfig cfg;
    std::string error;
    if (!Sim::ParseDeviceKeys("port=0,http=off,udp=off", cfg, &error))
        std::_Exit(3);
    static Sim::Simulator sim;
    if (!sim.Start({cfg}, &error))
        std::_Exit(4);
    Sim::Endpoints ep = sim.Ports(0);
    ConnectOptions co;
    co.timeout_ms = 2000;
    Client *c = ConnectClient(ep.address, ep.port, co, nullptr, nullptr);
    if (!c)
        std::_Exit(5);
    // No CloseClient, no Shutdown: static destruction runs with the keep-alive thread up.
    std::exit(0);
}

} // namespace

TEST(ProcessExit, OpenConnectionsDoNotAbortTheProcess)
{
#ifdef TESSALINE_SANITIZED
    // The connection is left open on purpose; the sanitizers report that as a leak
    // (clang defines no __SANITIZE_*__ macros, so the build's own definition decides).
    GTEST_SKIP() << "leaves a connection open on purpose";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ExitWithOpenConnection(), ::testing::ExitedWithCode(0), "");
}
