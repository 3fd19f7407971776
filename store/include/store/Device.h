// One configured device: its stored record (class identifier, name, address,
// serial number, protected password, options) and its active side — a worker thread
// that resolves the address, connects through a CDeviceIO, runs queued jobs and
// posts change notifications. The record side is in Device.cpp, the worker side in
// DeviceWorker.cpp, the filter module in FilterModule.cpp.
//
// Threads: each device starts one detached worker at creation; it holds its own
// reference and ends after Stop, or by itself when only its reference remains.
// Every operation below takes the device's recursive lock itself; calls out to the
// device (open, login, name, mode, frame) are made without the lock, holding a
// counted reference to the connection. Lock order: the device list's lock before a
// device's lock; a device's lock before the store lock.
#pragma once

#include <ambry/Event.h>
#include <ambry/Mutex.h>
#include <ambry/RefCount.h>
#include <deviceio/DeviceIO.h>
#include <store/DirectShowOptions.h>
#include <store/Guid.h>
#include <store/Notify.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class CFilterModule;
struct DiscoveryRecord;

// Store paths of the device list and of the class records.
inline constexpr const char *DEVICES_KEY_PATH = "SOFTWARE\\Teluvo\\Tessaline\\Devices";  // under HKEY_CURRENT_USER
inline constexpr const char *CLSID_KEY_PATH = "CLSID";                                     // under HKEY_CLASSES_ROOT
inline constexpr const char *PASSWORD_DESCRIPTION = "Tessaline password";

// How a worker opens its connection. The default calls OpenDeviceIO; tests install
// their own device implementations. context is passed through.
using DeviceIOOpener = Ambry::Ref<CDeviceIO> (*)(const char *password, const AddressRecord &address,
                                                 void *context);
void SetDeviceIOOpener(DeviceIOOpener opener, void *context);

// The running program's full path (from /proc/self/exe) unless a path was set here;
// the filter file is looked for in its directory. Empty text restores the default.
void SetProgramPath(const char *path);
std::string ProgramPath();

// Deletes the class key and the three category instance keys named guidText
// (a missing key counts as deleted).
void DeleteRegistration(const char *guidText);

// What a record write needs, copied from the device under its lock.
struct DeviceRecordSnapshot {
    CGuidRecord clsid;
    std::optional<CGuidRecord> audio;
    std::string displayName;
    std::string name;
    std::string address;
    std::string serialNumber;
    std::vector<uint8_t> protectedPassword;  // the sealed password (empty when sealing failed)
    uint32_t deviceType = 0;
    std::string filterPath;
    DirectShowOptions options;
    uint64_t generation = 0;
};

class CDevice final : public CRefCountObj {
public:
    // ---- creation ----

    // A new device with a fresh class identifier, started; from a discovery record
    // when one is given. One reference for the caller, or none on failure.
    [[nodiscard]] static Ambry::Ref<CDevice> CreateNew(const DiscoveryRecord *record = nullptr);
    // A device with this class identifier loaded from the store and started. A
    // missing record gives empty fields. None when the worker cannot start.
    [[nodiscard]] static Ambry::Ref<CDevice> CreateFromStore(const GUID &clsid);
    // Loaded but not started (no worker, never connects until StartWorker).
    [[nodiscard]] static Ambry::Ref<CDevice> LoadFromStore(const GUID &clsid);
    // Starts the worker of a device made by LoadFromStore; false when it cannot start
    // or was started already.
    [[nodiscard]] bool StartWorker();

    // ---- stored fields (copies, taken under the lock) ----

    const CGuidRecord &ClassId() const { return m_clsid; }  // never changes
    const char *GuidText() const { return m_clsid.Text(); }
    bool GetAudioClassId(GUID *out);
    // The human-entered name, or "model [serial]" while connected, or empty.
    std::string GetDisplayName();
    std::string GetName();
    std::string GetAddress();
    std::string GetSerialNumber();
    std::string GetModelName();
    std::string GetPassword();
    uint32_t GetDeviceType();
    std::string GetFilterPath();
    bool HasRegisterEntry();
    void GetDirectShowOptions(DirectShowOptions *out);

    // ---- operations ----

    // Each compares with exact bytes; null counts as empty.
    void SetName(const char *name);
    void SetAddress(const char *address);
    // host-order IPv4 address; the port is left out when 0 or DEFAULT_DEVICE_PORT.
    void SetAddressFromRecord(uint32_t address, uint16_t port);
    void SetPassword(const char *password);
    // Asks for a new video-mode reading and a new preview frame.
    void Refresh();
    void RequestFrame(bool drop);
    // Ends the worker at its next check and drops the connection. Idempotent.
    void Stop();
    LoginStatus GetLoginStatus();
    bool IsCaptureSource();
    bool IsPasswordRequired();
    // false (and the first 4 bytes of out zeroed) while unresolved.
    bool GetResolvedAddress(AddressRecord *out);
    // true when a mode with non-zero width and height is known.
    bool GetVideoMode(VideoMode *out);
    bool GetAdjustments(VideoAdjustments *adjustments, AdjustmentRanges *ranges);
    bool SetAdjustments(const VideoAdjustments &adjustments);
    // Keeps the options and writes them into the existing "VideoParameters" key;
    // false when the device's key does not exist.
    bool ApplyDirectShowOptions(const DirectShowOptions &options);
    // Makes target the receiver of this device's notifications (nullptr: none).
    // Notifications queued at the previous target are withdrawn.
    void AttachWindow(CNotifyTarget *target);
    CNotifyTarget *AttachedWindow();
    // Connecting, or frame requests outstanding.
    bool IsBusy();
    bool IsConnecting();
    bool IsStopped();
    int32_t OutstandingFrameRequests();
    // The current preview frame (a new reference) or none.
    Ambry::Ref<CFrame> GetFrame();
    // The connection (a new reference) or none.
    Ambry::Ref<CDeviceIO> GetConnection();
    bool HasConnection();
    // The receiver of WM_DEVICE_NOTIFY calls this with the message's bits.
    void NotifyReceived(uint32_t bits);
    uint32_t NotifyInFlight();

