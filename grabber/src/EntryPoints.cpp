// The library's entry points outside the operation table (start-up, open, login,
// automatic reconnection, identity and device name, notifications) and the generic
// dispatchers that act through any handle's table.
#include "NetHandle.h"

#include <ambry/Net.h>

#include <arpa/inet.h>
#include <cstring>

namespace Grabber {

namespace {

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

}  // namespace

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
        bool have_state = grab_state == GRAB_STATE_IDLE && ReadState(c, REQ_QUERY_STATE, state);
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
    if (wake)
        WakeReconnect(h);
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

namespace {

struct AudioAnswer {
    uint8_t result = 0;
    AudioFormat format;
};

int ParseAudioAnswer(Client *, PayloadReader &r, void *ctx)
{
    auto *answer = static_cast<AudioAnswer *>(ctx);
    if (!r.U8(answer->result))
        return 0;
    if (r.Remaining() > 0 && !DecodeAudioFormat(r, answer->format))
        return 0;
    return 1;
}

}  // namespace

std::vector<uint8_t> StartAudioPayload(const AudioFormat &format)
{
    std::vector<uint8_t> p;
    PayloadWriter w(p);
    w.U32(format.id >= 0 ? 1 : 0);
    if (format.id >= 0)
        EncodeAudioFormat(w, format);
    return p;
}

bool StartAudio(Handle *handle, const AudioFormat *format, AudioFormat *in_effect)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    {
        Ambry::CLock lock(h->state_lock);
        if (!(h->state & ST_HAS_AUDIO))
            return false;
    }
    AudioAnswer answer;
    Ambry::CLock call(h->call_lock);
    if (WaitedRequest(CurrentClient(h), REQ_START_AUDIO, StartAudioPayload(format ? *format : AudioFormat{}),
                      ParseAudioAnswer, &answer) <= 0 ||
        answer.result != 0)
        return false;
    {
        Ambry::CLock lock(h->state_lock);
        h->state |= ST_AUDIO_WANTED;
        h->audio_wanted = answer.format.id >= 0 ? answer.format : format ? *format : AudioFormat{};
    }
    if (in_effect)
        *in_effect = answer.format;
    return true;
}

bool StopAudio(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    {
        Ambry::CLock lock(h->state_lock);
        h->state &= ~(ST_AUDIO_WANTED | ST_AUDIO_RUNNING);
        h->audio = AudioFormat{};
        h->audio_wanted = AudioFormat{};
    }
    Ambry::CLock call(h->call_lock);
    return PostRequest(CurrentClient(h), REQ_STOP_AUDIO, {}) != 0;
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
