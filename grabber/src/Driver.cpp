// The "TESLINE" network driver: grabber handles over the client connection.
#include "grabber/Grabber.h"

#include "grabber/Client.h"
#include "grabber/Wire.h"

#include <ambry/Mutex.h>
#include <ambry/Net.h>
#include <imaging/Convert.h>
#include <imaging/Decoder.h>
#include <imaging/Format.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <thread>

namespace Grabber {

namespace {

// Stream state bits.
enum : uint32_t {
    ST_AUTO_RECONNECT = 0x1,
    ST_LOGGED_IN = 0x2,
    ST_HAS_AUDIO = 0x4,
    ST_AUDIO_RUNNING = 0x8,
    ST_STREAMING = 0x10,
};

constexpr int kLoginWaitMs = 5000;

bool IsCachedParameter(uint32_t id)
{
    switch (id) {
    case 0: case 1: case 8: case 10: case 13: case 17: case 18: case 21: case 27:
        return true;
    default:
        return false;
    }
}

void *HeapAllocate(size_t size, void *) { return std::malloc(size ? size : 1); }
void HeapRelease(void *data, void *) { std::free(data); }

struct NetHandle : Handle {
    uint32_t family = 0x20000;
    char serial[kSerialBytes + 1] = {};

    // Call lock before state lock; the state lock is never held while waiting for
    // the device.
    Ambry::CMutex call_lock;
    Ambry::CMutex state_lock;
    std::condition_variable_any frame_cv;  // with state_lock

    Client *client = nullptr;
    bool disconnected = false;
    uint32_t capabilities = 0;
    uint32_t type = 0;
    std::string name;
    uint32_t address = 0;
    uint16_t port = 0;
    char address_text[19] = {};
    OpenOptions options;

    // Reconnection worker.
    std::thread reconnect_thread;
    std::mutex reconnect_mutex;
    std::condition_variable reconnect_cv;
    bool reconnect_wake = false;
    bool reconnect_stop = false;
    // Closing calls a running attempt off: the connect and greeting waits watch
    // the flag, and the client of an attempt not yet handed over (under
    // reconnect_mutex) is aborted.
    std::atomic<bool> reconnect_cancel{false};
    Client *reconnecting = nullptr;
    bool closing = false;

    imaging::FrameDecoder decoder;  // reader thread only
    // The self-contained frame the decoder's reference came from (reader thread
    // only). Deltas apply only on top of it: a delta that arrives after a skipped
    // or failed self-contained frame would build a wrong picture, so it is dropped.
    struct {
        bool valid = false;
        uint32_t id = 0, width = 0, height = 0;
    } reference;

    uint32_t state = 0;
    char user[32] = {};
    uint8_t password_digest[16] = {};
    uint32_t active_format = 0;
    uint32_t requested_format = 0;
    CropRect crop;
    VideoMode mode;
    uint8_t grab_state = 1;

    FrameAllocator allocator{HeapAllocate, HeapRelease};
    void *allocator_context = nullptr;
    StreamCallbacks stream{};
    void *stream_context = nullptr;
    NotifyCallbacks notify{};
    void *notify_context = nullptr;
    AudioFormat audio;

