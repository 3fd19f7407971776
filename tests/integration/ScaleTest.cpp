// A hundred appliances in a separate simulator process, loaded from the store: how
// long until every device is connected with a first frame, what idle connections cost
// in CPU, and the memory per connected device.
#include "Fixture.h"
#include "Slowdown.h"

#include <ambry/Net.h>
#include <sim/SimProcess.h>

#include <sys/resource.h>

#include <fstream>

using namespace e2e;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDevices = 100;

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

TEST_F(EndToEnd, HundredStoredDevicesConnectAndIdleCheaply)
{
    const uint32_t base = TestSim::UniqueLoopback() & 0xFFFF0000u;
    std::vector<std::string> appliances, addresses;
    for (int i = 0; i < kDevices; ++i) {
        const uint32_t a = base | uint32_t(10 + i / 200) << 8 | uint32_t(2 + i % 200);
        char ip[16];
        Ambry::FormatIPv4(a, ip);
        appliances.push_back(std::string("address=") + ip + ",port=5557,http=off,udp=off,type=3,mode=640x480@60000,serial=SC" +
                        std::to_string(i));
        addresses.push_back(ip);
    }
    std::string config;
    for (const std::string &a : appliances)
        config += a + "\n";
    std::ofstream(Dir() + "/sim.conf") << config;
    SimProcess sim({"--config", Dir() + "/sim.conf"}, 20000);
    ASSERT_TRUE(sim.Ready()) << "tessaline-sim did not start";
    ASSERT_EQ(sim.DeviceCount(), size_t(kDevices));

    // The stored list: one record per appliance.
    {
        CDeviceList list;
        for (const std::string &ip : addresses) {
            Ambry::Ref<CDevice> d = CDevice::CreateNew();
            ASSERT_TRUE(d);
            d->Stop();
            d->SetAddress(ip.c_str());
            list.Add(d.get());
        }
        ASSERT_TRUE(list.Save());
    }

    const long rss_before = ResidentKiB();
    CDeviceList list;
    const auto t0 = Clock::now();
    list.Load();
    auto connected_with_frame = [&] {
        Ambry::CLock lock(list.Mutex());
        size_t n = 0;
        for (size_t i = 0; i < list.Active().Count(); ++i) {
            CDevice *d = list.Active().At(i);
            n += d->HasConnection() && d->GetFrame();
        }
        return n;
    };
    ASSERT_TRUE(WaitFor([&] { return connected_with_frame() == size_t(kDevices); }, 60000))
        << connected_with_frame() << " of " << kDevices;
    const double to_last_s = std::chrono::duration<double>(Clock::now() - t0).count();
    const long rss_after = ResidentKiB();

    // Idle: keep-alive only. One keep-alive period and a little more.
    const double cpu0 = CpuSeconds();
    const auto w0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(10500));
    const double cpu_share = (CpuSeconds() - cpu0) / std::chrono::duration<double>(Clock::now() - w0).count();
    EXPECT_EQ(connected_with_frame(), size_t(kDevices));

    std::printf("%d devices: last connected with a frame after %.2f s\n", kDevices, to_last_s);
    std::printf("idle CPU of %d connected devices: %.3f %% of one core\n", kDevices, cpu_share * 100);
    std::printf("memory per connected device (640x480 frame included): %.0f KiB\n",
                double(rss_after - rss_before) / kDevices);
    EXPECT_LT(cpu_share, 0.01 * testsupport::kSlowdown);
    EXPECT_LT(to_last_s, 30.0);
}
