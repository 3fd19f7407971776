// The device list and its sets; loading and saving the whole list.
#include "store/DeviceList.h"

#include "store/Registry.h"

#include <discovery/Discovery.h>
#include <discovery/Merge.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// How far past the last written number a save looks for stale entries.
constexpr size_t STALE_SCAN_WINDOW = 20;

// Search replies merged into the active set, one counted device reference at a time.
class CListMergeTarget final : public CDiscoveryMergeTarget<Ambry::Ref<CDevice>> {
public:
    explicit CListMergeTarget(CDeviceList &list) : m_list(list) {}

    Ambry::Ref<CDevice> FindBySerial(const char *serial) override { return m_list.FindBySerial(serial); }
    Ambry::Ref<CDevice> FindByAddress(uint32_t address, uint16_t port) override
    {
        return m_list.FindByAddress(address, port);
    }
    bool GetResolvedAddress(const Ambry::Ref<CDevice> &device, uint32_t *address, uint16_t *port) override
    {
        AddressRecord record;
        if (!device->GetResolvedAddress(&record))
            return false;
        *address = AddressRecordHostAddress(record);
        *port = AddressRecordHostPort(record);
        return true;
    }
    void SetAddressFromRecord(const Ambry::Ref<CDevice> &device, const DiscoveryRecord &record) override
    {
        device->SetAddressFromRecord(record.address, record.port);
    }
    void AddFromRecord(const DiscoveryRecord &record) override
    {
        if (Ambry::Ref<CDevice> device = CDevice::CreateNew(&record))
            m_list.Add(device.get());
    }
    void MarkDirty() override { m_list.SetDirty(); }

private:
    CDeviceList &m_list;
};

std::string ItemName(size_t index)
{
    char name[32];
    std::snprintf(name, sizeof(name), "Item%03zu", index);
    return name;
}

}  // namespace

// ---- CDeviceSet ----

CDeviceSet::~CDeviceSet()
{
    for (Ambry::Ref<CDevice> &device : m_devices)
        device->AttachWindow(nullptr);
}

CDevice *CDeviceSet::At(size_t index) const { return index < m_devices.size() ? m_devices[index].get() : nullptr; }

int CDeviceSet::IndexOf(const CDevice *device) const
{
    for (size_t i = 0; i < m_devices.size(); ++i) {
        if (m_devices[i].get() == device)
            return static_cast<int>(i);
    }
    return -1;
}

void CDeviceSet::Add(CDevice *device)
{
    if (!device || Contains(device))
        return;
    m_devices.push_back(Ambry::Retain(device));
    device->AttachWindow(m_target);
    for (auto it = m_listeners.rbegin(); it != m_listeners.rend(); ++it)
        (*it)->OnDeviceAdded(this, device);
}

void CDeviceSet::RemoveAt(size_t index)
{
    if (index >= m_devices.size())
        return;
    Ambry::Ref<CDevice> keep = m_devices[index];
    keep->AttachWindow(nullptr);
    m_devices.erase(m_devices.begin() + static_cast<std::ptrdiff_t>(index));
    for (auto it = m_listeners.rbegin(); it != m_listeners.rend(); ++it)
        (*it)->OnDeviceRemoved(this, keep.get());
}

void CDeviceSet::Clear()
{
    if (m_devices.size() == 1) {
        RemoveAt(0);
        return;
    }
    if (m_devices.empty())
        return;
    std::vector<Ambry::Ref<CDevice>> gone;
    gone.swap(m_devices);
    for (Ambry::Ref<CDevice> &device : gone)
        device->AttachWindow(nullptr);
    gone.clear();
    for (auto it = m_listeners.rbegin(); it != m_listeners.rend(); ++it)
        (*it)->OnDeviceListCleared(this);
}

void CDeviceSet::SetNotifyTarget(CNotifyTarget *target)
{
    if (target == m_target)
        return;
    m_target = target;
    for (Ambry::Ref<CDevice> &device : m_devices)
        device->AttachWindow(target);
}

CDevice *CDeviceSet::FindBySerial(const char *serial) const
{
    if (!serial || !*serial)
        return nullptr;
    for (const Ambry::Ref<CDevice> &device : m_devices) {
        if (device->GetSerialNumber() == serial)
            return device.get();
    }
    return nullptr;
}

