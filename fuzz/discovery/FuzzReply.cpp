// Discovery replies as they arrive from the network: parsed against the search's
// cookie, then merged into a small device list.
#include <discovery/Merge.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kCookie = 0x01020304;

struct Entry {
    std::string serial;
    uint32_t address;
    uint16_t port;
};

class SmallList final : public CDiscoveryMergeTarget<Entry *> {
public:
    std::vector<Entry> entries{{"SN-0001", 0x0A000001, 5557}, {"", 0x0A000002, 6000}};
    Entry *FindBySerial(const char *serial) override
    {
        for (Entry &e : entries)
            if (!e.serial.empty() && e.serial == serial)
                return &e;
        return nullptr;
    }
    Entry *FindByAddress(uint32_t address, uint16_t port) override
    {
        for (Entry &e : entries)
            if (e.address == address && (port == 0 || e.port == port))
                return &e;
        return nullptr;
    }
    bool GetResolvedAddress(Entry *const &device, uint32_t *address, uint16_t *port) override
    {
        *address = device->address;
        *port = device->port;
        return true;
    }
    void SetAddressFromRecord(Entry *const &device, const DiscoveryRecord &record) override
    {
        device->address = record.address;
        device->port = record.port;
        (void)FormatDiscoveredAddress(record.address, record.port);
    }
    void AddFromRecord(const DiscoveryRecord &record) override
    {
        entries.push_back({record.serial_number, record.address, record.port});
    }
    void MarkDirty() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DiscoveryRecord record;
    if (!ParseDiscoveryReply(data, size, kCookie, 0x0A000003, &record))
        return 0;
    if (std::strlen(record.serial_number) > 32)
        __builtin_trap();
    SmallList list;
    MergeDiscoveryRecord(list, record);
    MergeDiscoveryRecord(list, record);
    return 0;
}
