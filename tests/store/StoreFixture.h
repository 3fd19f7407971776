// A private settings store and key directory per test, and a device double that
// answers like a grabber without a network.
#pragma once

#include <store/Device.h>
#include <store/DeviceList.h>
#include <store/Registry.h>

#include <ambry/Net.h>
#include <discovery/Discovery.h>
#include <NotifyQueue.h>
#include <TempStore.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace storetest {

class StoreTest : public ::testing::Test {
protected:
    const std::string &Dir() const { return m_store.Dir(); }

private:
    testsupport::CTempStore m_store;
};

// Polls cond up to timeout_ms.
using testsupport::WaitFor;

// Stops a device and waits until its worker has let go of it.
inline void StopAndJoin(CDevice *device)
{
    device->AttachWindow(nullptr);  // queued notifications hold references too
    device->Stop();
    EXPECT_TRUE(WaitFor([&] { return device->RefCount() == 1; })) << "worker did not end";
}

// What one simulated appliance answers.
struct FakeAppliance {
    uint16_t type = 3;
    std::string serial = "SN0001";
    std::string model = "Tessaline";
    std::string name = "Lab grabber";
    bool nameReadFails = false;
    bool audio = false;
    bool captureSource = true;
    LoginStatus login = LoginOpen;
    VideoMode mode{1024, 768, 60000};
    int openDelayMs = 0;
};

// A CDeviceIO over a FakeAppliance: what a real connection would report.
class FakeDeviceIO final : public CDeviceIO {
public:
    FakeDeviceIO(const FakeAppliance &appliance, const AddressRecord &peer, std::atomic<int> *alive)
        : m_appliance(appliance), m_peer(peer), m_alive(alive)
    {
        ++*m_alive;
    }
    ~FakeDeviceIO() override { --*m_alive; }

    bool IsCaptureSource() override { return m_appliance.captureSource; }
    LoginStatus GetLoginStatus() override { return m_appliance.login; }
    LoginStatus Login(const char *) override { return m_appliance.login = LoginAccepted; }
    LoginStatus Login(CCredentialsSource &) override { return m_appliance.login = LoginAccepted; }
    void GetAddress(AddressRecord *address) override { *address = m_peer; }
    bool IsPasswordRequired() override { return m_appliance.login != LoginOpen; }
    bool HasAudio() override { return m_appliance.audio; }
    uint16_t GetDeviceType() override { return m_appliance.type; }
    const char *GetSerialNumber() override { return m_appliance.serial.c_str(); }
    const char *GetModelName() override { return m_appliance.model.c_str(); }
    bool GetAdjustments(VideoAdjustments *, AdjustmentRanges *) override { return false; }
    bool SetAdjustments(const VideoAdjustments &) override { return false; }
    const char *GetDeviceName(std::string *buffer) override
    {
        if (m_appliance.nameReadFails) {
            buffer->clear();
            return nullptr;
        }
        *buffer = m_appliance.name;
        return buffer->c_str();
    }
    bool SetDeviceName(const char *name) override
    {
        m_appliance.name = name;
        return true;
    }
    bool GetVideoMode(VideoMode *mode) override
    {
        *mode = m_appliance.mode;
        return mode->width > 0;
    }
    bool DetectVideoMode(VideoMode *mode) override { return GetVideoMode(mode); }
    Ambry::Ref<CFrame> GrabFrame() override;

private:
    FakeAppliance m_appliance;
    AddressRecord m_peer;
    std::atomic<int> *m_alive;
};

// A solid-colour frame that knows its mode.
class FakeFrame final : public CFrame {
public:
    FakeFrame(int32_t w, int32_t h, VideoMode mode) : CFrame(w, h), m_pixels(PixelBytes(), 0x80), m_mode(mode) {}
    bool GetFrameMode(VideoMode *mode) override
    {
        *mode = m_mode;
        return true;
    }
    const uint8_t *GetPixels() override { return m_pixels.data(); }

private:
    std::vector<uint8_t> m_pixels;
    VideoMode m_mode;
};

inline Ambry::Ref<CFrame> FakeDeviceIO::GrabFrame()
{
    return Ambry::Adopt<CFrame>(new FakeFrame(16, 12, m_appliance.mode));
}

// Appliances by address (network byte order) and port; installed as the opener.
class FakeNetwork {
public:
    FakeNetwork() { SetDeviceIOOpener(&FakeNetwork::Open, this); }
    ~FakeNetwork() { SetDeviceIOOpener(nullptr, nullptr); }

    void Put(const char *ip, uint16_t port, const FakeAppliance &appliance)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_appliances[Key(ip, port)] = appliance;
    }
    void Remove(const char *ip, uint16_t port)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_appliances.erase(Key(ip, port));
    }
    int Opens() const { return m_opens.load(); }
    int Alive() const { return m_alive.load(); }

private:
    static std::string Key(const char *ip, uint16_t port) { return std::string(ip) + ":" + std::to_string(port); }
    static Ambry::Ref<CDeviceIO> Open(const char *, const AddressRecord &address, void *context)
    {
        auto *self = static_cast<FakeNetwork *>(context);
        ++self->m_opens;
        char ip[16];
        Ambry::FormatIPv4(ntohl(address.address), ip);
        FakeAppliance appliance;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            auto it = self->m_appliances.find(Key(ip, ntohs(address.port)));
            if (it == self->m_appliances.end())
                return nullptr;
            appliance = it->second;
        }
        if (appliance.openDelayMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(appliance.openDelayMs));
        return Ambry::Adopt<CDeviceIO>(new FakeDeviceIO(appliance, address, &self->m_alive));
    }

    std::mutex m_mutex;
    std::map<std::string, FakeAppliance> m_appliances;
    std::atomic<int> m_opens{0};
    std::atomic<int> m_alive{0};
};

// A notification queue as the user interface keeps one.
using QueueTarget = testsupport::NotifyQueue;

}  // namespace storetest
