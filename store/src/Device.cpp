// CDevice's stored record: loading it, the copies callers read, writing it back and
// deleting the registrations of a removed device.
#include "store/Device.h"

#include "FilterModule.h"
#include "store/Protect.h"
#include "store/Registry.h"

#include <array>
#include <atomic>

namespace {

// The category instance keys a capture filter creates; the first is the class key.
constexpr std::array<const char *, 4> kRegistrationPrefixes = {
    "CLSID\\",
    "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance\\",
    "CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance\\",
    "CLSID\\{083863F1-70DE-11d0-BD40-00A0C911CE86}\\Instance\\",
};

std::atomic<const DirectShowOptionsCodec *> g_codec{nullptr};

}  // namespace

void SetDirectShowOptionsCodec(const DirectShowOptionsCodec *codec) { g_codec.store(codec); }
const DirectShowOptionsCodec *GetDirectShowOptionsCodec() { return g_codec.load(); }

// ---- life ----

CDevice::CDevice(const GUID &clsid) : m_clsid(clsid), m_filter(std::make_unique<const CFilterModule>()) {}

CDevice::~CDevice()
{
    m_frame.reset();
    m_connection.reset();
}

Ambry::Ref<CDevice> CDevice::LoadFromStore(const GUID &clsid)
{
    Ambry::Ref<CDevice> device = Ambry::Adopt(new CDevice(clsid));
    device->LoadRecord();
    return device;
}

Ambry::Ref<CDevice> CDevice::CreateFromStore(const GUID &clsid)
{
    Ambry::Ref<CDevice> device = LoadFromStore(clsid);
    if (!device->StartWorker())
        return nullptr;
    return device;
}

Ambry::Ref<CDevice> CDevice::CreateNew(const DiscoveryRecord *record)
{
    Ambry::Ref<CDevice> device = Ambry::Adopt(new CDevice(NewGuid()));
    if (!device->Start(record))
        return nullptr;
    return device;
}

void CDevice::LoadRecord()
{
    std::string keyPath = std::string(CLSID_KEY_PATH) + "\\" + m_clsid.Text();
    CKey key(OpenKey(HKEY_CLASSES_ROOT, keyPath.c_str(), KEY_READ));
    if (!key)
        return;  // no record yet: empty fields
    ReadText(key.get(), "HumanEnteredName", &m_name);
    std::string audio;
    CGuidRecord audioRecord;
    if (ReadText(key.get(), "AudioGUID", &audio) && CGuidRecord::Parse(audio.c_str(), &audioRecord))
        m_audio = audioRecord;
    if (CKey server{OpenKey(key.get(), "ServerParameters", KEY_READ)}) {
        ReadText(server.get(), "Address", &m_address);
        ReadText(server.get(), "SerialNumber", &m_serialNumber);
        uint32_t type;
        if (ReadDword(server.get(), "DeviceType", &type))
            m_deviceType = type;
        std::vector<uint8_t> blob;
        if (ReadBinary(server.get(), "Password", &blob)) {
            m_password = UnprotectPassword(blob);
            m_protectedPassword = std::move(blob);
            m_protectedFor = m_password;
        }
    }
    if (CKey video{OpenKey(key.get(), "VideoParameters", KEY_READ)}) {
        if (const DirectShowOptionsCodec *codec = GetDirectShowOptionsCodec())
            codec->read(video.get(), &m_options);
    }
}

// ---- stored fields ----

bool CDevice::GetAudioClassId(GUID *out)
{
    Ambry::CLock lock(m_mutex);
    if (!m_audio)
        return false;
    *out = m_audio->Guid();
    return true;
}

std::string CDevice::GetDisplayName()
{
    Ambry::CLock lock(m_mutex);
    if (!m_name.empty()) {
        m_displayName = m_name;
    } else if (m_connection) {
        const char *model = m_connection->GetModelName();
        const char *serial = m_connection->GetSerialNumber();
        m_displayName = std::string(model ? model : "") + " [" + (serial ? serial : "") + "]";
    } else {
        m_displayName.clear();
    }
    return m_displayName;
}

std::string CDevice::GetName()
{
    Ambry::CLock lock(m_mutex);
    return m_name;
}

std::string CDevice::GetAddress()
{
    Ambry::CLock lock(m_mutex);
    return m_address;
}

std::string CDevice::GetSerialNumber()
{
    Ambry::CLock lock(m_mutex);
    return m_serialNumber;
}

std::string CDevice::GetModelName()
{
    Ambry::CLock lock(m_mutex);
    return m_modelName;
}

std::string CDevice::GetPassword()
{
    Ambry::CLock lock(m_mutex);
    return m_password;
}

uint32_t CDevice::GetDeviceType()
{
    Ambry::CLock lock(m_mutex);
    return m_deviceType;
}

