#include "ui/framework/DeviceNotify.h"

#include <discovery/Discovery.h>
#include <store/Device.h>

#include <QCoreApplication>

#include <algorithm>
#include <memory>

namespace Tessaline::Ui {

// One queued WM_DEVICE_NOTIFY. The device pointer is the message's reference; it is
// cleared (and the reference given back) by withdrawal or delivery.
class CDeviceNotifyEvent final : public QEvent {
public:
    CDeviceNotifyEvent(CDeviceNotifyTarget *target, uint32_t bits, CDevice *device)
        : QEvent(DeviceNotifyEventType), m_target(target), m_bits(bits), m_device(device)
    {
    }
    ~CDeviceNotifyEvent() override
    {
        // Not delivered (the target went away or the application quit): forget it and
        // give the reference back.
        if (m_target)
            m_target->Forget(this);
        Ambry::Adopt(m_device).reset();
    }

    CDeviceNotifyTarget *m_target;  // cleared once the target has forgotten the event
    uint32_t m_bits;
    CDevice *m_device;
};

// One queued WM_DEVICE_FOUND with its own copy of the record.
class CDeviceFoundEvent final : public QEvent {
public:
    explicit CDeviceFoundEvent(const DiscoveryRecord &record)
        : QEvent(DeviceFoundEventType), m_record(std::make_unique<DiscoveryRecord>(record))
    {
    }
    std::unique_ptr<DiscoveryRecord> m_record;
};

CDeviceNotifyTarget::CDeviceNotifyTarget(QObject *parent) : QObject(parent) {}

CDeviceNotifyTarget::~CDeviceNotifyTarget()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    // Deletes the queued events while this object is still whole; each gives back
    // its device reference.
    QCoreApplication::removePostedEvents(this);
}

void CDeviceNotifyTarget::Forget(CDeviceNotifyEvent *event)
{
    CDevice *device = nullptr;
    {
        std::lock_guard lock(m_mutex);
        std::erase(m_pending, event);
        event->m_target = nullptr;
        device = std::exchange(event->m_device, nullptr);
    }
    // Outside our lock where possible: the last reference may destroy the device.
    // (When postEvent drops an event at once, this runs inside the poster's lock;
    // the poster holds its own reference then, so nothing is destroyed.)
    Ambry::Adopt(device).reset();
}

bool CDeviceNotifyTarget::PostDeviceNotify(uint32_t bits, CDevice *device)
{
    if (!device)
        return false;
    auto event = std::make_unique<CDeviceNotifyEvent>(this, bits, device);
    // Posted under the lock, so that the destructor, which closes the target under
    // the same lock before it clears the queue, never misses an event in flight.
    // postEvent never waits for the receiving thread; an event it cannot deliver it
    // deletes at once, which forgets it (the lock is recursive for that).
    std::lock_guard lock(m_mutex);
    if (m_closed) {
        event->m_device = nullptr;  // the caller keeps its reference
        event->m_target = nullptr;
        return false;
    }
    m_pending.push_back(event.get());
    QCoreApplication::postEvent(this, event.release());
    return true;
}

void CDeviceNotifyTarget::WithdrawDeviceNotify(CDevice *device)
{
    std::vector<CDevice *> released;
    {
        std::lock_guard lock(m_mutex);
        for (CDeviceNotifyEvent *event : m_pending) {
            if (event->m_device == device && device)
                released.push_back(std::exchange(event->m_device, nullptr));
        }
        // Withdrawn events stay in Qt's queue and deliver nothing.
        std::erase_if(m_pending, [](CDeviceNotifyEvent *event) {
            if (event->m_device)
                return false;
            event->m_target = nullptr;
            return true;
        });
    }
    for (CDevice *ref : released)
        Ambry::Adopt(ref).reset();
}

bool CDeviceNotifyTarget::PostDeviceFound(const DiscoveryRecord &record)
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return false;
    QCoreApplication::postEvent(this, new CDeviceFoundEvent(record));
    return true;
}

size_t CDeviceNotifyTarget::PendingNotifyCount(const CDevice *device) const
{
    std::lock_guard lock(m_mutex);
    if (!device)
        return m_pending.size();
    return static_cast<size_t>(
        std::count_if(m_pending.begin(), m_pending.end(), [device](const CDeviceNotifyEvent *e) {
            return e->m_device == device;
        }));
}

bool CDeviceNotifyTarget::event(QEvent *event)
{
    if (event->type() == DeviceNotifyEventType) {
        auto *notify = static_cast<CDeviceNotifyEvent *>(event);
        uint32_t bits = 0;
        CDevice *device = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (notify->m_target) {
                std::erase(m_pending, notify);
                notify->m_target = nullptr;
                device = std::exchange(notify->m_device, nullptr);
                bits = notify->m_bits;
            }
        }
        if (device) {
            Ambry::Ref<CDevice> ref = Ambry::Adopt(device);
            ref->NotifyReceived(bits);
            if (m_notifyHandler)
                m_notifyHandler(bits, ref.get());
        }
        return true;
    }
    if (event->type() == DeviceFoundEventType) {
        auto *found = static_cast<CDeviceFoundEvent *>(event);
        if (found->m_record && m_foundHandler)
            m_foundHandler(*found->m_record);
        found->m_record.reset();
        return true;
    }
    return QObject::event(event);
}

}  // namespace Tessaline::Ui