    std::deque<FrameRecord *> queue;
    std::map<uint32_t, Parameter> param_cache;
};

const Driver &TheDriver();

NetHandle *Valid(Handle *h)
{
    if (!h || h->ops != &TheDriver().ops)
        return nullptr;
    return static_cast<NetHandle *>(h);
}

Client *CurrentClient(NetHandle *h)
{
    Ambry::CLock lock(h->state_lock);
    return h->client;
}

void FreeFrame(FrameRecord *frame)
{
    if (!frame)
        return;
    if (frame->data && frame->release)
        frame->release(frame->data, frame->release_context);
    delete frame;
}

void DiscardQueueLocked(NetHandle *h)
{
    for (FrameRecord *f : h->queue)
        FreeFrame(f);
    h->queue.clear();
}

// ---- Request wrappers ---------------------------------------------------------------

int ParseSerial(Client *, PayloadReader &r, void *ctx) { return DecodeSerial(r, static_cast<char *>(ctx)) ? 1 : 0; }

int ParseU32(Client *, PayloadReader &r, void *ctx) { return r.U32(*static_cast<uint32_t *>(ctx)) ? 1 : 0; }

struct StateReply {
    VideoMode mode;
    uint8_t grab_state = 0;
};
int ParseState(Client *, PayloadReader &r, void *ctx)
{
    auto *s = static_cast<StateReply *>(ctx);
    return DecodeState(r, s->mode, s->grab_state) ? 1 : 0;
}

bool ReadState(Client *c, uint32_t type, StateReply &out)
{
    return WaitedRequest(c, type, {}, ParseState, &out) > 0;
}

struct AdjustmentReply {
    VideoAdjustments adj;
    AdjustmentRanges ranges;
};
int ParseAdjustments(Client *, PayloadReader &r, void *ctx)
{
    auto *a = static_cast<AdjustmentReply *>(ctx);
    return DecodeAdjustmentBlock(r, a->adj, a->ranges) ? 1 : 0;
}

struct ParamReply {
    uint8_t type = 0;
    uint8_t value[256] = {};
};
int ParseParam(Client *, PayloadReader &r, void *ctx)
{
    auto *p = static_cast<ParamReply *>(ctx);
    uint8_t result = 1, type = 0;
    if (!r.U8(result) || result != 0)
        return 0;
    if (!r.U8(type) || type != p->type || p->type == PT_NONE)
        return 0;
    return DecodeParamValue(r, type, p->value) ? 1 : 0;
}

int ParseResultByte(Client *, PayloadReader &r, void *)
{
    uint8_t result = 1;
    return r.U8(result) && result == 0 ? 1 : 0;
}

int ParseModes(Client *, PayloadReader &r, void *ctx)
{
    if (r.Remaining() % kModeEntryBytes != 0) {
        r.Fail();
        return 0;
    }
    auto *list = static_cast<ModeList *>(ctx);
    list->entries.resize(r.Remaining() / kModeEntryBytes);
    for (ModeEntry &e : list->entries)
        if (!DecodeModeEntry(r, e))
            return 0;
    return 1;
}

int ParseFormatReply(Client *, PayloadReader &r, void *ctx)
{
    return DecodeFormatReply(r, *static_cast<FormatReply *>(ctx)) ? 1 : 0;
}

int ParseText(Client *, PayloadReader &r, void *ctx)
{
    size_t n = r.Remaining();
    char *text = static_cast<char *>(std::malloc(n + 1));
    if (!text)
        return 0;
    if (!r.Bytes(text, n)) {
        std::free(text);
        return 0;
    }
    text[n] = 0;
    *static_cast<char **>(ctx) = text;
    return 1;
}

struct GrabReply {
    FrameHeader header;
    uint8_t *data = nullptr;
    size_t bytes = 0;
};
int ParseGrab(Client *, PayloadReader &r, void *ctx)
{
    auto *g = static_cast<GrabReply *>(ctx);
    if (!DecodeFrameHeader(r, g->header, true))
        return 0;
    size_t n = r.Remaining();
    if (n == 0)
        return 1;
    g->data = static_cast<uint8_t *>(std::malloc(n));
    if (!g->data)
        return 0;  // the rest is skipped, the connection stays
    if (!r.Bytes(g->data, n)) {
        std::free(g->data);
        g->data = nullptr;
        return 0;
    }
    g->bytes = n;
    return 1;
}

std::vector<uint8_t> U32Payload(uint32_t v)
{
    std::vector<uint8_t> p;
    PayloadWriter(p).U32(v);
    return p;
}

// ---- Parameters -----------------------------------------------------------------------

bool ReadParameter(NetHandle *h, Client *c, Parameter *param)
{
    uint32_t id = param->id;
    if (IsCachedParameter(id)) {
        Ambry::CLock lock(h->state_lock);
        auto it = h->param_cache.find(id);
        if (it != h->param_cache.end()) {
            *param = it->second;
            return true;
        }
    }
    ParamReply reply;
    reply.type = ParamTypeOf(id);
    std::vector<uint8_t> payload;
    PayloadWriter w(payload);
    w.U32(id);
    uint32_t request = REQ_GET_PARAM;
    if (id == 14) {
        // The wanted index goes along as the argument, with an empty entry.
        uint8_t arg[256] = {};
        std::memcpy(arg, param->value, 4);
        w.U8(PT_INDEXED_MODE);
        EncodeParamValue(w, PT_INDEXED_MODE, arg);
        request = REQ_GET_PARAM_WITH;
    }
    if (WaitedRequest(c, request, payload, ParseParam, &reply) <= 0 || reply.type == PT_NONE)
        return false;
    std::memcpy(param->value, reply.value, sizeof param->value);
    if (IsCachedParameter(id)) {
        Ambry::CLock lock(h->state_lock);
        h->param_cache[id] = *param;
    }
    return true;
}

bool WriteParameter(NetHandle *h, Client *c, const Parameter *param)
{
    uint8_t type = ParamTypeOf(param->id);
    if (type == PT_NONE)
        return false;
    std::vector<uint8_t> payload;
    PayloadWriter w(payload);
    w.U32(param->id);
    w.U8(type);
    EncodeParamValue(w, type, param->value);
    bool ok = WaitedRequest(c, REQ_SET_PARAM, payload, ParseResultByte, nullptr) > 0;
    // A written value must not be answered from a stale cache afterwards.
    Ambry::CLock lock(h->state_lock);
    h->param_cache.erase(param->id);
    return ok;
}

// ---- Stream formats ----------------------------------------------------------------

uint32_t StreamFormatFor(uint32_t requested)
{
    switch (requested & FORMAT_PIXEL_MASK) {
    case 4: case 8: case 16: case 256: case 512: case 768: case 1024: case 1280: case 2560:
        return 1792;
    case 1536: case 1792: case 2304:
        return requested & FORMAT_PIXEL_MASK;
    case 2048:
        return 2304;
    default:
        return 1536;
    }
}

bool ApplyStreamFormat(NetHandle *h, Client *c, uint32_t format, const CropRect *crop)
{
    FormatReply reply;
    if (WaitedRequest(c, REQ_SET_FORMAT, U32Payload(format), ParseFormatReply, &reply) <= 0 || reply.result != 0)
        return false;
    CropRect wanted = crop ? *crop : CropRect{};
    bool crop_changed;
    {
        Ambry::CLock lock(h->state_lock);
        h->active_format = format;
        crop_changed = std::memcmp(&wanted, &h->crop, sizeof wanted) != 0;
        h->crop = wanted;
    }
    if (crop_changed) {
        std::vector<uint8_t> p;
        PayloadWriter w(p);
        EncodeCrop(w, wanted);
        PostRequest(c, REQ_SET_CROP, p);
    }
    return true;
}

// Converts a streamed frame to the requested format; false when it cannot.
bool ConvertStreamed(FrameRecord *f, uint32_t requested)
{
    imaging::FrameBuffer fb{f->data, f->image_bytes, f->format, static_cast<int32_t>(f->rect.width),
                            static_cast<int32_t>(f->rect.height)};
    uint32_t want = requested & FORMAT_PIXEL_MASK;
    if ((fb.format & FORMAT_PIXEL_MASK) != want) {
        if ((fb.format & FORMAT_PIXEL_MASK) != imaging::kYuy2 || !imaging::ConvertFromYuy2(fb, want))
            return false;
    }
    bool want_bottom_up = (requested & FORMAT_BOTTOM_UP) != 0;
    if (want_bottom_up != ((fb.format & FORMAT_BOTTOM_UP) != 0)) {
        if (!imaging::FlipFrame(fb))
            return false;
    }
    f->format = fb.format;
    f->image_bytes = fb.size;
    return true;
}

// Turns a grabbed picture as bits 20-21 ask.
bool RotateGrabbed(FrameRecord *f, uint32_t rotation)
{
    imaging::FrameBuffer fb{f->data, f->image_bytes, f->format, static_cast<int32_t>(f->rect.width),
                            static_cast<int32_t>(f->rect.height)};
    if (rotation == imaging::kRotate180) {
        if (!imaging::Rotate180(fb))
            return false;
        f->format = fb.format;
        return true;
    }
    uint64_t size = imaging::FrameSize(fb.width, fb.height, fb.format);
    if (size == 0 || size > f->image_bytes)
        return false;
    auto *out = static_cast<uint8_t *>(std::malloc(size));
    if (!out)
        return false;
    imaging::FrameBuffer dst{out, size, 0, 0, 0};
    if (!imaging::Rotate90(fb, dst, rotation == imaging::kRotate90Clockwise)) {
        std::free(out);
        return false;
    }
    f->release(f->data, f->release_context);
    f->data = out;
    f->buffer_size = size;
    f->image_bytes = size;
    f->format = dst.format;
    f->rect.width = static_cast<uint32_t>(dst.width);
    f->rect.height = static_cast<uint32_t>(dst.height);
    f->release = HeapRelease;
    f->release_context = nullptr;
    return true;
}

// ---- Client callbacks (reader thread) --------------------------------------------------

bool OnEvent(Client *, uint32_t code, PayloadReader &payload, void *owner)
{
    auto *h = static_cast<NetHandle *>(owner);
    if (!h)
        return true;
    switch (code) {
    case EVT_GRAB_STATE: {
        uint8_t state;
        if (!payload.U8(state))
            return false;
        Ambry::CLock lock(h->state_lock);
        h->grab_state = state;
        if (state != 3)
            h->frame_cv.notify_all();
        return true;
    }
    case EVT_VIDEO_MODE: {
        VideoMode mode;
        if (!DecodeVideoMode(payload, mode))
            return false;
        StreamCallbacks cb;
        void *ctx;
        {
            Ambry::CLock lock(h->state_lock);
            h->mode = mode;
            cb = h->stream;
            ctx = h->stream_context;
        }
        if (cb.on_mode)
            cb.on_mode(ctx, mode);
        return true;
    }
    case EVT_AUDIO_DATA: {
        NotifyCallbacks cb;
        void *ctx;
        bool running;
        {
            Ambry::CLock lock(h->state_lock);
            cb = h->notify;
            ctx = h->notify_context;
            running = (h->state & ST_AUDIO_RUNNING) != 0;
        }
        if (!running || !cb.on_audio_data)
            return true;
        std::vector<uint8_t> data(payload.Remaining());
        if (!payload.Bytes(data.data(), data.size()))
            return false;
        cb.on_audio_data(ctx, data.data(), data.size());
        return true;
    }
    case EVT_AUDIO_FORMAT: {
        AudioFormat format;
        if (!DecodeAudioFormat(payload, format))
            return false;
        if (format.id < 0 || format.size > 12)
            return true;
        NotifyCallbacks cb;
        void *ctx;
        {
            Ambry::CLock lock(h->state_lock);
            h->audio = format;
            h->state |= ST_AUDIO_RUNNING;
            cb = h->notify;
            ctx = h->notify_context;
        }
        if (cb.on_audio_format)
            cb.on_audio_format(ctx, format);
        return true;
    }
    case EVT_AUDIO_STOPPED: {
        NotifyCallbacks cb;
        void *ctx;
        {
            Ambry::CLock lock(h->state_lock);
            h->state &= ~ST_AUDIO_RUNNING;
            h->audio = AudioFormat{};
            cb = h->notify;
            ctx = h->notify_context;
        }
        if (cb.on_audio_stop)
            cb.on_audio_stop(ctx);
        return true;
    }
    default:
        return true;
    }
}

bool OnFrameData(Client *, const FrameHeader &header, PayloadReader &image, void *owner)
{
    auto *h = static_cast<NetHandle *>(owner);
    if (!h)
        return true;
    FrameAllocator alloc;
    void *alloc_ctx;
    uint32_t requested;
    {
        Ambry::CLock lock(h->state_lock);
        if (h->active_format == 0) {
            h->reference.valid = false;
            return true;  // not streaming: the image is skipped
        }
        alloc = h->allocator;
        alloc_ctx = h->allocator_context;
        requested = h->requested_format;
    }
    size_t size = image.Remaining();
    uint32_t pixel = header.format & FORMAT_PIXEL_MASK;
    bool compressed = imaging::IsCompressed(pixel);
    bool own_heap = compressed && pixel != (requested & FORMAT_PIXEL_MASK);
    void *(*allocate)(size_t, void *) = own_heap ? HeapAllocate : alloc.allocate;
    void (*release)(void *, void *) = own_heap ? HeapRelease : alloc.release;
    void *ctx = own_heap ? nullptr : alloc_ctx;
    auto *data = static_cast<uint8_t *>(allocate(size, ctx));
    if (!data)
        return image.Skip(size);
    if (!image.Bytes(data, size)) {
        release(data, ctx);
        return false;
    }
    auto *frame = new (std::nothrow) FrameRecord;
    if (!frame) {
        release(data, ctx);
        return true;
    }
    frame->data = data;
    frame->buffer_size = size;
    frame->image_bytes = size;
    frame->format = header.format;
    frame->rect = header.rect;
    frame->source_mode = header.mode;
    frame->owner = h;
    frame->release = release;
    frame->release_context = ctx;

    uint32_t want = requested & FORMAT_PIXEL_MASK;
    if (own_heap && !imaging::IsCompressed(want)) {
        // Decode into a buffer of the decoded picture's size.
        imaging::CompressedHeader ch;
        bool self_contained = imaging::IsSelfContained(data, size);
        bool usable = imaging::ParseCompressedHeader(data, size, ch) &&
                      (self_contained || (h->reference.valid && h->reference.id == ch.format &&
                                          h->reference.width == ch.width && h->reference.height == ch.height));
        uint64_t out_size = 0;
        if (usable) {
            (void)h->decoder.ChooseTarget(data, size, want);
            out_size = h->decoder.OutputSize(data, size);
        }
        uint8_t *out = out_size ? static_cast<uint8_t *>(alloc.allocate(out_size, alloc_ctx)) : nullptr;
        bool decoded = out && h->decoder.Decode(data, size, out, out_size) > 0;
        FreeFrame(frame);
        if (self_contained || !decoded)
            h->reference = {decoded, ch.format, ch.width, ch.height};
        if (!decoded) {
            if (out)
                alloc.release(out, alloc_ctx);
            return true;
        }
        frame = new (std::nothrow) FrameRecord;
        if (!frame) {
            alloc.release(out, alloc_ctx);
            return true;
        }
        frame->data = out;
        frame->buffer_size = out_size;
        frame->image_bytes = out_size;
        frame->format = h->decoder.TargetId();
        frame->rect = CropRect{0, 0, ch.width, ch.height};
        frame->source_mode = header.mode;
        frame->owner = h;
        frame->release = alloc.release;
        frame->release_context = alloc_ctx;
    }

    StreamCallbacks cb;
    void *cb_ctx;
    {
        Ambry::CLock lock(h->state_lock);
        cb = h->stream;
        cb_ctx = h->stream_context;
    }
    if (cb.on_frame && cb.on_frame(cb_ctx, frame))
        return true;
    Ambry::CLock lock(h->state_lock);
    if (h->queue.size() >= kMaxQueuedFrames) {
        FreeFrame(frame);
    } else {
        h->queue.push_back(frame);
    }
    h->frame_cv.notify_all();
    return true;
}

void ReconnectWorker(NetHandle *h);

void OnDisconnected(Client *client, void *owner)
{
    auto *h = static_cast<NetHandle *>(owner);
    if (!h)
        return;
    NotifyCallbacks cb;
    void *ctx;
    bool reconnecting = false;
    {
        Ambry::CLock lock(h->state_lock);
        if (client != h->client)
            return;  // a connection that was never swapped in, or already replaced
        h->disconnected = true;
        h->grab_state = 0;
        if ((h->state & ST_AUTO_RECONNECT) && !h->closing) {
            reconnecting = true;
            std::lock_guard<std::mutex> rl(h->reconnect_mutex);
            if (!h->reconnect_thread.joinable()) {
                h->reconnect_stop = false;
                h->reconnect_thread = std::thread(ReconnectWorker, h);
            }
            h->reconnect_wake = true;
            h->reconnect_cv.notify_all();
        } else {
            h->active_format = 0;
        }
        h->frame_cv.notify_all();
        cb = h->notify;
        ctx = h->notify_context;
    }
    if (cb.on_connection)
        cb.on_connection(ctx, false, reconnecting);
}

const ClientCallbacks kClientCallbacks = {nullptr, nullptr, OnEvent, OnFrameData, OnDisconnected};

// ---- Reconnection -------------------------------------------------------------------

bool StopRequested(NetHandle *h)
{
    std::lock_guard<std::mutex> rl(h->reconnect_mutex);
    return h->reconnect_stop;
}

// Records the attempt's client (none: the attempt is over) unless a stop came
// first; false then.
bool Attempting(NetHandle *h, Client *client)
{
    std::lock_guard<std::mutex> rl(h->reconnect_mutex);
    h->reconnecting = h->reconnect_stop ? nullptr : client;
    return !h->reconnect_stop;
}

void ReconnectWorker(NetHandle *h)
{
    pthread_setname_np(pthread_self(), "TSLReconnect");
    for (;;) {
        {
            std::unique_lock<std::mutex> rl(h->reconnect_mutex);
            h->reconnect_cv.wait(rl, [h] { return h->reconnect_wake || h->reconnect_stop; });
            if (h->reconnect_stop)
                return;
            h->reconnect_wake = false;
        }
        for (;;) {
            bool disconnected, logged_in;
            char user[32];
            uint8_t digest[16];
            {
                Ambry::CLock lock(h->state_lock);
                disconnected = h->disconnected;
                logged_in = (h->state & ST_LOGGED_IN) != 0;
                std::memcpy(user, h->user, sizeof user);
                std::memcpy(digest, h->password_digest, sizeof digest);
            }
            if (!disconnected || StopRequested(h))
                break;
            ConnectOptions co;
            co.compressed = h->options.compressed;
            co.timeout_ms = h->options.connect_timeout_ms;
            co.cancel = &h->reconnect_cancel;
            Client *fresh = ConnectClient(h->address, h->port, co, &kClientCallbacks, h);
            if (fresh && !Attempting(h, fresh)) {
                CloseClient(fresh);
                return;
            }
            if (fresh && logged_in && !ClientClosed(fresh))
                (void)BeginLogin(fresh, user, digest, kLoginWaitMs);
            if (fresh && !ClientClosed(fresh)) {
                SetClientRequestTimeout(fresh, h->options.request_timeout_ms);
                Client *old;
                uint32_t stream_format = 0;
                bool streaming, audio;
                AudioFormat audio_format;
                NotifyCallbacks cb;
                void *ctx;
                {
                    Ambry::CLock call(h->call_lock);
                    Ambry::CLock lock(h->state_lock);
                    old = h->client;
                    h->client = fresh;
                    h->capabilities = ClientCapabilities(fresh);
                    h->disconnected = false;
                    streaming = (h->state & ST_STREAMING) != 0;
                    stream_format = h->active_format;
                    h->active_format = 0;
                    audio = (h->state & ST_AUDIO_RUNNING) != 0;
                    audio_format = h->audio;
                    cb = h->notify;
                    ctx = h->notify_context;
                }
                CloseClient(old);
                if (cb.on_connection)
                    cb.on_connection(ctx, true, false);
                StateReply state;
                Ambry::CLock call(h->call_lock);
                if (ReadState(fresh, REQ_QUERY_STATE, state)) {
                    Ambry::CLock lock(h->state_lock);
                    h->mode = state.mode;
                    h->grab_state = state.grab_state;
                }
                if (audio) {
                    std::vector<uint8_t> p;
                    PayloadWriter w(p);
                    w.U32(1);
                    if (audio_format.id >= 0)
                        EncodeAudioFormat(w, audio_format);
                    (void)WaitedRequest(fresh, REQ_START_AUDIO, p, nullptr, nullptr);
                }
                if (streaming && stream_format != 0) {
                    CropRect crop;
                    {
                        Ambry::CLock lock(h->state_lock);
                        crop = h->crop;
                        h->crop = CropRect{};
                    }
                    if (!ApplyStreamFormat(h, fresh, stream_format, &crop)) {
                        Ambry::CLock lock(h->state_lock);
                        h->state &= ~ST_STREAMING;
                    }
                }
                // Handed over: from here on the handle owns the client.
                if (!Attempting(h, nullptr))
                    return;
                continue;  // checks the disconnected flag again
            }
            (void)Attempting(h, nullptr);
            if (fresh)
                CloseClient(fresh);
            std::unique_lock<std::mutex> rl(h->reconnect_mutex);
            h->reconnect_cv.wait_for(rl, std::chrono::milliseconds(h->options.reconnect_interval_ms),
                                     [h] { return h->reconnect_stop; });
            if (h->reconnect_stop)
                return;
        }
    }
}

// Stops the worker and waits for it. With call_off, an attempt under way is given
// up at once (its connection ends) rather than waited for.
void StopReconnect(NetHandle *h, bool call_off)
{
    std::thread worker;
    {
        std::lock_guard<std::mutex> rl(h->reconnect_mutex);
        h->reconnect_stop = true;
        if (call_off) {
            h->reconnect_cancel = true;
            AbortClient(h->reconnecting);
        }
        h->reconnect_cv.notify_all();
        worker = std::move(h->reconnect_thread);
    }
    if (worker.joinable())
        worker.join();
    std::lock_guard<std::mutex> rl(h->reconnect_mutex);
    h->reconnect_stop = false;
    h->reconnect_wake = false;
    h->reconnect_cancel = false;
    h->reconnecting = nullptr;
}

// ---- Operations -----------------------------------------------------------------------

bool OpSetAllocator(Handle *handle, const FrameAllocator *allocator, void *context)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    if (allocator && allocator->allocate && allocator->release) {
        h->allocator = *allocator;
        h->allocator_context = context;
    } else {
        h->allocator = FrameAllocator{HeapAllocate, HeapRelease};
        h->allocator_context = nullptr;
    }
    return true;
}

Handle *OpenWith(uint32_t address, uint16_t port, const OpenOptions &options);

Handle *OpReopen(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return nullptr;
    NetHandle *n = static_cast<NetHandle *>(OpenWith(h->address, h->port, h->options));
    if (!n)
        return nullptr;
    bool logged_in, auto_reconnect;
    char user[32];
    uint8_t digest[16];
    {
        Ambry::CLock lock(h->state_lock);
        logged_in = (h->state & ST_LOGGED_IN) != 0;
        auto_reconnect = (h->state & ST_AUTO_RECONNECT) != 0;
        std::memcpy(user, h->user, sizeof user);
        std::memcpy(digest, h->password_digest, sizeof digest);
    }
    if (logged_in && BeginLogin(n->client, user, digest, kLoginWaitMs) == OUTCOME_ACCEPTED) {
        Ambry::CLock lock(n->state_lock);
        n->state |= ST_LOGGED_IN;
        std::memcpy(n->user, user, sizeof user);
        std::memcpy(n->password_digest, digest, sizeof digest);
    }
    if (auto_reconnect)
        SetAutoReconnect(n, true);
    return n;
}

const char *OpGetName(Handle *handle)
{
    NetHandle *h = Valid(handle);
    return h ? h->name.c_str() : "";
}

const char *OpGetAddressText(Handle *handle)
{
    NetHandle *h = Valid(handle);
    return h ? h->address_text : "";
}

uint32_t OpGetType(Handle *handle)
{
    NetHandle *h = Valid(handle);
    return h ? h->type : 0;
}

void OpGetVideoMode(Handle *handle, VideoMode *mode)
{
    NetHandle *h = Valid(handle);
    if (!mode)
        return;
    if (!h) {
        *mode = VideoMode{};
        return;
    }
    Ambry::CLock lock(h->state_lock);
    *mode = h->mode;
}

bool OpDetectVideoMode(Handle *handle, VideoMode *mode)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock call(h->call_lock);
    StateReply state;
    if (!ReadState(CurrentClient(h), REQ_DETECT_MODE, state)) {
        Ambry::CLock lock(h->state_lock);
        if (h->state & ST_AUTO_RECONNECT) {
            if (mode)
                *mode = VideoMode{};
            return true;
        }
        return false;
    }
    Ambry::CLock lock(h->state_lock);
    h->mode = state.mode;
    h->grab_state = state.grab_state;
    if (mode)
        *mode = state.mode;
    return true;
}

