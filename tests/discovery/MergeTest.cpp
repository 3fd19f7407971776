// Merging search replies into a device list: who is added, whose address changes,
// when the list needs saving.
#include <discovery/Merge.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint32_t kAddr7 = 0x0A000007;  // 10.0.0.7
constexpr uint32_t kAddr8 = 0x0A000008;  // 10.0.0.8

// One device as the list pane keeps it: address text, resolved address, serial.
struct Entry {
    std::string serial;
    std::string address_text;
    bool resolved = false;
    uint32_t address = 0;
    uint16_t port = 0;
};

class DeviceTable final : public CDiscoveryMergeTarget<Entry *> {
public:
    Entry &Add(const char *serial, uint32_t address, uint16_t port)
    {
        m_entries.push_back(std::make_unique<Entry>());
        Entry &e = *m_entries.back();
        e.serial = serial;
        e.resolved = true;
        e.address = address;
        e.port = port;
        e.address_text = FormatDiscoveredAddress(address, port);
        return e;
    }

    Entry *FindBySerial(const char *serial) override
    {
        for (auto &e : m_entries)
            if (!e->serial.empty() && e->serial == serial)
                return e.get();
        return nullptr;
    }
    Entry *FindByAddress(uint32_t address, uint16_t port) override
    {
        for (auto &e : m_entries)
            if (e->resolved && e->address == address && (port == 0 || e->port == port))
                return e.get();
        return nullptr;
    }
    bool GetResolvedAddress(Entry *const &e, uint32_t *address, uint16_t *port) override
    {
        *address = e->address;
        *port = e->port;
        return e->resolved;
    }
    void SetAddressFromRecord(Entry *const &e, const DiscoveryRecord &record) override
    {
        const std::string text = FormatDiscoveredAddress(record.address, record.port);
        if (text == e->address_text)
            return;
        e->address_text = text;
        e->resolved = false;
    }
    void AddFromRecord(const DiscoveryRecord &record) override
    {
        Add(record.serial_number, record.address, record.port ? record.port : 5557);
        ++added;
        dirty = true;
    }
    void MarkDirty() override { dirty = true; }

    size_t Size() const { return m_entries.size(); }
    Entry &At(size_t i) { return *m_entries[i]; }

    bool dirty = false;
    int added = 0;

private:
    std::vector<std::unique_ptr<Entry>> m_entries;
};

DiscoveryRecord Reply(const char *serial, uint32_t address, uint16_t port)
{
    DiscoveryRecord r;
    std::strncpy(r.serial_number, serial, 32);
    r.address = address;
    r.port = port;
    return r;
}

}  // namespace

TEST(DiscoveryMerge, KnownSerialFromNewAddressRewritesTheAddress)
{
    struct Case {
        uint16_t port;
        const char *text;
    } cases[] = {{0, "10.0.0.7"}, {5557, "10.0.0.7"}, {6000, "10.0.0.7:6000"}};
    for (const Case &c : cases) {
        DeviceTable list;
        list.Add("SN1", kAddr8, 5557);
        EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN1", kAddr7, c.port)), MergeAddressChanged);
        EXPECT_EQ(list.At(0).address_text, c.text);
        EXPECT_TRUE(list.dirty);
        EXPECT_EQ(list.Size(), 1u);
    }
}

TEST(DiscoveryMerge, SameAddressChangesNothing)
{
    DeviceTable list;
    list.Add("SN1", kAddr7, 5557);
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN1", kAddr7, 0)), MergeUnchanged);
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN1", kAddr7, 5557)), MergeUnchanged);
    EXPECT_FALSE(list.dirty);

    list.Add("SN2", kAddr8, 6000);
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN2", kAddr8, 6000)), MergeUnchanged);
    EXPECT_FALSE(list.dirty);
}

TEST(DiscoveryMerge, UnknownSerialFromAKnownAddressAddsNothing)
{
    DeviceTable list;
    list.Add("SN1", kAddr7, 5557);
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN-NEW", kAddr7, 0)), MergeUnchanged);
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_FALSE(list.dirty);
}

TEST(DiscoveryMerge, DeviceFoundTwiceIsAddedOnce)
{
    DeviceTable list;
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN9", kAddr7, 0)), MergeAdded);
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("SN9", kAddr7, 0)), MergeUnchanged);
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.added, 1);

    // An empty serial never matches by serial; a new address then adds it.
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("", kAddr8, 0)), MergeAdded);
    EXPECT_EQ(MergeDiscoveryRecord(list, Reply("", kAddr8, 0)), MergeUnchanged);
    EXPECT_EQ(list.Size(), 2u);
}