    // The device's recursive lock (the list's save holds it around a write).
    Ambry::CMutex &Mutex() TSL_RETURN_CAPABILITY(m_mutex) { return m_mutex; }

    // ---- store record ----

    // Writes the record; with registerSource, and when connected to a capture-source
    // model and the filter's entry point is known, calls TSLRegisterDevice afterwards.
    void Store(bool registerSource);
    // Copies what a record write needs (under the lock).
    DeviceRecordSnapshot Snapshot();
    // Writes a snapshot unless a newer one of this device was written already.
    // Call inside or outside a store transaction; takes no device lock.
    void WriteSnapshot(const DeviceRecordSnapshot &snapshot);
    // Calls TSLRegisterDevice when connected to a capture-source model and the
    // entry point is known. Takes no store lock.
    void RegisterSource();
    // Deletes the four key trees of the class identifier and, when there is one, of
    // the audio class identifier.
    void Unregister();

private:
    explicit CDevice(const GUID &clsid);
    ~CDevice() override;

    using Job = void (CDevice::*)();
    // Fills the fields of a record nobody else sees yet, inside the caller's store
    // transaction. It takes no device lock: the worker locks the device before the
    // store, and taking them the other way round here would teach that order backwards.
    void LoadRecord() TSL_NO_THREAD_SAFETY_ANALYSIS;
    bool Start(const DiscoveryRecord *record);
    void WorkerMain();
    void WorkerLoop();
    // Runs with the device lock held; lets it go while it talks to the device.
    void ConnectionAttempt() TSL_REQUIRES(m_mutex);
    bool Running() const;
    void QueueJob(Job job);
    void Notify(uint32_t bits);
    // Takes the connection out (zeroing the mode and notifying all bits when there
    // was one); the caller releases it after unlocking.
    Ambry::Ref<CDeviceIO> DropConnection();
    void JobRelogin();
    void JobPushName();
    void JobReadVideoMode();
    void JobGrab();
    void JobResolve();

    CGuidRecord m_clsid;
    std::optional<CGuidRecord> m_audio TSL_GUARDED_BY(m_mutex);
    uint32_t m_deviceType TSL_GUARDED_BY(m_mutex) = 0;
    std::unique_ptr<const CFilterModule> m_filter;  // set at creation
    std::string m_name TSL_GUARDED_BY(m_mutex);
    std::string m_address TSL_GUARDED_BY(m_mutex);
    std::string m_modelName TSL_GUARDED_BY(m_mutex);
    std::string m_serialNumber TSL_GUARDED_BY(m_mutex);
    std::string m_password TSL_GUARDED_BY(m_mutex);
    std::string m_displayName TSL_GUARDED_BY(m_mutex);
    DirectShowOptions m_options TSL_GUARDED_BY(m_mutex);

    Ambry::CMutex m_mutex;
    Ambry::CEvent m_wake;
    std::deque<Job> m_jobs TSL_GUARDED_BY(m_mutex);
    Ambry::Ref<CDeviceIO> m_connection TSL_GUARDED_BY(m_mutex);
    Ambry::Ref<CFrame> m_frame TSL_GUARDED_BY(m_mutex);
    VideoMode m_videoMode TSL_GUARDED_BY(m_mutex);
    AddressRecord m_resolved TSL_GUARDED_BY(m_mutex);
    int32_t m_outstandingFrames TSL_GUARDED_BY(m_mutex) = 0;
    bool m_connecting TSL_GUARDED_BY(m_mutex) = true;
    std::atomic<bool> m_stop{false};
    bool m_started TSL_GUARDED_BY(m_mutex) = false;
    CNotifyTarget *m_target TSL_GUARDED_BY(m_mutex) = nullptr;
    uint32_t m_inFlight TSL_GUARDED_BY(m_mutex) = 0;
    int64_t m_lastModeRequestMs TSL_GUARDED_BY(m_mutex) = 0;  // monotonic
    bool m_modeRequested TSL_GUARDED_BY(m_mutex) = false;
    std::vector<uint8_t> m_protectedPassword TSL_GUARDED_BY(m_mutex);  // sealed form of m_protectedFor
    std::string m_protectedFor TSL_GUARDED_BY(m_mutex);
    std::atomic<uint64_t> m_recordGeneration{0};
    std::atomic<uint64_t> m_writtenGeneration{0};
};