bool OpGetAdjustments(Handle *handle, VideoAdjustments *adj, AdjustmentRanges *ranges)
{
    if (adj)
        *adj = VideoAdjustments{};
    if (ranges)
        *ranges = AdjustmentRanges{};
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock call(h->call_lock);
    AdjustmentReply reply;
    if (WaitedRequest(CurrentClient(h), REQ_GET_ADJUSTMENTS, {}, ParseAdjustments, &reply) <= 0)
        return false;
    if (adj)
        *adj = reply.adj;
    if (ranges)
        *ranges = reply.ranges;
    return true;
}

bool OpSetAdjustments(Handle *handle, const VideoAdjustments *adj)
{
    NetHandle *h = Valid(handle);
    if (!h || !adj)
        return false;
    std::vector<uint8_t> p;
    PayloadWriter w(p);
    EncodeAdjustmentRecord(w, *adj);
    Ambry::CLock call(h->call_lock);
    return WaitedRequest(CurrentClient(h), REQ_SET_ADJUSTMENTS, p, nullptr, nullptr) > 0;
}

bool OpGetParameter(Handle *handle, Parameter *param)
{
    NetHandle *h = Valid(handle);
    if (!h || !param)
        return false;
    Ambry::CLock call(h->call_lock);
    return ReadParameter(h, CurrentClient(h), param);
}

