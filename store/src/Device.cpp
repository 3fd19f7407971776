// CDevice: the stored record, the worker thread and its jobs.
#include "store/Device.h"

#include "store/Protect.h"
#include "store/Registry.h"

#include <ambry/Parse.h>
#include <ambry/Trace.h>
#include <discovery/Discovery.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr int WAIT_SLICE_MS = 1000;
constexpr int64_t CONNECTING_LIMIT_MS = 10000;
constexpr int64_t MODE_REQUEST_INTERVAL_MS = 20000;

// The category instance keys a capture filter creates; the first is the class key.
constexpr std::array<const char *, 4> kRegistrationPrefixes = {
    "CLSID\\",
    "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance\\",
    "CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance\\",
    "CLSID\\{083863F1-70DE-11d0-BD40-00A0C911CE86}\\Instance\\",
};

int64_t MonotonicMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

Ambry::Ref<CDeviceIO> DefaultOpener(const char *password, const AddressRecord &address, void *)
{
    return OpenDeviceIO(password, address);
}

std::mutex g_hookMutex;
DeviceIOOpener g_opener = DefaultOpener;
void *g_openerContext = nullptr;
std::string g_programPath;
std::atomic<const DirectShowOptionsCodec *> g_codec{nullptr};

Ambry::Ref<CDeviceIO> OpenConnection(const char *password, const AddressRecord &address)
{
    DeviceIOOpener opener;
    void *context;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        opener = g_opener;
        context = g_openerContext;
    }
    return opener(password, address, context);
}

AddressRecord MakeRecord(uint32_t hostAddress, uint16_t hostPort)
{
    AddressRecord record;
    record.family = ADDRESS_FAMILY_INET;
    record.port = htons(hostPort);
    record.address = htonl(hostAddress);
    return record;
}

bool SameRecord(const AddressRecord &a, const AddressRecord &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

// "a.b.c.d", plus ":port" unless the port is 0 or the default.
std::string AddressTextFromRecord(uint32_t address, uint16_t port)
{
    char text[32];
    int n = std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                          (address >> 8) & 0xFF, address & 0xFF);
    if (port != 0 && port != DEFAULT_DEVICE_PORT)
        std::snprintf(text + n, sizeof(text) - static_cast<size_t>(n), ":%hu", port);
    return text;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A port: decimal, 0x-hex or 0-octal, 1..65535, only white space around it.
bool ParsePort(const char *text, uint16_t *port)
{
    uint16_t value = 0;
    if (!Ambry::ParseUInt16(text, 0, &value) || value == 0)
        return false;
    *port = value;
    return true;
}

bool ParseAddress(const char *text, AddressRecord *out, bool resolve)
{
    if (!text)
        return false;
    std::string host;
    uint16_t port = 0;
    if (const char *colon = std::strchr(text, ':')) {
        host.assign(text, static_cast<size_t>(colon - text));
        if (!ParsePort(colon + 1, &port))
            return false;
    } else {
        host = text;
    }
    size_t begin = 0;
    while (begin < host.size() && IsSpace(host[begin]))
        ++begin;
    size_t end = host.size();
    while (end > begin && IsSpace(host[end - 1]))
        --end;
    host = host.substr(begin, end - begin);
    if (host.empty())
        return false;
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
        if (!resolve)
            return false;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *result = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
            return false;
        address = reinterpret_cast<const sockaddr_in *>(result->ai_addr)->sin_addr;
        freeaddrinfo(result);
    }
    AddressRecord record;
    record.family = ADDRESS_FAMILY_INET;
    record.address = address.s_addr;
    // No port: the protocol's default, written out so the record compares equal with
    // the peer address a connection reports.
    record.port = htons(port ? port : DEFAULT_DEVICE_PORT);
    *out = record;
    return true;
}

}  // namespace

void SetDeviceIOOpener(DeviceIOOpener opener, void *context)
{
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_opener = opener ? opener : DefaultOpener;
    g_openerContext = opener ? context : nullptr;
}

void SetProgramPath(const char *path)
{
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_programPath = path ? path : "";
}

std::string ProgramPath()
{
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        if (!g_programPath.empty())
            return g_programPath;
    }
    char buffer[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<size_t>(n));
}