void CDevice::GetDirectShowOptions(DirectShowOptions *out)
{
    Ambry::CLock lock(m_mutex);
    *out = m_options;
}

bool CDevice::ApplyDirectShowOptions(const DirectShowOptions &options)
{
    Ambry::CLock lock(m_mutex);
    m_options = options;
    std::string keyPath = std::string(CLSID_KEY_PATH) + "\\" + m_clsid.Text();
    CKey key(OpenKey(HKEY_CLASSES_ROOT, keyPath.c_str(), KEY_ALL_ACCESS));
    if (!key)
        return false;
    CKey video(OpenKey(key.get(), "VideoParameters", KEY_ALL_ACCESS));
    const DirectShowOptionsCodec *codec = GetDirectShowOptionsCodec();
    if (video && codec)
        codec->write(video.get(), options);
    return true;
}

std::string CDevice::GetFilterPath() { return m_filter->Path(); }

bool CDevice::HasRegisterEntry() { return m_filter->HasEntry(); }

// ---- store record ----

DeviceRecordSnapshot CDevice::Snapshot()
{
    DeviceRecordSnapshot s;
    s.displayName = GetDisplayName();
    Ambry::CLock lock(m_mutex);
    s.clsid = m_clsid;
    s.audio = m_audio;
    s.name = m_name;
    s.address = m_address;
    s.serialNumber = m_serialNumber;
    // Sealing makes a new blob each time; keep the last one while the password stays.
    if (m_protectedPassword.empty() || m_protectedFor != m_password) {
        m_protectedPassword = ProtectPassword(m_password);
        m_protectedFor = m_password;
    }
    s.protectedPassword = m_protectedPassword;
    s.deviceType = m_deviceType;
    s.filterPath = m_filter->Path();
    s.options = m_options;
    s.generation = ++m_recordGeneration;
    return s;
}

void CDevice::WriteSnapshot(const DeviceRecordSnapshot &s)
{
    CStoreTransaction transaction;
    // A newer snapshot of this device was written already: this one is stale.
    if (s.generation < m_writtenGeneration.load())
        return;
    std::string keyPath = std::string(CLSID_KEY_PATH) + "\\" + s.clsid.Text();
    CKey key(CreateKeyPath(HKEY_CLASSES_ROOT, keyPath.c_str()));
    if (!key)
        return;
    WriteText(key.get(), nullptr, s.displayName.c_str());
    WriteText(key.get(), "HumanEnteredName", s.name.c_str());
    if (s.audio)
        WriteText(key.get(), "AudioGUID", s.audio->Text());
    else
        DeleteValue(key.get(), "AudioGUID");
    if (CKey inproc{CreateKeyPath(key.get(), "InprocServer32")}) {
        WriteText(inproc.get(), nullptr, s.filterPath.c_str());
        WriteText(inproc.get(), "ThreadingModel", "Both");
    }
    if (CKey server{CreateKeyPath(key.get(), "ServerParameters")}) {
        WriteText(server.get(), "Address", s.address.c_str());
        WriteText(server.get(), "SerialNumber", s.serialNumber.c_str());
        WriteDword(server.get(), "DeviceType", s.deviceType);
        WriteBinary(server.get(), "Password", s.protectedPassword.data(), s.protectedPassword.size());
    }
    if (CKey video{CreateKeyPath(key.get(), "VideoParameters")}) {
        if (const DirectShowOptionsCodec *codec = GetDirectShowOptionsCodec())
            codec->write(video.get(), s.options);
    }
    if (s.audio)
        CKey audio(CreateKeyPath(key.get(), "AudioParameters"));
    if (transaction.Commit())
        m_writtenGeneration.store(s.generation);
}

void CDevice::Store(bool registerSource)
{
    Ambry::CLock lock(m_mutex);
    WriteSnapshot(Snapshot());
    if (registerSource)
        RegisterSource();
}

void CDevice::RegisterSource()
{
    Ambry::CLock lock(m_mutex);
    if (!m_connection || !m_filter->HasEntry() || !m_connection->IsCaptureSource())
        return;
    std::string name = GetDisplayName();
    GUID audio{};
    if (m_audio)
        audio = m_audio->Guid();
    m_filter->Register(m_clsid.Guid(), name.c_str(), m_audio ? &audio : nullptr);
}

void CDevice::Unregister()
{
    Ambry::CLock lock(m_mutex);
    std::vector<std::string> ids{m_clsid.Text()};
    if (m_audio)
        ids.emplace_back(m_audio->Text());
    for (const std::string &id : ids)
        DeleteRegistration(id.c_str());
}

void DeleteRegistration(const char *guidText)
{
    for (const char *prefix : kRegistrationPrefixes)
        DeleteKeyTree(HKEY_CLASSES_ROOT, (std::string(prefix) + guidText).c_str());
}