bool OpSetParameter(Handle *handle, const Parameter *param)
{
    NetHandle *h = Valid(handle);
    if (!h || !param)
        return false;
    Ambry::CLock call(h->call_lock);
    return WriteParameter(h, CurrentClient(h), param);
}

ModeList *OpGetModeList(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return nullptr;
    auto list = std::make_unique<ModeList>();
    Ambry::CLock call(h->call_lock);
    Client *c = CurrentClient(h);
    if (WaitedRequest(c, REQ_GET_MODES, {}, ParseModes, list.get()) > 0)
        return list.release();
    if (ClientClosed(c))
        return nullptr;
    // Older devices: the custom slots one by one through parameter 14.
    list->entries.clear();
    for (uint32_t index = 0; index < kCustomModeSlots; ++index) {
        Parameter p;
        p.id = 14;
        std::memcpy(p.value, &index, 4);
        if (!ReadParameter(h, c, &p))
            break;
        ModeEntry e;
        std::memcpy(&e, p.value + 4, sizeof e);
        if (!(e.flags & 1))
            break;
        list->entries.push_back(e);
    }
    if (list->entries.empty())
        return nullptr;
    return list.release();
}

bool OpSetModeList(Handle *handle, const ModeList *list)
{
    NetHandle *h = Valid(handle);
    if (!h || !list)
        return false;
    std::vector<uint8_t> p;
    PayloadWriter w(p);
    for (const ModeEntry &e : list->entries)
        EncodeModeEntry(w, e);
    Ambry::CLock call(h->call_lock);
    Client *c = CurrentClient(h);
    if (WaitedRequest(c, REQ_SET_MODES, p, nullptr, nullptr) > 0)
        return true;
    if (ClientClosed(c))
        return false;
    for (uint32_t index = 0; index < list->entries.size(); ++index) {
        Parameter param;
        param.id = 14;
        std::memcpy(param.value, &index, 4);
        std::memcpy(param.value + 4, &list->entries[index], sizeof(ModeEntry));
        if (!WriteParameter(h, c, &param))
            return false;
    }
    return true;
}