void SetDirectShowOptionsCodec(const DirectShowOptionsCodec *codec) { g_codec.store(codec); }
const DirectShowOptionsCodec *GetDirectShowOptionsCodec() { return g_codec.load(); }

bool ParseDeviceAddress(const char *text, AddressRecord *out) { return ParseAddress(text, out, true); }
bool ParseDeviceAddressNumeric(const char *text, AddressRecord *out) { return ParseAddress(text, out, false); }

// ---- life ----

CDevice::CDevice(const GUID &clsid) : m_clsid(clsid) { LoadFilterModule(); }

CDevice::~CDevice()
{
    m_frame.reset();
    m_connection.reset();
    if (m_filterModule)
        dlclose(m_filterModule);
}

void CDevice::LoadFilterModule()
{
    std::string path = ProgramPath();
    if (path.empty())
        return;
    size_t cut = path.find_last_of("/\\");
    if (cut != std::string::npos)
        path.erase(cut);
    m_filterPath = path + "/" + FILTER_FILE_NAME;
    // Each device counts one load. The module stays mapped when the count reaches
    // zero: it is loaded again with the next device, and a module that is unmapped and
    // mapped again loses nothing but gains a fresh copy of its state each time.
    m_filterModule = dlopen(m_filterPath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (m_filterModule)
        m_registerEntry = reinterpret_cast<TSLRegisterDeviceFn>(dlsym(m_filterModule, REGISTER_ENTRY_NAME));
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

bool CDevice::StartWorker() { return Start(nullptr); }

Ambry::Ref<CDevice> CDevice::CreateNew(const DiscoveryRecord *record)
{
    Ambry::Ref<CDevice> device = Ambry::Adopt(new CDevice(NewGuid()));
    if (!device->Start(record))
        return nullptr;
    return device;
}

bool CDevice::Start(const DiscoveryRecord *record)
{
    {
        Ambry::CLock lock(m_mutex);
        if (m_started)
            return false;
        m_started = true;
        if (record) {
            m_serialNumber.assign(record->serial_number, strnlen(record->serial_number, sizeof(record->serial_number)));
            m_deviceType = record->device_type;
            m_resolved = MakeRecord(record->address, record->port ? record->port : DEFAULT_DEVICE_PORT);
            m_address = AddressTextFromRecord(record->address, record->port);
        }
        if (m_resolved.address == 0)
            QueueJob(&CDevice::JobResolve);
    }
    AddRef();  // the worker's reference
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &CDevice::WorkerMain, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        Ambry::TraceError("ERROR: cannot start device worker, error %d\n", rc);
        Release();
        return false;
    }
    return true;
}

// ---- worker ----

void *CDevice::WorkerMain(void *self)
{
    pthread_setname_np(pthread_self(), "tsl-device");
    CDevice *device = static_cast<CDevice *>(self);
    device->WorkerLoop();
    device->Release();
    return nullptr;
}

bool CDevice::Running() const { return !m_stop.load() && RefCount() > 1; }

void CDevice::WorkerLoop()
{
    const int64_t start = MonotonicMs();
    std::deque<Job> jobs;
    m_mutex.Lock();
    while (Running()) {
        if (m_jobs.empty() && (m_connection || m_resolved.address == 0)) {
            m_mutex.Unlock();
            m_wake.Wait(WAIT_SLICE_MS);
            m_mutex.Lock();
            m_wake.Reset();
        }
        while (!m_jobs.empty()) {
            jobs.push_back(m_jobs.front());
            m_jobs.pop_front();
        }
        if (!m_connection && m_resolved.address != 0 && Running()) {
            ConnectionAttempt();
        } else if (m_connecting && MonotonicMs() - start > CONNECTING_LIMIT_MS) {
            m_connecting = false;
            Notify(NOTIFY_STATE);
        }
        if (jobs.empty())
            continue;
        if (m_stop.load())
            break;
        if (RefCount() <= 1)
            continue;
        m_mutex.Unlock();
        while (!jobs.empty()) {
            Job job = jobs.front();
            jobs.pop_front();
            if (Running())
                (this->*job)();
        }
        m_mutex.Lock();
    }
    m_mutex.Unlock();
    // Jobs still queued are dropped without running.
}

void CDevice::ConnectionAttempt()
{
    const std::string address = m_address;
    const std::string password = m_password;
    const AddressRecord resolved = m_resolved;
    m_mutex.Unlock();

    Ambry::Ref<CDeviceIO> io = OpenConnection(password.c_str(), resolved);
    std::string deviceName;
    if (io) {
        if (!io->GetDeviceName(&deviceName))
            deviceName.clear();
    } else {
        m_wake.Wait(WAIT_SLICE_MS);
    }

    m_mutex.Lock();
    if (m_address == address && SameRecord(m_resolved, resolved))
        m_connecting = false;
    if (!io)
        return;
    if (!Running()) {
        // Stopped meanwhile: the new connection is not kept (closed outside the lock).
        m_mutex.Unlock();
        io.reset();
        m_mutex.Lock();
        return;
    }
    Ambry::Ref<CDeviceIO> previous = std::move(m_connection);
    m_connection = io;
    m_deviceType = io->GetDeviceType();
    const char *serial = io->GetSerialNumber();
    m_serialNumber = serial ? serial : "";
    const char *model = io->GetModelName();
    m_modelName = model ? model : "";
    m_name = deviceName;
    VideoMode mode;
    io->GetVideoMode(&mode);
    m_videoMode = mode;
    io->GetAddress(&m_resolved);
    if (io->HasAudio()) {
        if (!m_audio)
            m_audio = CGuidRecord::Create();
    } else {
        m_audio.reset();
    }
    Store(false);
    Notify(NOTIFY_FRAME | NOTIFY_STATE | (m_name.empty() ? uint32_t{NOTIFY_NAME} : 0u));
    QueueJob(&CDevice::JobGrab);
    ++m_outstandingFrames;
    m_wake.Set();
    if (previous) {
        m_mutex.Unlock();
        previous.reset();
        m_mutex.Lock();
    }
}

void CDevice::QueueJob(Job job)
{
    Ambry::CLock lock(m_mutex);
    m_jobs.push_back(job);
}

void CDevice::Notify(uint32_t bits)
{
    Ambry::CLock lock(m_mutex);
    if (!m_target)
        return;
    bits &= ~m_inFlight;
    if (!bits)
        return;
    AddRef();
    if (m_target->PostDeviceNotify(bits, this))
        m_inFlight |= bits;
    else
        Release();  // never the last: the caller holds one
}

Ambry::Ref<CDeviceIO> CDevice::DropConnection()
{
    Ambry::CLock lock(m_mutex);
    Ambry::Ref<CDeviceIO> old = std::move(m_connection);
    if (old) {
        m_videoMode = VideoMode{};
        Notify(NOTIFY_ALL);
    }
    return old;
}

// ---- jobs ----

void CDevice::JobRelogin()
{
    Ambry::Ref<CDeviceIO> io;
    LoginStatus before;
    std::string password;
    {
        Ambry::CLock lock(m_mutex);
        io = m_connection;
        if (!io)
            return;
        before = io->GetLoginStatus();
        password = m_password;
    }
    LoginStatus after = io->Login(password.c_str());
    io.reset();
    if (after != before) {
        Ambry::Ref<CFrame> oldFrame;
        Ambry::CLock lock(m_mutex);
        oldFrame = std::move(m_frame);
        m_videoMode = VideoMode{};
        Notify(NOTIFY_FRAME | NOTIFY_STATE | NOTIFY_SIGNAL);
    }
}

void CDevice::JobPushName()
{
    Ambry::Ref<CDeviceIO> io;
    std::string name;
    {
        Ambry::CLock lock(m_mutex);
        io = m_connection;
        if (!io)
            return;
        name = m_name;
    }
    io->SetDeviceName(name.c_str());
}

void CDevice::JobReadVideoMode()
{
    Ambry::Ref<CDeviceIO> io = GetConnection();
    if (!io)
        return;
    VideoMode mode;
    if (!io->DetectVideoMode(&mode))
        mode = VideoMode{};
    Ambry::CLock lock(m_mutex);
    m_videoMode = mode;
    Notify(NOTIFY_SIGNAL);
}

void CDevice::JobGrab()
{
    Ambry::Ref<CDeviceIO> io;
    {
        Ambry::CLock lock(m_mutex);
        io = m_connection;
        if (!io) {
            --m_outstandingFrames;
            Notify(NOTIFY_FRAME);
            return;
        }
    }
    Ambry::Ref<CFrame> frame = io->GrabFrame();
    Ambry::Ref<CFrame> oldFrame;
    {
        Ambry::CLock lock(m_mutex);
        oldFrame = std::move(m_frame);
        VideoMode mode;
        if (frame && frame->GetFrameMode(&mode))
            m_videoMode = mode;
        --m_outstandingFrames;
        m_frame = std::move(frame);
        Notify(NOTIFY_FRAME);
    }
}

void CDevice::JobResolve()
{
    std::string address;
    {
        Ambry::CLock lock(m_mutex);
        address = m_address;
    }
    AddressRecord parsed;
    if (!ParseDeviceAddress(address.c_str(), &parsed))
        return;
    Ambry::Ref<CDeviceIO> oldConnection;
    Ambry::Ref<CFrame> oldFrame;
    Ambry::CLock lock(m_mutex);
    if (parsed.address == m_resolved.address && parsed.port == m_resolved.port)
        return;
    m_resolved = parsed;
    oldFrame = std::move(m_frame);
    oldConnection = DropConnection();
}

// ---- operations ----

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

std::string CDevice::GetFilterPath()
{
    Ambry::CLock lock(m_mutex);
    return m_filterPath;
}

bool CDevice::HasRegisterEntry()
{
    Ambry::CLock lock(m_mutex);
    return m_registerEntry != nullptr;
}

void CDevice::GetDirectShowOptions(DirectShowOptions *out)
{
    Ambry::CLock lock(m_mutex);
    *out = m_options;
}

void CDevice::SetName(const char *name)
{
    if (!name)
        name = "";
    Ambry::CLock lock(m_mutex);
    if (m_name == name)
        return;
    m_name = name;
    Notify(NOTIFY_NAME);
    QueueJob(&CDevice::JobPushName);
}

void CDevice::SetAddress(const char *address)
{
    if (!address)
        address = "";
    Ambry::CLock lock(m_mutex);
    if (m_address == address)
        return;
    m_address = address;
    m_resolved = AddressRecord{};
    QueueJob(&CDevice::JobResolve);
    Notify(NOTIFY_ADDRESS);
}

void CDevice::SetAddressFromRecord(uint32_t address, uint16_t port)
{
    SetAddress(AddressTextFromRecord(address, port).c_str());
}

void CDevice::SetPassword(const char *password)
{
    if (!password)
        password = "";
    Ambry::CLock lock(m_mutex);
    if (m_password == password)
        return;
    m_password = password;
    if (!m_connection) {
        m_wake.Set();
    } else if (m_connection->GetLoginStatus() != LoginOpen) {
        QueueJob(&CDevice::JobRelogin);
        m_wake.Set();
    }
}

void CDevice::Refresh()
{
    {
        Ambry::CLock lock(m_mutex);
        QueueJob(&CDevice::JobReadVideoMode);
        m_lastModeRequestMs = MonotonicMs();
        m_modeRequested = true;
    }
    RequestFrame(true);
}

void CDevice::RequestFrame(bool drop)
{
    Ambry::Ref<CFrame> oldFrame;
    Ambry::CLock lock(m_mutex);
    if (drop && m_frame) {
        oldFrame = std::move(m_frame);
        Notify(NOTIFY_FRAME);
    }
    if (m_connection) {
        QueueJob(&CDevice::JobGrab);
        ++m_outstandingFrames;
        m_wake.Set();
    }
}

void CDevice::Stop()
{
    Ambry::Ref<CFrame> oldFrame;
    Ambry::Ref<CDeviceIO> oldConnection;
    Ambry::CLock lock(m_mutex);
    m_stop = true;
    oldFrame = std::move(m_frame);
    oldConnection = DropConnection();
    m_wake.Set();
}

LoginStatus CDevice::GetLoginStatus()
{
    Ambry::CLock lock(m_mutex);
    return m_connection ? m_connection->GetLoginStatus() : LoginError;
}

bool CDevice::IsCaptureSource()
{
    Ambry::CLock lock(m_mutex);
    return m_connection ? m_connection->IsCaptureSource() : IsCaptureSourceType(m_deviceType);
}

bool CDevice::IsPasswordRequired()
{
    Ambry::CLock lock(m_mutex);
    return m_connection ? m_connection->IsPasswordRequired() : false;
}

bool CDevice::GetResolvedAddress(AddressRecord *out)
{
    Ambry::CLock lock(m_mutex);
    if (m_resolved.address != 0) {
        *out = m_resolved;
        return true;
    }
    out->family = 0;
    out->port = 0;
    return false;
}

bool CDevice::GetVideoMode(VideoMode *out)
{
    Ambry::CLock lock(m_mutex);
    if (m_videoMode.width != 0 && m_videoMode.height != 0) {
        *out = m_videoMode;
        return true;
    }
    *out = VideoMode{};
    const int64_t now = MonotonicMs();
    if (m_connection && (!m_modeRequested || now - m_lastModeRequestMs > MODE_REQUEST_INTERVAL_MS)) {
        QueueJob(&CDevice::JobReadVideoMode);
        m_lastModeRequestMs = now;
        m_modeRequested = true;
    }
    return false;
}

bool CDevice::GetAdjustments(VideoAdjustments *adjustments, AdjustmentRanges *ranges)
{
    Ambry::CLock lock(m_mutex);
    return m_connection ? m_connection->GetAdjustments(adjustments, ranges) : false;
}

bool CDevice::SetAdjustments(const VideoAdjustments &adjustments)
{
    Ambry::CLock lock(m_mutex);
    return m_connection ? m_connection->SetAdjustments(adjustments) : false;
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

void CDevice::AttachWindow(CNotifyTarget *target)
{
    Ambry::CLock lock(m_mutex);
    if (target == m_target)
        return;
    if (m_target)
        m_target->WithdrawDeviceNotify(this);
    m_target = target;
    m_inFlight = 0;
}

CNotifyTarget *CDevice::AttachedWindow()
{
    Ambry::CLock lock(m_mutex);
    return m_target;
}

bool CDevice::IsBusy()
{
    Ambry::CLock lock(m_mutex);
    return m_connecting || m_outstandingFrames > 0;
}

bool CDevice::IsConnecting()
{
    Ambry::CLock lock(m_mutex);
    return m_connecting;
}

bool CDevice::IsStopped() { return m_stop.load(); }

int32_t CDevice::OutstandingFrameRequests()
{
    Ambry::CLock lock(m_mutex);
    return m_outstandingFrames;
}

Ambry::Ref<CFrame> CDevice::GetFrame()
{
    Ambry::CLock lock(m_mutex);
    return m_frame;
}

Ambry::Ref<CDeviceIO> CDevice::GetConnection()
{
    Ambry::CLock lock(m_mutex);
    return m_connection;
}

bool CDevice::HasConnection()
{
    Ambry::CLock lock(m_mutex);
    return static_cast<bool>(m_connection);
}

void CDevice::NotifyReceived(uint32_t bits)
{
    Ambry::CLock lock(m_mutex);
    m_inFlight &= ~bits;
}

uint32_t CDevice::NotifyInFlight()
{
    Ambry::CLock lock(m_mutex);
    return m_inFlight;
}

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
    s.filterPath = m_filterPath;
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

void CDevice::RegisterSource()
{
    Ambry::CLock lock(m_mutex);
    if (!m_connection || !m_registerEntry || !m_connection->IsCaptureSource())
        return;
    std::string name = GetDisplayName();
    const GUID clsid = m_clsid.Guid();
    GUID audio{};
    if (m_audio)
        audio = m_audio->Guid();
    m_registerEntry(&clsid, name.c_str(), m_audio ? &audio : nullptr);
}

void CDevice::Store(bool registerSource)
{
    Ambry::CLock lock(m_mutex);
    WriteSnapshot(Snapshot());
    if (registerSource)
        RegisterSource();
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
