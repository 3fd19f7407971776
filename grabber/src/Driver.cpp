// The "TESLINE" network driver: its operation table and the handle operations
// over the client connection (opening, identity, mode, adjustments, parameters,
// mode lists, grabbing on request, closing) and the device's events.
#include "NetHandle.h"

#include <ambry/Net.h>
#include <imaging/Format.h>

#include <cstring>
#include <memory>

namespace Grabber {

namespace {

// ---- Request wrappers ---------------------------------------------------------------

int ParseSerial(Client *, PayloadReader &r, void *ctx) { return DecodeSerial(r, static_cast<char *>(ctx)) ? 1 : 0; }

int ParseU32(Client *, PayloadReader &r, void *ctx) { return r.U32(*static_cast<uint32_t *>(ctx)) ? 1 : 0; }

int ParseState(Client *, PayloadReader &r, void *ctx)
{
    auto *s = static_cast<StateReply *>(ctx);
    return DecodeState(r, s->mode, s->grab_state) ? 1 : 0;
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
    g->data = static_cast<uint8_t *>(HeapAllocate(n, nullptr));
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
    if (id == PARAM_CUSTOM_MODE) {
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

// ---- Device events (reader thread) ------------------------------------------------------

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
        if (state != GRAB_STATE_GRABBING)
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
            h->state &= ~(ST_AUDIO_RUNNING | ST_AUDIO_WANTED);
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
    if (logged_in && BeginLogin(CurrentClient(n), user, digest, kLoginWaitMs) == OUTCOME_ACCEPTED) {
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
    // Older devices: the custom slots one by one through their parameter.
    list->entries.clear();
    for (uint32_t index = 0; index < kCustomModeSlots; ++index) {
        Parameter p;
        p.id = PARAM_CUSTOM_MODE;
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
        param.id = PARAM_CUSTOM_MODE;
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
        stream_path = (h->state & ST_STREAMING) && !(format & imaging::kRequestDirect) &&
                      h->grab_state == GRAB_STATE_GRABBING;
    }
    Client *c = CurrentClient(h);
    if (stream_path) {
        if (FrameRecord *f = GrabStreamed(h, c, format, crop))
            return f;
    }

    std::vector<uint8_t> p;
    PayloadWriter w(p);
    w.U32(format & ~imaging::kRotationMask);
    EncodeCrop(w, crop ? *crop : CropRect{});
    GrabReply reply;
    if (WaitedRequest(c, REQ_GRAB, p, ParseGrab, &reply, kMaxImageBytes + kGrabHeaderBytes) <= 0) {
        std::free(reply.data);
        return nullptr;
    }
    FrameRecord *frame = NewFrame(h, reply.header, reply.data, reply.bytes, HeapRelease, nullptr);
    if (!frame) {
        std::free(reply.data);
        return nullptr;
    }
    uint32_t rotation = imaging::RotationOf(format);
    if (rotation != imaging::kRotateNone && frame->data && !imaging::IsCompressed(imaging::FormatIdOf(frame->format))) {
        if (!RotateGrabbed(frame, rotation)) {
            FreeFrame(frame);
            return nullptr;
        }
    }
    Ambry::CLock lock(h->state_lock);
    if (h->grab_state == GRAB_STATE_IDLE)
        h->grab_state = GRAB_STATE_GRABBING;
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

}  // namespace

const ClientCallbacks kClientCallbacks = {nullptr, nullptr, OnEvent, OnFrameData, OnDisconnected};

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

bool ReadState(Client *c, uint32_t type, StateReply &out)
{
    return WaitedRequest(c, type, {}, ParseState, &out) > 0;
}

std::vector<uint8_t> U32Payload(uint32_t v)
{
    std::vector<uint8_t> p;
    PayloadWriter(p).U32(v);
    return p;
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
    {
        Ambry::CLock lock(h->state_lock);
        h->client = c;
    }
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
    name.id = PARAM_PRODUCT_NAME;
    if (ReadParameter(h.get(), c, &name) && name.value[0] != 0)
        h->name = reinterpret_cast<const char *>(name.value);
    else if (type != 0)
        h->name = ModelName(type, TheDriver().name);
    else
        h->name = TheDriver().name;

    {
        Ambry::CLock lock(h->state_lock);
        h->capabilities = ClientCapabilities(c);
        h->family = (h->capabilities & CAP_FAMILY_3) ? kFamily3 : kFamily2;
        if (h->capabilities & CAP_AUDIO)
            h->state |= ST_HAS_AUDIO;
    }
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

}  // namespace Grabber