bool OpPostBlock(Handle *handle, uint16_t tag, uint16_t length, const void *bytes)
{
    NetHandle *h = Valid(handle);
    if (!h || (length && !bytes))
        return false;
    std::vector<uint8_t> p;
    PayloadWriter w(p);
    w.U16(tag);
    w.Bytes(bytes, length);
    Ambry::CLock call(h->call_lock);
    return PostRequest(CurrentClient(h), REQ_POST_BLOCK, p) != 0;
}

bool OpSetRate(Handle *handle, double *value)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    uint32_t fixed = value ? RateToFixed(*value) : 0;
    uint32_t in_effect = 0;
    Ambry::CLock call(h->call_lock);
    if (WaitedRequest(CurrentClient(h), REQ_SET_RATE, U32Payload(fixed), ParseU32, &in_effect) <= 0)
        return false;
    if (value)
        *value = RateFromFixed(in_effect);
    return true;
}

bool OpEnableStreaming(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    h->state |= ST_STREAMING;
    DiscardQueueLocked(h);
    return true;
}

bool OpSetStreamFormat(Handle *handle, uint32_t format, const CropRect *crop)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock call(h->call_lock);
    return ApplyStreamFormat(h, CurrentClient(h), format, crop);
}

bool OpSetStreamCallbacks(Handle *handle, const StreamCallbacks *callbacks, void *context)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    h->stream = callbacks ? *callbacks : StreamCallbacks{};
    h->stream_context = context;
    return true;
}

