// The grabber client library: one handle per connected grabber and the "TESLINE"
// network driver whose operation table acts on it.
//
// Calling order: Startup → Open → optionally SetAutoReconnect(true) → Login → any
// operation → Close → Shutdown. Every entry point checks the handle's first field
// (its operation table) before it acts: a null or foreign handle gives 0, false,
// none or a zeroed record (Login: 2). Nothing here throws.
//
// Threads (see grabber/README.md): one reader thread per connection, one keep-alive
// thread for the library, one reconnection worker per handle with automatic
// reconnection. Callbacks marked "reader thread" run on a connection's reader.
#pragma once

#include "grabber/Records.h"

#include <cstddef>
#include <cstdint>

namespace Grabber {

struct Handle;
struct FrameRecord;

// Frame buffers of streamed frames come from an allocator (default: the heap).
struct FrameAllocator {
    void *(*allocate)(size_t size, void *context);
    void (*release)(void *data, void *context);
};

// Streaming callbacks (reader thread). on_frame keeps the frame (and must release
// it with ReleaseFrame) by returning true.
struct StreamCallbacks {
    void (*on_mode)(void *context, const VideoMode &mode);
    bool (*on_frame)(void *context, FrameRecord *frame);
};

// Notifications about the connection and audio (reader or reconnection thread).
struct NotifyCallbacks {
    void (*on_connection)(void *context, bool connected, bool reconnecting);
    void (*on_audio_format)(void *context, const AudioFormat &format);
    void (*on_audio_stop)(void *context);
    void (*on_audio_data)(void *context, const uint8_t *data, size_t size);
};

// The operation table of a driver. Every entry takes a valid handle of that driver;
// after Close the handle must not be used.
struct Operations {
    bool (*SetAllocator)(Handle *h, const FrameAllocator *allocator, void *context);  // none: heap
    Handle *(*Reopen)(Handle *h);            // second handle to the same device, logged in alike
    const char *(*GetName)(Handle *h);       // product name, owned by the handle
    const char *(*GetAddressText)(Handle *h);  // "%u.%u.%u.%u"
    uint32_t (*GetType)(Handle *h);          // device type code
    void (*GetVideoMode)(Handle *h, VideoMode *mode);  // last reported, no traffic
    bool (*DetectVideoMode)(Handle *h, VideoMode *mode);
    bool (*GetAdjustments)(Handle *h, VideoAdjustments *adj, AdjustmentRanges *ranges);
    bool (*SetAdjustments)(Handle *h, const VideoAdjustments *adj);
    bool (*GetParameter)(Handle *h, Parameter *param);
    bool (*SetParameter)(Handle *h, const Parameter *param);
    ModeList *(*GetModeList)(Handle *h);     // caller frees with FreeModeList
    bool (*SetModeList)(Handle *h, const ModeList *list);
    bool (*PostBlock)(Handle *h, uint16_t tag, uint16_t length, const void *bytes);
    bool (*SetRate)(Handle *h, double *value);  // in: wanted, out: in effect
    bool (*EnableStreaming)(Handle *h);
    bool (*SetStreamFormat)(Handle *h, uint32_t format, const CropRect *crop);
    bool (*SetStreamCallbacks)(Handle *h, const StreamCallbacks *callbacks, void *context);
    bool (*DisableStreaming)(Handle *h);
    FrameRecord *(*GrabFrame)(Handle *h, uint32_t format, const CropRect *crop);
    void (*ReleaseFrame)(Handle *h, FrameRecord *frame);
    void (*Close)(Handle *h);
};

// A driver: its name, the connection callbacks it hands to each client, and its
// operation table.
struct ClientCallbacks;
struct Driver {
    char name[8];
    const ClientCallbacks *client_callbacks;
    uint32_t reserved;
    Operations ops;
};

// The network driver "TESLINE".
const Driver &NetworkDriver();

// Every handle starts with its driver's operation table (the validity tag).
struct Handle {
    const Operations *ops;
};

// What GrabFrame returns; freed by ReleaseFrame of the same handle.
struct FrameRecord {
    uint8_t *data = nullptr;
    size_t buffer_size = 0;
    uint32_t format = 0;
    CropRect rect;          // size of the picture delivered
    VideoMode source_mode;  // the mode the device grabbed in
    size_t image_bytes = 0;
    uint32_t status = 0;
    Handle *owner = nullptr;
    void (*release)(void *data, void *context) = nullptr;
    void *release_context = nullptr;
};

// Library set-up, counted: each Startup needs one Shutdown; the last one stops the
// keep-alive thread.
void Startup();
void Shutdown();

// Settings for Open. The defaults are the ones the program uses.
struct OpenOptions {
    int connect_timeout_ms = 10000;
    int request_timeout_ms = 10000;
    int reconnect_interval_ms = 10000;
    int frame_wait_ms = 10000;
    bool compressed = false;
};

// Connects to address:port (host order; port 0 = 5557, compressed 5558), reads the
// serial number, type, product name and state. None when any step fails.
[[nodiscard]] Handle *Open(uint32_t address, uint16_t port);
[[nodiscard]] Handle *Open(uint32_t address, uint16_t port, const OpenOptions &options);

// Credentials source: fills user (32 bytes; none when the device takes no user
// name) and password (64 bytes); false gives up. Asked again after each rejection.
using CredentialsSource = bool (*)(char *user, char *password, void *context);

enum LoginResult : int {
    LOGIN_NOT_NEEDED = 0,
    LOGIN_ACCEPTED = 1,
    LOGIN_FAILED = 2,  // invalid handle, error or time-out
    LOGIN_GAVE_UP = 4,
};
[[nodiscard]] int Login(Handle *h, CredentialsSource source, void *context);

void SetAutoReconnect(Handle *h, bool on);
// Family 2, port and address in network order; zeroed for an invalid handle.
[[nodiscard]] AddressRecord GetPeerAddress(Handle *h);
[[nodiscard]] bool RequiresLogin(Handle *h);
[[nodiscard]] bool HasAudio(Handle *h);
[[nodiscard]] bool IsConnected(Handle *h);
// Serial number read at open, owned by the handle ("" for an invalid handle).
[[nodiscard]] const char *GetSerialNumber(Handle *h);
// Name stored on the device (request 26): a new NUL-terminated text that the
// caller frees with FreeText, or none.
[[nodiscard]] char *GetDeviceName(Handle *h);
void FreeText(char *text);
[[nodiscard]] bool SetDeviceName(Handle *h, const char *name);
void SetNotifyCallbacks(Handle *h, const NotifyCallbacks *callbacks, void *context);

// Audio of a device that HasAudio (request 29): asks for `format` (none, or an id
// of -1: the device's own choice) and waits for the answer. true with the format
// the device answered in *in_effect (may be none); false when the handle has no
// audio, the device refuses or does not answer. The device then sends its format
// (the on_audio_format notification) and data (on_audio_data, only after a
// format); after a reconnection the library starts audio again by itself.
[[nodiscard]] bool StartAudio(Handle *h, const AudioFormat *format, AudioFormat *in_effect);
// Stops the device's audio (request 30, no answer awaited): no data notification
// follows, and a reconnection no longer restarts it. false when nothing was sent.
bool StopAudio(Handle *h);
void FreeModeList(ModeList *list);

// Generic dispatchers through any handle's table.
[[nodiscard]] const char *GetName(Handle *h);
// Table's type code in the low 16 bits, the handle's family word in the high bits.
[[nodiscard]] uint32_t GetType(Handle *h);
void GetVideoMode(Handle *h, VideoMode *mode);
[[nodiscard]] bool DetectVideoMode(Handle *h, VideoMode *mode);
[[nodiscard]] bool GetAdjustments(Handle *h, VideoAdjustments *adj, AdjustmentRanges *ranges);
[[nodiscard]] bool SetAdjustments(Handle *h, const VideoAdjustments *adj);
[[nodiscard]] bool GetParameter(Handle *h, Parameter *param);
[[nodiscard]] bool SetParameter(Handle *h, const Parameter *param);
[[nodiscard]] FrameRecord *GrabFrame(Handle *h, uint32_t format, const CropRect *crop);
void ReleaseFrame(Handle *h, FrameRecord *frame);
void Close(Handle *h);

// Model name of a device type code; codes outside the table give the fallback.
[[nodiscard]] const char *ModelName(uint32_t type, const char *fallback);

// Diagnostics for tests: the number of frames queued on a streaming handle.
[[nodiscard]] size_t QueuedFrameCount(Handle *h);
constexpr size_t kMaxQueuedFrames = 100;

}  // namespace Grabber
