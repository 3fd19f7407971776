// tessaline-probe as a user runs it: against simulated appliances on loopback, and its
// LAN search inside private network namespaces.
#include "Fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "../discovery/NetLab.h"
#include "../discovery/Responder.h"

using namespace e2e;

namespace {

struct Result {
    int status = -1;
    std::string out;
};

// Runs argv (argv[0] a path or a name on PATH) with stdout and stderr in a file.
Result RunProgram(const std::vector<std::string> &argv, const std::string &out_path)
{
    Result r;
    const pid_t pid = NetLab::SpawnArgv(argv, false, out_path.c_str());
    if (pid <= 0)
        return r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(out_path);
    std::stringstream ss;
    ss << in.rdbuf();
    r.out = ss.str();
    return r;
}

const std::string kProbe = std::string(TESSALINE_BIN_DIR) + "/tessaline-probe";

class Probe : public EndToEnd {
protected:
    Result Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), kProbe);
        return RunProgram(args, Dir() + "/probe.out");
    }
};

}  // namespace

TEST_F(Probe, PrintsWhatTheDeviceSaysAndSavesAFrame)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    config.name = "Rack 4";
    config.mode = {800, 600, 59940};
    config.password = "pw";
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();

    const std::string bmp = Dir() + "/frame.bmp";
    Result r = Run({sim.AddressText(), "--password", "pw", "--grab", bmp});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Login: 1 (Device OK)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Model: Tessaline\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Serial: " + config.serial + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Name: Rack 4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Video mode: 800x600 59.9 Hz\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Capture source: yes\n"), std::string::npos) << r.out;

    // A bottom-up 24-bit bitmap of the frame's size.
    std::ifstream in(bmp, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(file.size(), 54u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    auto le32 = [&](size_t at) { return uint32_t(file[at] | file[at + 1] << 8 | file[at + 2] << 16 | file[at + 3] << 24); };
    EXPECT_EQ(le32(18), 800u);
    EXPECT_EQ(le32(22), 600u);
    EXPECT_EQ(file.size(), 54u + 800u * 600u * 3u);

    // A wrong password: found, but not logged in.
    r = Run({sim.AddressText(), "--password", "nope"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Login: 3 (Login failed)\n"), std::string::npos) << r.out;
}

TEST_F(Probe, StreamFramesAndFailures)
{
    TestSim::Appliances sim(TestSim::Config(3));
    ASSERT_TRUE(sim.Started()) << sim.Error();
    const std::string dir = Dir() + "/stream";
    Result r = Run({sim.AddressText(), "--stream", "0x80000800", "--frames", "2", "--out", dir});
    EXPECT_EQ(r.status, 0) << r.out;
    for (const char *f : {"/frame-000.raw", "/frame-000.png", "/frame-001.raw", "/frame-001.png"})
        EXPECT_TRUE(std::filesystem::exists(dir + f)) << f;
    EXPECT_EQ(std::filesystem::file_size(dir + "/frame-000.raw"), 1280u * 1024u * 3u);

    r = Run({"127.0.0.1:9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Not found"), std::string::npos) << r.out;
    EXPECT_EQ(Run({"--help"}).status, 0);
    EXPECT_EQ(Run({}).status, 2);
    EXPECT_EQ(Run({"--stream", "0x800", "127.0.0.1"}).status, 2);
    EXPECT_EQ(Run({"--bogus"}).status, 2);
}

TEST_F(Probe, WatchReportsSignalChangesAndDisconnection)
{
    Sim::DeviceConfig config = TestSim::Config(3);
    TestSim::Appliances sim(config);
    ASSERT_TRUE(sim.Started()) << sim.Error();
    Result r;
    const std::string address = sim.AddressText();
    std::thread probe([&] { r = Run({address, "--watch", "3"}); });
    // What the running probe has printed so far contains text.
    const auto printed = [&](const char *text) {
        std::ifstream in(Dir() + "/probe.out");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str().find(text) != std::string::npos;
    };
    EXPECT_TRUE(WaitFor([&] { return printed(" watching for "); }, 2500));
    sim.Sim().SetSignal(0, false);
    EXPECT_TRUE(WaitFor([&] { return printed("video mode: no signal\n"); }, 2500));
    sim.Sim().Stop();
    probe.join();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("video mode: no signal\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("disconnected\n"), std::string::npos) << r.out;
}

// The search broadcasts, so it runs only inside namespaces: the probe in "c", a
// discovery responder in "d".
TEST_F(Probe, SearchFindsTheApplianceInAPrivateNetwork)
{
    const std::string why = NetLab::Available();
    if (!why.empty())
        GTEST_SKIP() << "skipping namespace test: " << why;
    NetLab lab;
    ASSERT_TRUE(lab.AddNamespace("c"));
    ASSERT_TRUE(lab.AddNamespace("d"));
    ASSERT_TRUE(lab.Link("c", "a1", "10.78.1.1/24", "d", "b1", "10.78.1.2/24"));

    Result none = RunProgram({"ip", "netns", "exec", lab.Name("c"), kProbe, "--search", "--seconds", "1"},
                             Dir() + "/none.out");
    EXPECT_EQ(none.status, 1) << none.out;

    DiscoveryRecord device;
    std::strcpy(device.serial_number, "LAB-DORRIVAN");
    device.device_type = 9;
    DiscoveryResponder responder(lab, "d", device);
    ASSERT_TRUE(responder.Ready());

    Result r = RunProgram({"ip", "netns", "exec", lab.Name("c"), kProbe, "--search", "--seconds", "2"},
                          Dir() + "/search.out");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("10.78.1.2 port 5557 type 9 (Dorrivan) serial LAB-DORRIVAN\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 device(s) answered"), std::string::npos) << r.out;
}
