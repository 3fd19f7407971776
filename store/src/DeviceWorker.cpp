// CDevice's live side: the worker thread, its connection and jobs, the operations
// that queue work for it, and the notifications it posts.
#include "store/Device.h"

#include <ambry/Thread.h>
#include <ambry/Trace.h>
#include <discovery/Discovery.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>

namespace {

constexpr int WAIT_SLICE_MS = 1000;
constexpr int64_t CONNECTING_LIMIT_MS = 10000;
constexpr int64_t MODE_REQUEST_INTERVAL_MS = 20000;

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

std::mutex g_openerMutex;
DeviceIOOpener g_opener = DefaultOpener;
void *g_openerContext = nullptr;

Ambry::Ref<CDeviceIO> OpenConnection(const char *password, const AddressRecord &address)
{
    DeviceIOOpener opener;
    void *context;
    {
        std::lock_guard<std::mutex> lock(g_openerMutex);
        opener = g_opener;
        context = g_openerContext;
    }
    return opener(password, address, context);
}

bool SameRecord(const AddressRecord &a, const AddressRecord &b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

}  // namespace

void SetDeviceIOOpener(DeviceIOOpener opener, void *context)
{
    std::lock_guard<std::mutex> lock(g_openerMutex);
    g_opener = opener ? opener : DefaultOpener;
    g_openerContext = opener ? context : nullptr;
}

// ---- start ----

bool CDevice::StartWorker() { return Start(nullptr); }

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
            m_resolved = MakeAddressRecord(record->address, record->port ? record->port : DEFAULT_DEVICE_PORT);
            m_address = FormatDiscoveredAddress(record->address, record->port);
        }
        if (m_resolved.address == 0)
            QueueJob(&CDevice::JobResolve);
    }
    AddRef();  // the worker's reference
    try {
        Ambry::StartThread("tsl-device", [this] { WorkerMain(); }).detach();
    } catch (const std::system_error &error) {
        Ambry::TraceError("ERROR: cannot start device worker, error %d\n", error.code().value());
        Release();
        return false;
    }
    return true;
}

// ---- worker ----

void CDevice::WorkerMain()
{
    WorkerLoop();
    Release();  // may free this device: nothing of it is touched afterwards
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
    m_mutex.AssertHeld();
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
    SetAddress(FormatDiscoveredAddress(address, port).c_str());
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
