// Merging search replies into a device list. The list side implements the target for
// its own device reference type; the merge rules are the same for every list.
#pragma once

#include <discovery/Discovery.h>

#include <cstdint>
#include <cstring>

// What merging one reply did.
enum DiscoveryMergeResult { MergeUnchanged = 0, MergeAddressChanged = 1, MergeAdded = 2 };

// DeviceRef: how the list hands out one of its devices (a counted reference or a
// pointer); it tests false for none.
template <class DeviceRef>
class CDiscoveryMergeTarget {
public:
    virtual ~CDiscoveryMergeTarget() = default;
    // The device with this serial number (exact match; an empty serial matches
    // nothing), or none.
    virtual DeviceRef FindBySerial(const char *serial) = 0;
    // A device whose resolved address equals `address` and, when `port` is not 0, whose
    // port equals it; devices without a resolved address never match.
    virtual DeviceRef FindByAddress(uint32_t address, uint16_t port) = 0;
    // The device's resolved address (host order); false when it has none.
    virtual bool GetResolvedAddress(const DeviceRef &device, uint32_t *address, uint16_t *port) = 0;
    // Points the device at the record's address (see FormatDiscoveredAddress).
    virtual void SetAddressFromRecord(const DeviceRef &device, const DiscoveryRecord &record) = 0;
    // Creates a device from the record and adds it to the list.
    virtual void AddFromRecord(const DiscoveryRecord &record) = 0;
    // Marks the list as needing a save.
    virtual void MarkDirty() = 0;
};

template <class DeviceRef>
DiscoveryMergeResult MergeDiscoveryRecord(CDiscoveryMergeTarget<DeviceRef> &target, const DiscoveryRecord &record)
{
    char serial[sizeof record.serial_number];
    std::memcpy(serial, record.serial_number, sizeof serial);
    serial[sizeof serial - 1] = '\0';

    // Port 0 in a reply and in a resolved address both stand for the default port.
    const auto effective = [](uint16_t port) { return port ? port : DISCOVERY_PORT; };
    if (serial[0]) {
        if (DeviceRef device = target.FindBySerial(serial)) {
            uint32_t address = 0;
            uint16_t port = 0;
            if (target.GetResolvedAddress(device, &address, &port) && address == record.address &&
                effective(port) == effective(record.port))
                return MergeUnchanged;
            target.SetAddressFromRecord(device, record);
            target.MarkDirty();
            return MergeAddressChanged;
        }
    }
    if (target.FindByAddress(record.address, record.port))
        return MergeUnchanged;
    target.AddFromRecord(record);
    return MergeAdded;
}
