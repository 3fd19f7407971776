// The "TESLINE" driver's handle record and the routines its units share: the
// handle operations (Driver.cpp), the library entry points (EntryPoints.cpp), the
// reconnection worker (Reconnect.cpp) and the stream path with its picture
// post-processing (StreamPath.cpp). Private to the library.
//
// Locks: a handle's call lock before its state lock; the state lock is never held
// while waiting for the device. The reconnection mutex is taken under the state
// lock, never the other way round. Functions named ...Locked expect the caller to
// hold the handle's state lock.
#pragma once

#include "Client.h"
#include "grabber/Grabber.h"
#include "grabber/Wire.h"

#include <ambry/FaultInject.h>
#include <ambry/Mutex.h>
#include <imaging/Decoder.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Grabber {

// Handle state bits.
enum : uint32_t {
    ST_AUTO_RECONNECT = 0x1,
    ST_LOGGED_IN = 0x2,
    ST_HAS_AUDIO = 0x4,
    ST_AUDIO_RUNNING = 0x8,
    ST_STREAMING = 0x10,
    // Audio asked for with StartAudio and not stopped: a reconnection restarts it
    // even when the link broke before the device's format arrived.
    ST_AUDIO_WANTED = 0x20,
};

// Family words that GetType puts above the type code: family 3 devices say so in
// their greeting (CAP_FAMILY_3), every other device is family 2.
constexpr uint32_t kFamily2 = 0x20000;
constexpr uint32_t kFamily3 = 0x30000;

constexpr int kLoginWaitMs = 5000;

// Frame buffers the reader fills. A buffer that cannot be had costs that one frame:
// the caller skips the image and the connection goes on.
inline void *HeapAllocate(size_t size, void *)
{
    return Ambry::FaultHit(Ambry::FaultKind::Alloc) ? nullptr : std::malloc(size ? size : 1);
}
inline void HeapRelease(void *data, void *) { std::free(data); }

// Fields without a lock named are set while the handle opens and stay as they
// are, or belong to one thread as their comments say.
struct NetHandle : Handle {
    uint32_t family = kFamily2;
    char serial[kSerialBytes + 1] = {};

    // Call lock before state lock; the state lock is never held while waiting for
    // the device.
    Ambry::CMutex call_lock;
    Ambry::CMutex state_lock;
    std::condition_variable_any frame_cv;  // with state_lock

    Client *client TSL_GUARDED_BY(state_lock) = nullptr;
    bool disconnected TSL_GUARDED_BY(state_lock) = false;
    uint32_t capabilities TSL_GUARDED_BY(state_lock) = 0;
    uint32_t type = 0;
    std::string name;
    uint32_t address = 0;
    uint16_t port = 0;
    char address_text[19] = {};
    OpenOptions options;

    // Reconnection worker.
    Ambry::CMutex reconnect_mutex;
    std::condition_variable_any reconnect_cv;  // with reconnect_mutex
    std::thread reconnect_thread TSL_GUARDED_BY(reconnect_mutex);
    bool reconnect_wake TSL_GUARDED_BY(reconnect_mutex) = false;
    bool reconnect_stop TSL_GUARDED_BY(reconnect_mutex) = false;
    // Closing calls a running attempt off: the connect and greeting waits watch
    // the flag, and the client of an attempt not yet handed over (under
    // reconnect_mutex) is aborted.
    std::atomic<bool> reconnect_cancel{false};
    Client *reconnecting TSL_GUARDED_BY(reconnect_mutex) = nullptr;
    bool closing TSL_GUARDED_BY(state_lock) = false;

    imaging::FrameDecoder decoder;  // reader thread only
    // The self-contained frame the decoder's reference came from (reader thread
    // only). Deltas apply only on top of it: a delta that arrives after a skipped
    // or failed self-contained frame would build a wrong picture, so it is dropped;
    // so is one decoded to another layout than the reference was.
    struct {
        bool valid = false;
        uint32_t id = 0, width = 0, height = 0, target = 0;
    } reference;

