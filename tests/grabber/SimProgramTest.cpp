// The tessaline-sim program: its endpoints, as other tests and users reach them.
#include <sim/SimProcess.h>

#include <grabber/Grabber.h>

#include <ambry/Net.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

std::string HttpGet(uint32_t ip, uint16_t port, const char *path)
{
    Ambry::CSocket s(Ambry::SocketConnectWithTimeout(ip, port, 3000));
    if (!s.IsValid())
        return {};
    std::string request = std::string("GET ") + path + " HTTP/1.0\r\nHost: sim\r\n\r\n";
    Ambry::SocketSend(s.Get(), request.data(), request.size());
    std::string response;
    char buf[4096];
    while (Ambry::SocketWait(s.Get(), Ambry::SOCKET_READABLE, 3000) > 0) {
        long n = Ambry::SocketReceive(s.Get(), buf, sizeof buf);
        if (n <= 0)
            break;
        response.append(buf, size_t(n));
    }
    return response;
}

}  // namespace

TEST(SimProgram, ServesProtocolDiscoveryAndHttp)
{
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--device",
                    "serial=PROG1,type=9,name=Bench,mode=320x240@60000", "--device", "serial=PROG2,mode=none"});
    ASSERT_TRUE(sim.Ready());
    ASSERT_EQ(sim.DeviceCount(), 2u);
    EXPECT_EQ(sim.Device(0).address, 0x7F000002u);
    EXPECT_EQ(sim.Device(1).address, 0x7F000003u);
    EXPECT_EQ(sim.Device(0).compressed_port, 0);

    Grabber::Startup();
    Grabber::Handle *h = Grabber::Open(sim.Device(0).address, sim.Device(0).port);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(Grabber::GetSerialNumber(h), "PROG1");
    EXPECT_STREQ(Grabber::GetName(h), "Dorrivan");
    Grabber::VideoMode m;
    Grabber::GetVideoMode(h, &m);
    EXPECT_EQ(m, (Grabber::VideoMode{320, 240, 60000}));
    Grabber::Close(h);
    Grabber::Handle *dark = Grabber::Open(sim.Device(1).address, sim.Device(1).port);
    ASSERT_NE(dark, nullptr);
    Grabber::GetVideoMode(dark, &m);
    EXPECT_EQ(m.width, 0);
    Grabber::Close(dark);
    Grabber::Shutdown();

    // Discovery: a 45-byte request gets the 55-byte reply with our cookie.
    Ambry::CSocket udp(Ambry::SocketCreateBind(Ambry::SOCKET_DATAGRAM, 0x7F000001u, 0));
    ASSERT_TRUE(udp.IsValid());
    uint8_t request[45] = {0, 0xCA, 0xFE, 0xBA, 0xBE};
    ASSERT_EQ(Ambry::SocketSendTo(udp.Get(), request, sizeof request, sim.Device(0).address, sim.Device(0).udp_port), 45);
    ASSERT_GT(Ambry::SocketWait(udp.Get(), Ambry::SOCKET_READABLE, 3000), 0);
    uint8_t reply[128];
    uint32_t from = 0;
    ASSERT_EQ(Ambry::SocketReceiveFrom(udp.Get(), reply, sizeof reply, &from, nullptr), 55);
    EXPECT_EQ(from, sim.Device(0).address);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(std::memcmp(reply + 1, request + 1, 4), 0);
    EXPECT_EQ(reply[8], 9);  // device type
    EXPECT_STREQ(reinterpret_cast<char *>(reply + 13), "PROG1");
    uint16_t port = uint16_t((reply[51] << 8) | reply[52]);
    EXPECT_EQ(port, sim.Device(0).port);

    std::string jpeg = HttpGet(sim.Device(0).address, sim.Device(0).http_port, "/vw1.jpg");
    size_t body = jpeg.find("\r\n\r\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(jpeg.rfind("HTTP/1.0 200", 0), 0u);
    EXPECT_EQ(uint8_t(jpeg[body + 4]), 0xFF);
    EXPECT_EQ(uint8_t(jpeg[body + 5]), 0xD8);
    std::string admin = HttpGet(sim.Device(0).address, sim.Device(0).http_port, "/admin");
    EXPECT_NE(admin.find("PROG1"), std::string::npos);
    EXPECT_NE(admin.find("Bench"), std::string::npos);
    EXPECT_EQ(HttpGet(sim.Device(0).address, sim.Device(0).http_port, "/other").rfind("HTTP/1.0 404", 0), 0u);

    int status = sim.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SimProgram, RefusesBadSpecs)
{
    SimProcess sim({"--device", "serial=X,frobnicate=1"}, 3000);
    EXPECT_FALSE(sim.Ready());
    int status = sim.Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(SimProgram, HandleReconnectsAfterTheProgramIsKilledAndRestarted)
{
    auto sim = std::make_unique<SimProcess>(std::vector<std::string>{
        "--port", "0", "--http-port", "0", "--udp-port", "0", "--device", "serial=K1,password=pw"});
    ASSERT_TRUE(sim->Ready());
    uint32_t ip = sim->Device(0).address;
    uint16_t port = sim->Device(0).port;
    Grabber::Startup();
    Grabber::OpenOptions o;
    o.reconnect_interval_ms = 200;
    Grabber::Handle *h = Grabber::Open(ip, port, o);
    ASSERT_NE(h, nullptr);
    auto password = [](char *, char *pw, void *) {
        std::strcpy(pw, "pw");
        return true;
    };
    ASSERT_EQ(Grabber::Login(h, password, nullptr), Grabber::LOGIN_ACCEPTED);
    Grabber::SetAutoReconnect(h, true);

    sim->Stop(SIGKILL);
    auto wait = [&](bool connected) {
        for (int i = 0; i < 500 && Grabber::IsConnected(h) != connected; ++i)
            usleep(10000);
        return Grabber::IsConnected(h) == connected;
    };
    EXPECT_TRUE(wait(false));
    sim = std::make_unique<SimProcess>(std::vector<std::string>{
        "--http-port", "0", "--udp-port", "0", "--device",
        "serial=K1,password=pw,mode=1024x768@70000,port=" + std::to_string(port)});
    ASSERT_TRUE(sim->Ready());
    EXPECT_TRUE(wait(true));
    Grabber::VideoMode m;
    EXPECT_TRUE(Grabber::DetectVideoMode(h, &m));
    EXPECT_EQ(m, (Grabber::VideoMode{1024, 768, 70000}));
    Grabber::FrameRecord *f = Grabber::GrabFrame(h, Grabber::FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->image_bytes, 1024u * 768u * 3u);
    Grabber::ReleaseFrame(h, f);
    Grabber::Close(h);
    Grabber::Shutdown();
}

TEST(SimProgram, ConfigFileAndPortFile)
{
    char dir[] = "/tmp/tessaline-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string config = std::string(dir) + "/devices.conf";
    std::string ports = std::string(dir) + "/ports.txt";
    {
        std::FILE *f = std::fopen(config.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("# two appliances\n\naddress=127.0.0.5,serial=CF1,type=18\n  serial=CF2 , mode=none, udp=off\n", f);
        std::fclose(f);
    }
    SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0", "--config", config, "--port-file", ports});
    ASSERT_TRUE(sim.Ready());
    ASSERT_EQ(sim.DeviceCount(), 2u);
    EXPECT_EQ(sim.Device(0).serial, "CF1");
    EXPECT_EQ(sim.Device(0).address, 0x7F000005u);
    EXPECT_EQ(sim.Device(1).address, 0x7F000003u);  // by position
    EXPECT_EQ(sim.Device(1).udp_port, 0);
    std::FILE *f = std::fopen(ports.c_str(), "r");
    ASSERT_NE(f, nullptr);
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    std::fclose(f);
    EXPECT_EQ(std::string(line).rfind("device 0 CF1 tcp 127.0.0.5:", 0), 0u);
    sim.Stop();
    std::remove(ports.c_str());
    std::remove(config.c_str());
    rmdir(dir);
}