bool OpDisableStreaming(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock call(h->call_lock);
    bool was_active;
    {
        Ambry::CLock lock(h->state_lock);
        h->state &= ~ST_STREAMING;
        was_active = h->active_format != 0;
        h->active_format = 0;
        DiscardQueueLocked(h);
    }
    if (was_active)
        PostRequest(CurrentClient(h), REQ_STOP_STREAM, {});
    return true;
}

FrameRecord *GrabStreamed(NetHandle *h, Client *c, uint32_t format, const CropRect *crop)
{
    uint32_t stream_format = StreamFormatFor(format);
    uint32_t active;
    {
        Ambry::CLock lock(h->state_lock);
        active = h->active_format;
    }
    if (stream_format != active) {
        if (active != 0)
            PostRequest(c, REQ_STOP_STREAM, {});
        {
            Ambry::CLock lock(h->state_lock);
            h->active_format = 0;
        }
        if (!ApplyStreamFormat(h, c, stream_format, crop))
            return nullptr;
    }
    FrameRecord *frame = nullptr;
    {
        std::unique_lock<Ambry::CMutex> lock(h->state_lock);
        h->frame_cv.wait_for(lock, std::chrono::milliseconds(h->options.frame_wait_ms),
                             [h] { return !h->queue.empty() || h->disconnected; });
        if (h->queue.empty())
            return nullptr;
        frame = h->queue.front();
        h->queue.pop_front();
    }
    if (!ConvertStreamed(frame, format)) {
        FreeFrame(frame);
        return nullptr;
    }
    return frame;
}

FrameRecord *OpGrabFrame(Handle *handle, uint32_t format, const CropRect *crop)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return nullptr;
    Ambry::CLock call(h->call_lock);
    bool stream_path;
    {
        Ambry::CLock lock(h->state_lock);
        if (h->disconnected && !(h->state & ST_AUTO_RECONNECT))
            return nullptr;
        h->requested_format = format;
        stream_path = (h->state & ST_STREAMING) && !(format & FORMAT_NO_STREAMING) && h->grab_state == 3;
    }
    Client *c = CurrentClient(h);
    if (stream_path) {
        if (FrameRecord *f = GrabStreamed(h, c, format, crop))
            return f;
    }

    std::vector<uint8_t> p;
    PayloadWriter w(p);
    w.U32(format & ~FORMAT_ROTATION_MASK);
    EncodeCrop(w, crop ? *crop : CropRect{});
    GrabReply reply;
    if (WaitedRequest(c, REQ_GRAB, p, ParseGrab, &reply, kMaxImageBytes + kGrabHeaderBytes) <= 0) {
        std::free(reply.data);
        return nullptr;
    }
    auto *frame = new (std::nothrow) FrameRecord;
    if (!frame) {
        std::free(reply.data);
        return nullptr;
    }
    frame->data = reply.data;
    frame->buffer_size = reply.bytes;
    frame->image_bytes = reply.bytes;
    frame->format = reply.header.format;
    frame->rect = reply.header.rect;
    frame->source_mode = reply.header.mode;
    frame->status = reply.header.status;
    frame->owner = h;
    frame->release = HeapRelease;
    uint32_t rotation = (format & FORMAT_ROTATION_MASK) >> 20;
    if (rotation != 0 && frame->data && !imaging::IsCompressed(frame->format & FORMAT_PIXEL_MASK)) {
        if (!RotateGrabbed(frame, rotation)) {
            FreeFrame(frame);
            return nullptr;
        }
    }
    Ambry::CLock lock(h->state_lock);
    if (h->grab_state == 1)
        h->grab_state = 3;
    return frame;
}

