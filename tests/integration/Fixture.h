// End-to-end fixture: a private settings store per test, a notification queue as the
// user interface keeps one, and simulated appliances on addresses of their own.
#pragma once

#include <store/Device.h>
#include <store/DeviceList.h>
#include <store/Registry.h>

#include <NotifyQueue.h>
#include <TempStore.h>
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

using testsupport::WaitFor;

// Posted notifications, delivered on the test's thread like the UI thread would.
using NotifyQueue = testsupport::NotifyQueue;

class EndToEnd : public ::testing::Test {
protected:
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

    const std::string &Dir() const { return m_store.Dir(); }

private:
    testsupport::CTempStore m_store{"tsl-e2e"};  // made first, gone last

protected:
    NotifyQueue queue;
};

}  // namespace e2e
