// A notification target for the store and end-to-end tests: it queues posted device
// notifications and delivers them on the test's thread, as the user interface does.
#pragma once

#include <store/Device.h>
#include <store/Notify.h>

#include <WaitFor.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

namespace testsupport {

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

    // Delivers every queued message; returns the union of bits delivered for device
    // (for every device when none is given).
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
    // Delivers until messages for device delivered during this call carry all of want.
    bool WaitBits(CDevice *device, uint32_t want, int timeout_ms = 5000)
    {
        uint32_t seen = 0;
        return WaitFor([&] { return ((seen |= Deliver(device)) & want) == want; }, timeout_ms);
    }
    // Delivers until the bits in want have all been delivered since the last Forget.
    bool WaitSeenBits(CDevice *device, uint32_t want, int timeout_ms = 5000)
    {
        return WaitFor([&] { return ((Deliver(device) | m_seen) & want) == want; }, timeout_ms);
    }
    void Forget() { m_seen = 0; }
    size_t Queued()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_queue.size();
    }
    size_t QueuedFor(CDevice *device)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const Entry &e : m_queue)
            n += e.device == device;
        return n;
    }
    void Drain() { Deliver(); }

private:
    struct Entry {
        uint32_t bits;
        CDevice *device;
    };
    std::mutex m_mutex;
    std::deque<Entry> m_queue;
    uint32_t m_seen = 0;
};

}  // namespace testsupport