CDevice *CDeviceSet::FindByAddress(uint32_t address, uint16_t port) const
{
    if (address == 0)
        return nullptr;
    for (const Ambry::Ref<CDevice> &device : m_devices) {
        AddressRecord resolved;
        if (!device->GetResolvedAddress(&resolved))
            continue;
        if (resolved.address == htonl(address) && (port == 0 || resolved.port == htons(port)))
            return device.get();
    }
    return nullptr;
}

bool CDeviceSet::AnyBusy() const
{
    return std::any_of(m_devices.begin(), m_devices.end(),
                       [](const Ambry::Ref<CDevice> &device) { return device->IsBusy(); });
}

void CDeviceSet::AddListener(CDeviceListListener *listener)
{
    if (listener && std::find(m_listeners.begin(), m_listeners.end(), listener) == m_listeners.end())
        m_listeners.push_back(listener);
}

void CDeviceSet::RemoveListener(CDeviceListListener *listener)
{
    m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), listener), m_listeners.end());
}

// ---- CDeviceList ----

CDeviceList::~CDeviceList()
{
    StopSearch();
    Ambry::CLock lock(m_mutex);
    for (size_t i = m_active.Count(); i-- > 0;)
        m_active.At(i)->Stop();
    m_active.Clear();
    for (size_t i = m_removed.Count(); i-- > 0;)
        m_removed.At(i)->Stop();
    m_removed.Clear();
}

void CDeviceList::Add(CDevice *device)
{
    Ambry::CLock lock(m_mutex);
    if (!device || m_active.Contains(device))
        return;
    m_active.Add(device);
    m_dirty = true;
}

void CDeviceList::Remove(CDevice *device)
{
    Ambry::CLock lock(m_mutex);
    int index = m_active.IndexOf(device);
    if (index < 0)
        return;
    m_removed.Add(device);
    m_active.RemoveAt(static_cast<size_t>(index));
    m_dirty = true;
}

void CDeviceList::RemoveAll()
{
    Ambry::CLock lock(m_mutex);
    if (m_active.Count() == 0)
        return;
    for (size_t i = 0; i < m_active.Count(); ++i)
        m_removed.Add(m_active.At(i));
    m_active.Clear();
    m_dirty = true;
}

bool CDeviceList::IsDirty()
{
    Ambry::CLock lock(m_mutex);
    return m_dirty;
}

void CDeviceList::SetDirty()
{
    Ambry::CLock lock(m_mutex);
    m_dirty = true;
}

void CDeviceList::Load()
{
    Ambry::CLock lock(m_mutex);
    m_active.Clear();
    // Records are read under one view of the store; workers start after it ends, since
    // a worker may hold its device's lock while it waits for the store.
    std::vector<Ambry::Ref<CDevice>> loaded;
    {
        CStoreTransaction view(CStoreTransaction::Mode::Read);
        CKey key(OpenKey(HKEY_CURRENT_USER, DEVICES_KEY_PATH, KEY_READ));
        char name[STORE_VALUE_NAME_BUFFER];
        for (uint32_t index = 0; key; ++index) {
            if (!StoreEnumValue(key.get(), index, name, sizeof(name))) {
                // A foreign value with an over-long name is passed over, not taken as the end.
                if (StoreLastError() == STORE_ERROR_MORE_DATA)
                    continue;
                break;
            }
            std::string text;
            if (!ReadText(key.get(), name, &text))
                break;  // a value that is not text ends the list
            GUID clsid;
            if (!GuidFromText(text.c_str(), &clsid))
                continue;
            // The same identifier twice would give two live devices writing one record.
            bool duplicate = std::any_of(loaded.begin(), loaded.end(), [&](const Ambry::Ref<CDevice> &device) {
                return device->ClassId().Guid() == clsid;
            });
            if (!duplicate)
                loaded.push_back(CDevice::LoadFromStore(clsid));
        }
        view.Commit();
    }
    for (Ambry::Ref<CDevice> &device : loaded) {
        if (device->StartWorker())
            m_active.Add(device.get());
    }
    m_dirty = false;
}

