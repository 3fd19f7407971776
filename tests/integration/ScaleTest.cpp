// A hundred appliances in a separate simulator process, loaded from the store: how
// long until every device is connected with a first frame, what idle connections cost
// in CPU, and the memory per connected device.
#include "Fixture.h"
#include "Slowdown.h"

#include <ambry/Net.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "../discovery/NetLab.h"

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

// tessaline-sim as a child process, stopped by the destructor.
class SimProcess {
public:
    SimProcess(const std::string &dir, const std::vector<std::string> &appliances)
    {
        const std::string config = dir + "/sim.conf", ports = dir + "/sim.ports";
        std::ofstream(config) << [&] {
            std::string all;
            for (const std::string &s : appliances)
                all += s + "\n";
            return all;
        }();
        m_pid = NetLab::SpawnArgv({std::string(TESSALINE_BIN_DIR) + "/tessaline-sim", "--config", config,
                                   "--port-file", ports},
                                  false, (dir + "/sim.log").c_str());
        m_ready = m_pid > 0 && WaitFor([&] { return std::filesystem::exists(ports); }, 20000);
    }
    ~SimProcess()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status;
            waitpid(m_pid, &status, 0);
        }
    }
    bool Ready() const { return m_ready; }

private:
    pid_t m_pid = -1;
    bool m_ready = false;
};

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
    SimProcess sim(Dir(), appliances);
    ASSERT_TRUE(sim.Ready()) << "tessaline-sim did not start";

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
