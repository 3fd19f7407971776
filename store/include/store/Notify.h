// Change notifications from devices to the user interface, kept free of any UI
// toolkit: the store posts to a CNotifyTarget, which the application implements
// with its event queue.
#pragma once

#include <cstdint>

class CDevice;
struct DiscoveryRecord;

inline constexpr uint32_t WM_USER = 0x0400;
// wParam: change bits; lParam: a referenced CDevice.
inline constexpr uint32_t WM_DEVICE_NOTIFY = WM_USER + 1234;
// lParam: a heap copy of a DiscoveryRecord.
inline constexpr uint32_t WM_DEVICE_FOUND = WM_USER + 1235;

// Change bits of WM_DEVICE_NOTIFY.
enum NotifyBits : uint32_t {
    NOTIFY_NAME = 1,
    NOTIFY_ADDRESS = 2,
    NOTIFY_FRAME = 4,
    NOTIFY_STATE = 8,
    NOTIFY_SIGNAL = 16,
    NOTIFY_ALL = 31,
};

// Where a device posts its changes and a search posts what it found.
//
// Posts may come from any thread (device workers, the search thread) and may be
// made while the posting device's lock is held: an implementation only queues and
// never waits for the user-interface thread. The receiver of WM_DEVICE_NOTIFY calls
// CDevice::NotifyReceived(bits) first, then acts, then releases the reference.
class CNotifyTarget {
public:
    virtual ~CNotifyTarget() = default;

    // Queues WM_DEVICE_NOTIFY with bits and device. On true the queue owns the one
    // reference the caller added to device (released after delivery or withdrawal);
    // on false the caller keeps it.
    virtual bool PostDeviceNotify(uint32_t bits, CDevice *device) = 0;

    // Removes every queued WM_DEVICE_NOTIFY that carries device, releasing the
    // reference each carried; messages of other devices stay queued. Called under
    // the device's lock; the caller holds a reference of its own.
    virtual void WithdrawDeviceNotify(CDevice *device) = 0;

    // Queues WM_DEVICE_FOUND with a copy of record (the receiver frees the copy).
    // false when the post failed (the result is lost).
    virtual bool PostDeviceFound(const DiscoveryRecord &record) = 0;
};