void OpReleaseFrame(Handle *handle, FrameRecord *frame)
{
    NetHandle *h = Valid(handle);
    if (!h || !frame || frame->owner != h)
        return;
    FreeFrame(frame);
}

void OpClose(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return;
    OpDisableStreaming(h);
    {
        Ambry::CLock lock(h->state_lock);
        h->closing = true;
    }
    StopReconnect(h, true);
    Client *c;
    {
        Ambry::CLock call(h->call_lock);
        Ambry::CLock lock(h->state_lock);
        c = h->client;
        h->client = nullptr;
    }
    CloseClient(c);
    {
        Ambry::CLock lock(h->state_lock);
        DiscardQueueLocked(h);
    }
    h->ops = nullptr;
    delete h;
    ClientShutdown();
}

const Driver &TheDriver()
{
    static const Driver driver = {
        "TESLINE",
        &kClientCallbacks,
        0,
        {OpSetAllocator, OpReopen, OpGetName, OpGetAddressText, OpGetType, OpGetVideoMode, OpDetectVideoMode,
         OpGetAdjustments, OpSetAdjustments, OpGetParameter, OpSetParameter, OpGetModeList, OpSetModeList,
         OpPostBlock, OpSetRate, OpEnableStreaming, OpSetStreamFormat, OpSetStreamCallbacks, OpDisableStreaming,
         OpGrabFrame, OpReleaseFrame, OpClose},
    };
    return driver;
}

Handle *OpenWith(uint32_t address, uint16_t port, const OpenOptions &options)
{
    ClientStartup();
    ConnectOptions co;
    co.compressed = options.compressed;
    co.timeout_ms = options.connect_timeout_ms;
    Client *c = ConnectClient(address, port, co, &kClientCallbacks, nullptr);
    if (!c || ClientClosed(c)) {
        CloseClient(c);
        ClientShutdown();
        return nullptr;
    }
    SetClientRequestTimeout(c, options.request_timeout_ms);

    auto h = std::make_unique<NetHandle>();
    h->ops = &TheDriver().ops;
    h->options = options;
    h->client = c;
    uint32_t type = 0;
    if (WaitedRequest(c, REQ_GET_SERIAL, {}, ParseSerial, h->serial) <= 0 ||
        WaitedRequest(c, REQ_GET_TYPE, {}, ParseU32, &type) <= 0) {
        CloseClient(c);
        ClientShutdown();
        return nullptr;
    }
    h->type = type;
    h->address = ClientPeerAddress(c);
    h->port = ClientPeerPort(c);
    Ambry::FormatIPv4(h->address, h->address_text);

    Parameter name;
    name.id = 18;
    if (ReadParameter(h.get(), c, &name) && name.value[0] != 0)
        h->name = reinterpret_cast<const char *>(name.value);
    else if (type != 0)
        h->name = ModelName(type, TheDriver().name);
    else
        h->name = TheDriver().name;

    h->capabilities = ClientCapabilities(c);
    h->family = (h->capabilities & CAP_FAMILY_3) ? 0x30000 : 0x20000;
    if (h->capabilities & CAP_AUDIO)
        h->state |= ST_HAS_AUDIO;
    h->options.frame_wait_ms = options.frame_wait_ms;
    SetClientOwner(c, h.get());
    StateReply state;
    if (ReadState(c, REQ_QUERY_STATE, state)) {
        Ambry::CLock lock(h->state_lock);
        h->mode = state.mode;
        h->grab_state = state.grab_state;
    }
    if (ClientClosed(c)) {
        // The link broke while opening; a later reconnect could repair it, but the
        // caller has not asked for that yet.
        Ambry::CLock lock(h->state_lock);
        h->disconnected = true;
    }
    return h.release();
}

}  // namespace

// ---- Library entry points ------------------------------------------------------------------

const Driver &NetworkDriver() { return TheDriver(); }

void Startup()
{
    Ambry::NetStart();
    ClientStartup();
}

void Shutdown()
{
    ClientShutdown();
    Ambry::NetStop();
}

Handle *Open(uint32_t address, uint16_t port) { return OpenWith(address, port, OpenOptions{}); }
Handle *Open(uint32_t address, uint16_t port, const OpenOptions &options) { return OpenWith(address, port, options); }

int Login(Handle *handle, CredentialsSource source, void *context)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return LOGIN_FAILED;
    Ambry::CLock call(h->call_lock);
    Client *c = CurrentClient(h);
    uint32_t caps = ClientCapabilities(c);
    if (caps & CAP_NO_LOGIN)
        return LOGIN_NOT_NEEDED;
    {
        Ambry::CLock lock(h->state_lock);
        h->state &= ~ST_LOGGED_IN;
        std::memset(h->user, 0, sizeof h->user);
        std::memset(h->password_digest, 0, sizeof h->password_digest);
    }
    for (;;) {
        char user[32] = {};
        char password[64] = {};
        if (source && !source((caps & CAP_NO_USER_NAME) ? nullptr : user, password, context))
            return LOGIN_GAVE_UP;
        user[sizeof user - 1] = 0;
        password[sizeof password - 1] = 0;
        uint8_t digest[16];
        PasswordDigest(password, digest);
        int outcome = BeginLogin(c, (caps & CAP_NO_USER_NAME) ? "" : user, digest, kLoginWaitMs);
        if (outcome == OUTCOME_REJECTED) {
            if (!source)
                return LOGIN_GAVE_UP;  // nobody to ask for other credentials
            continue;
        }
        if (outcome == OUTCOME_NOT_NEEDED)
            return LOGIN_NOT_NEEDED;
        if (outcome != OUTCOME_ACCEPTED)
            return LOGIN_FAILED;
        uint8_t grab_state;
        {
            Ambry::CLock lock(h->state_lock);
            grab_state = h->grab_state;
        }
        StateReply state;
        bool have_state = grab_state == 1 && ReadState(c, REQ_QUERY_STATE, state);
        Ambry::CLock lock(h->state_lock);
        h->state |= ST_LOGGED_IN;
        std::memcpy(h->user, user, sizeof h->user);
        std::memcpy(h->password_digest, digest, sizeof digest);
        if (have_state) {
            h->mode = state.mode;
            h->grab_state = state.grab_state;
        }
        return LOGIN_ACCEPTED;
    }
}