bool CDeviceList::Save()
{
    Ambry::CLock lock(m_mutex);
    const size_t removedCount = m_removed.Count();

    // Removed devices: stop them first, so their workers write no record again, and
    // note the identifiers whose registration goes.
    std::vector<std::string> unregister;
    for (size_t i = removedCount; i-- > 0;) {
        CDevice *device = m_removed.At(i);
        Ambry::CLock deviceLock(device->Mutex());
        unregister.emplace_back(device->GuidText());
        GUID audio;
        if (device->GetAudioClassId(&audio)) {
            char text[GUID_TEXT_LENGTH + 1];
            GuidToText(audio, text);
            unregister.emplace_back(text);
        }
        device->Stop();
    }

    // Each active device's record, copied under its own lock.
    std::vector<DeviceRecordSnapshot> records;
    records.reserve(m_active.Count());
    for (size_t i = 0; i < m_active.Count(); ++i)
        records.push_back(m_active.At(i)->Snapshot());

    // One transaction: a crash leaves the old list or the new one, never half of each.
    // No device lock is taken inside it (a worker may hold its lock while it writes).
    bool written = false;
    {
        CStoreTransaction transaction;
        if (transaction.Active()) {
            for (const std::string &id : unregister)
                DeleteRegistration(id.c_str());
            if (CKey list{CreateKeyPath(HKEY_CURRENT_USER, DEVICES_KEY_PATH)}) {
                bool ok = true;
                for (size_t i = 0; i < records.size(); ++i) {
                    m_active.At(i)->WriteSnapshot(records[i]);
                    ok = WriteText(list.get(), ItemName(i).c_str(), records[i].clsid.Text()) && ok;
                }
                size_t limit = records.size() + removedCount + STALE_SCAN_WINDOW;
                for (size_t i = records.size(); i < limit; ++i) {
                    std::string name = ItemName(i);
                    if (ValueExists(list.get(), name.c_str())) {
                        ok = DeleteValue(list.get(), name.c_str()) && ok;
                        limit = i + STALE_SCAN_WINDOW;
                    }
                }
                written = ok && transaction.Commit();
            }
        }
    }
    if (!written)
        return false;  // the list stays dirty and the removed devices wait for the next save

    while (m_removed.Count() > 0)
        m_removed.RemoveAt(m_removed.Count() - 1);
    // Registration runs after the commit: the filter writes the store through its own
    // connection and would wait for our transaction.
    for (size_t i = 0; i < m_active.Count(); ++i)
        m_active.At(i)->RegisterSource();
    m_dirty = false;
    return true;
}

void CDeviceList::SetNotifyTarget(CNotifyTarget *target)
{
    Ambry::CLock lock(m_mutex);
    m_active.SetNotifyTarget(target);
}

int CDeviceList::SearchCallback(const DiscoveryRecord *record, void *self)
{
    CDeviceList *list = static_cast<CDeviceList *>(self);
    if (CNotifyTarget *target = list->m_searchTarget.load())
        target->PostDeviceFound(*record);
    return 1;
}

bool CDeviceList::StartSearch(CNotifyTarget *target)
{
    Ambry::CLock lock(m_mutex);
    if (m_search)
        return false;
    m_searchTarget.store(target);
    m_search = StartDiscovery(0, 0, nullptr, &CDeviceList::SearchCallback, this);
    if (!m_search)
        m_searchTarget.store(nullptr);
    return m_search != nullptr;
}

void CDeviceList::StopSearch()
{
    DiscoverySession *search;
    {
        Ambry::CLock lock(m_mutex);
        search = m_search;
        m_search = nullptr;
        m_searchTarget.store(nullptr);
    }
    StopDiscovery(search);
}

bool CDeviceList::IsSearching()
{
    Ambry::CLock lock(m_mutex);
    return m_search != nullptr;
}

bool CDeviceList::AnyBusy()
{
    Ambry::CLock lock(m_mutex);
    return m_active.AnyBusy();
}

Ambry::Ref<CDevice> CDeviceList::FindBySerial(const char *serial)
{
    Ambry::CLock lock(m_mutex);
    return Ambry::Retain(m_active.FindBySerial(serial));
}

Ambry::Ref<CDevice> CDeviceList::FindByAddress(uint32_t address, uint16_t port)
{
    Ambry::CLock lock(m_mutex);
    return Ambry::Retain(m_active.FindByAddress(address, port));
}

DiscoveryMergeResult CDeviceList::MergeDiscoveryRecord(const DiscoveryRecord &record)
{
    CListMergeTarget target(*this);
    return ::MergeDiscoveryRecord(target, record);
}
