// The notification target of a window: devices and searches post WM_DEVICE_NOTIFY and
// WM_DEVICE_FOUND to it from any thread; the owner's handlers run on the
// user-interface thread, in posting order, one per posted message.
//
// Each queued WM_DEVICE_NOTIFY holds the one device reference that the poster added.
// Before the handler runs, the target clears the delivered bits from the device's
// notifications in flight (CDevice::NotifyReceived), so later changes post again; the
// reference is given back after the handler. WithdrawDeviceNotify drops the queued
// messages of one device (their references too) and leaves the others queued.
//
// Detach every device (AttachWindow(nullptr)) before destroying the target; posts
// that still arrive while it is being destroyed fail.
#pragma once

#include <store/Notify.h>

#include <ambry/RefCount.h>

#include <QEvent>
#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

class CDevice;
struct DiscoveryRecord;

namespace Tessaline::Ui {

// Qt event types of the two messages.
inline constexpr QEvent::Type DeviceNotifyEventType = static_cast<QEvent::Type>(QEvent::User + WM_DEVICE_NOTIFY);
inline constexpr QEvent::Type DeviceFoundEventType = static_cast<QEvent::Type>(QEvent::User + WM_DEVICE_FOUND);

class CDeviceNotifyTarget final : public QObject, public CNotifyTarget {
    Q_OBJECT
public:
    // bits, and the device (the message's reference, given back after the call).
    using NotifyHandler = std::function<void(uint32_t bits, CDevice *device)>;
    // One record found by a search (freed after the call).
    using FoundHandler = std::function<void(const DiscoveryRecord &record)>;

    explicit CDeviceNotifyTarget(QObject *parent = nullptr);
    ~CDeviceNotifyTarget() override;

    void SetNotifyHandler(NotifyHandler handler) { m_notifyHandler = std::move(handler); }
    void SetFoundHandler(FoundHandler handler) { m_foundHandler = std::move(handler); }

    bool PostDeviceNotify(uint32_t bits, CDevice *device) override;
    void WithdrawDeviceNotify(CDevice *device) override;
    bool PostDeviceFound(const DiscoveryRecord &record) override;

    // Queued WM_DEVICE_NOTIFY messages (of one device, or of all with nullptr).
    size_t PendingNotifyCount(const CDevice *device = nullptr) const;

protected:
    bool event(QEvent *event) override;

private:
    friend class CDeviceNotifyEvent;
    void Forget(class CDeviceNotifyEvent *event);

    // Guards m_pending, m_closed and each pending event's device. Recursive: an event
    // that Qt drops while it is being posted forgets itself under the poster's lock.
    mutable std::recursive_mutex m_mutex;
    std::vector<class CDeviceNotifyEvent *> m_pending;
    bool m_closed = false;
    NotifyHandler m_notifyHandler;
    FoundHandler m_foundHandler;
};

}  // namespace Tessaline::Ui
