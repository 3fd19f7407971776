// End-to-end fixture: a private settings store per test, a notification queue as the
// user interface keeps one, and simulated appliances on addresses of their own.
#pragma once

#include <store/Device.h>
#include <store/DeviceList.h>
#include <store/Registry.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "../deviceio/SimDevice.h"

namespace e2e {

template <class F>
bool WaitFor(F cond, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Posted notifications, delivered on the test's thread like the UI thread would.
class NotifyQueue final : public CNotifyTarget {
public:
    ~NotifyQueue() override { Deliver(); }
    bool PostDeviceNotify(uint32_t bits, CDevice *device) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({bits, device});
        return true;
    }
    void WithdrawDeviceNotify(CDevice *device) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->device == device) {
                it->device->Release();
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    bool PostDeviceFound(const DiscoveryRecord &) override { return true; }

    // Delivers what is queued; the union of the bits delivered for device.
    uint32_t Deliver(CDevice *device = nullptr)
    {
        std::deque<Entry> queue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            queue.swap(m_queue);
        }
        uint32_t bits = 0;
        for (Entry &e : queue) {
            if (!device || e.device == device)
                bits |= e.bits;
            e.device->NotifyReceived(e.bits);
            e.device->Release();
        }
        m_seen |= bits;
        return bits;
    }
    // Delivers until the bits in `want` have all been seen for device (since the last
    // Forget), or the time runs out.
    bool WaitBits(CDevice *device, uint32_t want, int timeout_ms)
    {
        return WaitFor([&] { return ((Deliver(device) | m_seen) & want) == want; }, timeout_ms);
    }
    void Forget() { m_seen = 0; }

private:
    struct Entry {
        uint32_t bits;
        CDevice *device;
    };
    std::mutex m_mutex;
    std::deque<Entry> m_queue;
    uint32_t m_seen = 0;
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/tsl-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        setenv("TESSALINE_STORE", (m_dir + "/registry.db").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        StoreClose();
    }
    void TearDown() override
    {
        StoreClose();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // Stops a device and waits until its worker has let it go.
    static bool StopAndJoin(CDevice *device, int timeout_ms = 15000)
    {
        device->AttachWindow(nullptr);
        device->Stop();
        return WaitFor([&] { return device->RefCount() == 1; }, timeout_ms);
    }

    // A started device pointed at `address`, posting to the queue.
    Ambry::Ref<CDevice> Connect(const std::string &address, const char *password = nullptr)
    {
        Ambry::Ref<CDevice> device = CDevice::CreateNew();
        if (!device)
            return device;
        device->AttachWindow(&queue);
        if (password)
            device->SetPassword(password);
        device->SetAddress(address.c_str());
        return device;
    }

    const std::string &Dir() const { return m_dir; }
    NotifyQueue queue;

private:
    std::string m_dir;
};

}  // namespace e2e
