// The workstation's device list: the configured devices in list order, the devices
// removed since the last save, loading and saving the whole list, and the LAN
// search that feeds it.
//
// Threads: everything runs on the user-interface thread except the search result
// callback (on the search thread), which touches only the search target. The
// list's lock is recursive; device locks are taken inside it, never the reverse.
#pragma once

#include <ambry/Mutex.h>
#include <ambry/RefCount.h>
#include <discovery/Merge.h>
#include <store/Device.h>
#include <store/Notify.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class CDeviceSet;
struct DiscoverySession;

// Follows the changes of a device set. Called on the thread that changed the set,
// from the last registered listener to the first.
class CDeviceListListener {
public:
    virtual ~CDeviceListListener() = default;
    // device was appended to set.
    virtual void OnDeviceAdded(CDeviceSet *set, CDevice *device) = 0;
    // device was removed from set; it is still alive during the call.
    virtual void OnDeviceRemoved(CDeviceSet *set, CDevice *device) = 0;
    // all devices were removed at once.
    virtual void OnDeviceListCleared(CDeviceSet *set) = 0;
};

// An ordered set of device references with listeners and a notification target.
// A set has no lock of its own: the list's operations call it under the list's lock.
class CDeviceSet {
public:
    CDeviceSet() = default;
    ~CDeviceSet();
    CDeviceSet(const CDeviceSet &) = delete;
    CDeviceSet &operator=(const CDeviceSet &) = delete;

    size_t Count() const { return m_devices.size(); }
    // The device at index (no reference added), or none out of range.
    CDevice *At(size_t index) const;
    // The index of device, or -1.
    int IndexOf(const CDevice *device) const;
    bool Contains(const CDevice *device) const { return IndexOf(device) >= 0; }

    // Appends device (adding a reference) unless it is there already; attaches it
    // to the set's target and tells the listeners.
    void Add(CDevice *device);
    // Removes one device (detached, released); listeners get OnDeviceRemoved.
    void RemoveAt(size_t index);
    // One device: exactly RemoveAt(0). More: all removed, one OnDeviceListCleared.
    void Clear();

    // Attaches every device to target when it differs from the current one.
    void SetNotifyTarget(CNotifyTarget *target);
    CNotifyTarget *NotifyTarget() const { return m_target; }

    // The first device whose serial number equals serial byte for byte; none for
    // null or empty text. No reference added.
    CDevice *FindBySerial(const char *serial) const;
    // The first device whose resolved address is address (host order) and, when
    // port is not 0, port (host order). address 0 finds nothing. No reference added.
    CDevice *FindByAddress(uint32_t address, uint16_t port) const;
    // Some device is connecting or has frame requests outstanding.
    bool AnyBusy() const;

    void AddListener(CDeviceListListener *listener);
    void RemoveListener(CDeviceListListener *listener);

private:
    std::vector<Ambry::Ref<CDevice>> m_devices;
    std::vector<CDeviceListListener *> m_listeners;
    CNotifyTarget *m_target = nullptr;
};

class CDeviceList {
public:
    CDeviceList() = default;
    // Stops a running search, stops every device (active set last to first, then
    // the removed set) and frees both sets. Does not save.
    ~CDeviceList();
    CDeviceList(const CDeviceList &) = delete;
    CDeviceList &operator=(const CDeviceList &) = delete;

    Ambry::CMutex &Mutex() TSL_RETURN_CAPABILITY(m_mutex) { return m_mutex; }
    // The configured devices in list order; use under Mutex().
    CDeviceSet &Active() { return m_active; }
    // Devices removed since the last save, waiting to be unregistered.
    CDeviceSet &Removed() { return m_removed; }

    // Adds device to the active set (marks the list dirty) unless it is there.
    void Add(CDevice *device);
    // Moves device from the active set to the removed set (marks dirty).
    void Remove(CDevice *device);
    // Moves every active device to the removed set (marks dirty when not empty).
    void RemoveAll();

    bool IsDirty();
    void SetDirty();

    // Replaces the active set with the list stored under HKEY_CURRENT_USER, starting
    // every device. The list is clean afterwards.
    void Load();
    // Unregisters and stops removed devices, writes every active device's record and
    // the numbered list in one transaction, deletes stale numbers, then registers
    // connected capture sources. The list is clean afterwards. false when the store
    // could not be written (nothing of the list changed in the store).
    bool Save();

    // The target of the active set's devices (the main window).
    void SetNotifyTarget(CNotifyTarget *target);

    // Starts a LAN search whose results go to target as WM_DEVICE_FOUND. false
    // when a search runs already or none could start.
    bool StartSearch(CNotifyTarget *target);
    // Stops a running search (nothing when none runs).
    void StopSearch();
    bool IsSearching();

    // Some active device is busy.
    bool AnyBusy();
    // Active device by serial / address, as a new reference (or none).
    Ambry::Ref<CDevice> FindBySerial(const char *serial);
    Ambry::Ref<CDevice> FindByAddress(uint32_t address, uint16_t port);

    // Merges one search reply into the active set: a known serial from a new address
    // moves that device there (and marks the list dirty); a device known neither by
    // serial nor by address is created from the reply and added. On the thread that
    // owns the list (the listeners hear of an added device on it).
    DiscoveryMergeResult MergeDiscoveryRecord(const DiscoveryRecord &record);

private:
    static int SearchCallback(const DiscoveryRecord *record, void *self);

    Ambry::CMutex m_mutex;
    CDeviceSet m_active TSL_GUARDED_BY(m_mutex);
    CDeviceSet m_removed TSL_GUARDED_BY(m_mutex);
    DiscoverySession *m_search TSL_GUARDED_BY(m_mutex) = nullptr;
    std::atomic<CNotifyTarget *> m_searchTarget{nullptr};
    bool m_dirty TSL_GUARDED_BY(m_mutex) = false;
};