void SetAutoReconnect(Handle *handle, bool on)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return;
    bool wake = false;
    {
        Ambry::CLock lock(h->state_lock);
        if (on) {
            h->state |= ST_AUTO_RECONNECT;
            wake = h->disconnected && !h->closing;
        } else {
            h->state &= ~ST_AUTO_RECONNECT;
        }
    }
    if (!on) {
        StopReconnect(h, false);
        return;
    }
    if (wake) {
        std::lock_guard<std::mutex> rl(h->reconnect_mutex);
        if (!h->reconnect_thread.joinable())
            h->reconnect_thread = std::thread(ReconnectWorker, h);
        h->reconnect_wake = true;
        h->reconnect_cv.notify_all();
    }
}

AddressRecord GetPeerAddress(Handle *handle)
{
    AddressRecord r;
    NetHandle *h = Valid(handle);
    if (!h)
        return r;
    r.family = 2;
    r.port_be = htons(h->port);
    r.address_be = htonl(h->address);
    return r;
}

bool RequiresLogin(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    return !(h->capabilities & CAP_NO_LOGIN);
}

bool HasAudio(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    return (h->state & ST_HAS_AUDIO) != 0;
}

bool IsConnected(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    return !h->disconnected && h->client && !ClientClosed(h->client);
}

const char *GetSerialNumber(Handle *handle)
{
    NetHandle *h = Valid(handle);
    return h ? h->serial : "";
}

char *GetDeviceName(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return nullptr;
    char *text = nullptr;
    Ambry::CLock call(h->call_lock);
    if (WaitedRequest(CurrentClient(h), REQ_GET_DEV_NAME, {}, ParseText, &text) <= 0) {
        std::free(text);
        return nullptr;
    }
    return text;
}

void FreeText(char *text) { std::free(text); }

bool SetDeviceName(Handle *handle, const char *name)
{
    NetHandle *h = Valid(handle);
    if (!h || !name)
        return false;
    std::vector<uint8_t> p(name, name + std::strlen(name));
    Ambry::CLock call(h->call_lock);
    return WaitedRequest(CurrentClient(h), REQ_SET_DEV_NAME, p, nullptr, nullptr) > 0;
}

void SetNotifyCallbacks(Handle *handle, const NotifyCallbacks *callbacks, void *context)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return;
    Ambry::CLock lock(h->state_lock);
    h->notify = callbacks ? *callbacks : NotifyCallbacks{};
    h->notify_context = context;
}

void FreeModeList(ModeList *list) { delete list; }

size_t QueuedFrameCount(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return 0;
    Ambry::CLock lock(h->state_lock);
    return h->queue.size();
}

// ---- Generic dispatchers --------------------------------------------------------------------

namespace {
const Operations *TableOf(Handle *h) { return h ? h->ops : nullptr; }
}  // namespace

const char *GetName(Handle *h)
{
    const Operations *ops = TableOf(h);
    return ops && ops->GetName ? ops->GetName(h) : "";
}

uint32_t GetType(Handle *h)
{
    NetHandle *n = Valid(h);
    const Operations *ops = TableOf(h);
    if (!n || !ops->GetType)
        return 0;
    return (ops->GetType(h) & 0xFFFF) | n->family;
}

void GetVideoMode(Handle *h, VideoMode *mode)
{
    const Operations *ops = TableOf(h);
    if (ops && ops->GetVideoMode)
        ops->GetVideoMode(h, mode);
    else if (mode)
        *mode = VideoMode{};
}

bool DetectVideoMode(Handle *h, VideoMode *mode)
{
    const Operations *ops = TableOf(h);
    return ops && ops->DetectVideoMode ? ops->DetectVideoMode(h, mode) : false;
}

bool GetAdjustments(Handle *h, VideoAdjustments *adj, AdjustmentRanges *ranges)
{
    const Operations *ops = TableOf(h);
    if (ops && ops->GetAdjustments)
        return ops->GetAdjustments(h, adj, ranges);
    if (adj)
        *adj = VideoAdjustments{};
    if (ranges)
        *ranges = AdjustmentRanges{};
    return false;
}

bool SetAdjustments(Handle *h, const VideoAdjustments *adj)
{
    const Operations *ops = TableOf(h);
    return ops && ops->GetAdjustments && ops->SetAdjustments ? ops->SetAdjustments(h, adj) : false;
}

bool GetParameter(Handle *h, Parameter *param)
{
    const Operations *ops = TableOf(h);
    return ops && ops->GetParameter ? ops->GetParameter(h, param) : false;
}

bool SetParameter(Handle *h, const Parameter *param)
{
    const Operations *ops = TableOf(h);
    return ops && ops->SetParameter ? ops->SetParameter(h, param) : false;
}

FrameRecord *GrabFrame(Handle *h, uint32_t format, const CropRect *crop)
{
    const Operations *ops = TableOf(h);
    return ops && ops->GrabFrame ? ops->GrabFrame(h, format, crop) : nullptr;
}

void ReleaseFrame(Handle *h, FrameRecord *frame)
{
    const Operations *ops = TableOf(h);
    if (ops && ops->ReleaseFrame)
        ops->ReleaseFrame(h, frame);
}

void Close(Handle *h)
{
    const Operations *ops = TableOf(h);
    if (ops && ops->Close)
        ops->Close(h);
}

const char *ModelName(uint32_t type, const char *fallback)
{
    static const char *const kNames[] = {
        "Unspecified", "Avenel Span", "Avenel Plotter", "Tessaline",    "Quorin Mini",
        "Corvane Mini", "Corvane",    "Corvane Basic",  "Corvane Plus", "Dorrivan",
        "Halvet Mini",  "Halvet Basic", "Quorin Basic", "",             "Avenel Mesh",
        "Corvane Hall", "Halvet Plus", "Halvet Vista",  "Tessaline",
    };
    if (type < sizeof kNames / sizeof kNames[0])
        return kNames[type];
    return fallback;
}

}  // namespace Grabber