    uint32_t state TSL_GUARDED_BY(state_lock) = 0;
    char user[32] TSL_GUARDED_BY(state_lock) = {};
    uint8_t password_digest[16] TSL_GUARDED_BY(state_lock) = {};
    uint32_t active_format TSL_GUARDED_BY(state_lock) = 0;
    uint32_t requested_format TSL_GUARDED_BY(state_lock) = 0;
    CropRect crop TSL_GUARDED_BY(state_lock);
    VideoMode mode TSL_GUARDED_BY(state_lock);
    uint8_t grab_state TSL_GUARDED_BY(state_lock) = GRAB_STATE_IDLE;

    FrameAllocator allocator TSL_GUARDED_BY(state_lock) = {HeapAllocate, HeapRelease};
    void *allocator_context TSL_GUARDED_BY(state_lock) = nullptr;
    StreamCallbacks stream TSL_GUARDED_BY(state_lock) = {};
    void *stream_context TSL_GUARDED_BY(state_lock) = nullptr;
    NotifyCallbacks notify TSL_GUARDED_BY(state_lock) = {};
    void *notify_context TSL_GUARDED_BY(state_lock) = nullptr;
    AudioFormat audio TSL_GUARDED_BY(state_lock);         // the device's last audio format (id -1: none)
    AudioFormat audio_wanted TSL_GUARDED_BY(state_lock);  // what StartAudio got as the answer

    std::deque<FrameRecord *> queue TSL_GUARDED_BY(state_lock);
    std::map<uint32_t, Parameter> param_cache TSL_GUARDED_BY(state_lock);
};

// ---- Handles (Driver.cpp) -------------------------------------------------------------

const Driver &TheDriver();
// The handle as this driver's record; none for a null or foreign handle.
NetHandle *Valid(Handle *h);
Client *CurrentClient(NetHandle *h);
Handle *OpenWith(uint32_t address, uint16_t port, const OpenOptions &options);
// The handlers every client of this driver gets.
extern const ClientCallbacks kClientCallbacks;

// The state reply (requests 8 and 9).
struct StateReply {
    VideoMode mode;
    uint8_t grab_state = 0;
};
bool ReadState(Client *c, uint32_t type, StateReply &out);
std::vector<uint8_t> U32Payload(uint32_t v);
// Request 29's payload: the flag word and, unless none (id -1), the format.
std::vector<uint8_t> StartAudioPayload(const AudioFormat &format);

// ---- Frames and the stream path (StreamPath.cpp) --------------------------------------

// A frame record owning `data` (image_bytes and buffer_size both `size`), which
// release(data, release_context) frees; none when the record cannot be allocated,
// and then the data stays the caller's.
FrameRecord *NewFrame(NetHandle *h, const FrameHeader &header, uint8_t *data, size_t size,
                      void (*release)(void *, void *), void *release_context);
void FreeFrame(FrameRecord *frame);
void DiscardQueueLocked(NetHandle *h) TSL_REQUIRES(h->state_lock);

// Sets the device's stream format and, when it changed, its crop rectangle.
bool ApplyStreamFormat(NetHandle *h, Client *c, uint32_t format, const CropRect *crop);
// A frame of the stream converted to the requested format; none when streaming
// gives none within the frame wait.
FrameRecord *GrabStreamed(NetHandle *h, Client *c, uint32_t format, const CropRect *crop);
// Turns a grabbed picture as the format word's rotation bits ask.
bool RotateGrabbed(FrameRecord *f, uint32_t rotation);
// Frame events (reader thread).
bool OnFrameData(Client *client, const FrameHeader &header, PayloadReader &image, void *owner);

bool OpEnableStreaming(Handle *handle);
bool OpSetStreamFormat(Handle *handle, uint32_t format, const CropRect *crop);
bool OpSetStreamCallbacks(Handle *handle, const StreamCallbacks *callbacks, void *context);
bool OpDisableStreaming(Handle *handle);

// ---- Reconnection (Reconnect.cpp) -----------------------------------------------------

// The end of a connection (reader thread).
void OnDisconnected(Client *client, void *owner);
// Starts the handle's worker unless it runs, and wakes it.
void WakeReconnect(NetHandle *h);
// Stops the worker and waits for it. With call_off, an attempt under way is given
// up at once (its connection ends) rather than waited for.
void StopReconnect(NetHandle *h, bool call_off);

}  // namespace Grabber
