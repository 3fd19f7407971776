// The protocol side of one appliance connection: the greeting, every request the
// client sends, replies to our own requests (Hello, login challenge, probe).
#include "Appliance.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <sys/socket.h>

namespace Sim {

namespace {

constexpr uint32_t kProbeType = 28;

const char *RequestName(uint32_t type)
{
    switch (type) {
    case REQ_SET_CROP: return "SetCrop";
    case REQ_STOP_STREAM: return "StopStream";
    case REQ_QUERY_STATE: return "QueryState";
    case REQ_DETECT_MODE: return "DetectMode";
    case REQ_GET_ADJUSTMENTS: return "GetAdjustments";
    case REQ_SET_ADJUSTMENTS: return "SetAdjustments";
    case REQ_GET_SERIAL: return "GetSerial";
    case REQ_GET_PARAM: return "GetParam";
    case REQ_SET_PARAM: return "SetParam";
    case REQ_SET_FORMAT: return "SetFormat";
    case REQ_GRAB: return "Grab";
    case REQ_GET_TYPE: return "GetType";
    case REQ_SET_RATE: return "SetRateValue";
    case REQ_PING: return "Ping";
    case REQ_LOGIN_START: return "LoginStart";
    case REQ_LOGIN_RESULT: return "LoginResult";
    case REQ_GET_PARAM_WITH: return "GetParamWith";
    case REQ_GET_MODES: return "GetModes";
    case REQ_SET_MODES: return "SetModes";
    case REQ_POST_BLOCK: return "PostBlock";
    case REQ_GET_DEV_NAME: return "GetDevName";
    case REQ_SET_DEV_NAME: return "SetDevName";
    case REQ_START_AUDIO: return "StartAudio";
    case REQ_STOP_AUDIO: return "StopAudio";
    default: return "?";
    }
}

}  // namespace

uint32_t Simulator::Impl::NextId(Session &s)
{
    std::lock_guard<std::mutex> lock(s.lock);
    return NextRequestId(s.id_counter);
}

bool Simulator::Impl::Reply(Session &s, uint32_t id, uint8_t status, const std::vector<uint8_t> &payload)
{
    Device &d = *s.dev;
    if (d.cfg.stray_reply) {
        MessageBuilder stray = MessageBuilder::Reply(0xABCDEF01u, STATUS_OK);
        stray.Payload().Zeros(7);
        (void)Send(s, stray.Take());
    }
    MessageBuilder b = MessageBuilder::Reply(id, status);
    b.Payload().Bytes(payload.data(), payload.size());
    const std::vector<uint8_t> &bytes = b.Finish();
    if (d.cfg.stall_replies) {
        // The head of the reply and part of its payload, then nothing.
        size_t part = std::min<size_t>(bytes.size(), 13 + std::min<size_t>(payload.size(), 4));
        return s.transport->Send(bytes.data(), part);
    }
    return Send(s, bytes);
}

void Simulator::Impl::SendEventAll(Device &d, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(d.lock);
    for (auto &s : d.sessions)
        if (!s->finished)
            (void)s->transport->Send(bytes);
}

bool Simulator::Impl::HandleGrab(Session &s, const IncomingFrame &f, PayloadReader &r)
{
    Device &d = *s.dev;
    uint32_t format = 0;
    CropRect crop;
    if (!r.U32(format) || !DecodeCrop(r, crop))
        return Reply(s, f.id, STATUS_UNKNOWN_REQUEST, {});
    VideoMode mode = CurrentMode(d);
    FrameHeader h;
    h.format = format;
    h.mode = mode;
    uint32_t pixel = format & FORMAT_PIXEL_MASK;
    std::shared_ptr<const std::vector<uint8_t>> image;
    if (mode.width > 0 && (pixel == imaging::kBgr24 || pixel == imaging::kRgb24)) {
        uint32_t w = uint32_t(mode.width), ht = uint32_t(mode.height);
        uint32_t x0 = std::min(crop.left, w), y0 = std::min(crop.top, ht);
        uint32_t cw = crop.width ? std::min(crop.width, w - x0) : w - x0;
        uint32_t ch = crop.height ? std::min(crop.height, ht - y0) : ht - y0;
        h.rect = CropRect{x0, y0, cw, ch};
        bool bottom_up = (format & FORMAT_BOTTOM_UP) != 0;
        if (x0 == 0 && y0 == 0 && cw == w && ch == ht) {
            image = Picture(d, mode.width, mode.height, bottom_up);
        } else {
            auto pic = Picture(d, mode.width, mode.height);
            auto part = std::make_shared<std::vector<uint8_t>>(size_t(cw) * ch * 3);
            for (uint32_t y = 0; y < ch; ++y) {
                uint32_t dst_row = bottom_up ? ch - 1 - y : y;
                std::memcpy(part->data() + size_t(dst_row) * cw * 3, pic->data() + (size_t(y0 + y) * w + x0) * 3,
                            size_t(cw) * 3);
            }
            image = std::move(part);
        }
        if (d.cfg.bad_frame_size && !image->empty())
            image = std::make_shared<std::vector<uint8_t>>(image->begin(), image->end() - 1);
    } else if (mode.width > 0) {
        h.status = 1;  // a format this appliance does not produce
    }
    MessageBuilder b = MessageBuilder::Reply(f.id, STATUS_OK);
    EncodeFrameHeader(b.Payload(), h, true);
    std::vector<uint8_t> head = b.Take();
    static const std::vector<uint8_t> kNone;
    const std::vector<uint8_t> &bytes = image ? *image : kNone;
    SetFrameLength(head, bytes.size());
    if (d.cfg.stray_reply || d.cfg.stall_replies) {
        std::vector<uint8_t> payload(head.begin() + 13, head.end());
        payload.insert(payload.end(), bytes.begin(), bytes.end());
        return Reply(s, f.id, STATUS_OK, payload);
    }
    return s.transport->SendParts(head.data(), head.size(), bytes.data(), bytes.size());
}

bool Simulator::Impl::HandleParam(Session &s, const IncomingFrame &f, PayloadReader &r, bool with_argument)
{
    Device &d = *s.dev;
    uint32_t id = 0;
    if (!r.U32(id))
        return false;
    uint8_t type = ParamTypeOf(id);
    std::vector<uint8_t> out;
    PayloadWriter w(out);
    if (type == PT_NONE) {
        w.U8(1);
        return Reply(s, f.id, STATUS_OK, out);
    }
    Parameter value;
    value.id = id;
    if (id == 14) {
        uint8_t arg_type = 0;
        uint8_t arg[256] = {};
        uint32_t index = 0;
        if (with_argument && r.U8(arg_type) && arg_type == PT_INDEXED_MODE && DecodeParamValue(r, arg_type, arg))
            std::memcpy(&index, arg, 4);
        std::lock_guard<std::mutex> lock(d.lock);
        if (index >= d.modes.size()) {
            w.U8(1);
            return Reply(s, f.id, STATUS_OK, out);
        }
        std::memcpy(value.value, &index, 4);
        std::memcpy(value.value + 4, &d.modes[index], sizeof(ModeEntry));
    } else {
        std::lock_guard<std::mutex> lock(d.lock);
        auto it = d.params.find(id);
        if (it != d.params.end())
            value = it->second;
    }
    w.U8(0);
    w.U8(type);
    EncodeParamValue(w, type, value.value);
    return Reply(s, f.id, STATUS_OK, out);
}

bool Simulator::Impl::HandleSetParam(Session &s, const IncomingFrame &f, PayloadReader &r)
{
    Device &d = *s.dev;
    uint32_t id = 0;
    uint8_t type = 0;
    Parameter p;
    bool ok = r.U32(id) && r.U8(type) && type == ParamTypeOf(id) && type != PT_NONE &&
              DecodeParamValue(r, type, p.value);
    if (ok) {
        p.id = id;
        std::lock_guard<std::mutex> lock(d.lock);
        if (id == 14) {
            uint32_t index;
            std::memcpy(&index, p.value, 4);
            if (index < d.modes.size())
                std::memcpy(&d.modes[index], p.value + 4, sizeof(ModeEntry));
            else
                ok = false;
        } else {
            d.params[id] = p;
        }
    }
    std::vector<uint8_t> out{uint8_t(ok ? 0 : 1)};
    return Reply(s, f.id, STATUS_OK, out);
}

bool Simulator::Impl::HandleRequest(Session &s, const IncomingFrame &f, PayloadReader &r)
{
    Device &d = *s.dev;
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.requests[std::min<uint32_t>(f.type, 31)]++;
    }
    if (verbose)
        Log(d, "request %u %s id %u, %u bytes", f.type, RequestName(f.type), f.id, f.payload);
    if (d.cfg.reply_delay_ms > 0 && f.type != REQ_PING)
        std::this_thread::sleep_for(std::chrono::milliseconds(d.cfg.reply_delay_ms));
    std::vector<uint8_t> out;
    PayloadWriter w(out);
    bool ok = true;
    switch (f.type) {
    case REQ_SET_CROP: {
        CropRect c;
        if (DecodeCrop(r, c)) {
            std::lock_guard<std::mutex> lock(s.lock);
            s.crop = c;
        }
        break;
    }
    case REQ_STOP_STREAM:
        StopStream(s);
        ok = Reply(s, f.id, STATUS_OK, {});
        break;
    case REQ_QUERY_STATE:
    case REQ_DETECT_MODE: {
        VideoMode mode = CurrentMode(d);
        uint8_t grab_state;
        {
            std::lock_guard<std::mutex> lock(s.lock);
            grab_state = s.stream_format ? 3 : 1;
        }
        EncodeState(w, mode, grab_state);
        if (d.cfg.short_state_reply)
            out.resize(12);
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    }
    case REQ_GET_ADJUSTMENTS: {
        std::lock_guard<std::mutex> lock(d.lock);
        EncodeAdjustmentBlock(w, d.adj, d.ranges);
    }
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    case REQ_SET_ADJUSTMENTS: {
        VideoAdjustments a;
        if (!DecodeAdjustmentRecord(r, a)) {
            ok = Reply(s, f.id, STATUS_UNKNOWN_REQUEST, {});
            break;
        }
        {
            std::lock_guard<std::mutex> lock(d.lock);
            VideoAdjustments &cur = d.adj;
            if (a.flags & ADJ_HSHIFT)
                cur.hshift = a.hshift;
            if (a.flags & ADJ_PHASE)
                cur.phase = a.phase;
            if (a.flags & ADJ_OFFSET_GAIN) {
                std::memcpy(cur.gain, a.gain, 3);
                std::memcpy(cur.offset, a.offset, 3);
            }
            if (a.flags & ADJ_VSHIFT)
                cur.vshift = a.vshift;
            if (a.flags & ADJ_PLL)
                cur.pll = a.pll;
            if (a.flags & ADJ_GRAB_FLAGS)
                cur.grab_flags = (cur.grab_flags & ~a.grab_flag_mask) | (a.grab_flags & a.grab_flag_mask);
        }
        ok = Reply(s, f.id, STATUS_OK, {});
        break;
    }
    case REQ_GET_SERIAL: {
        char serial[kSerialBytes] = {};
        std::memcpy(serial, d.cfg.serial.data(), std::min(d.cfg.serial.size(), kSerialBytes));
        w.Bytes(serial, sizeof serial);
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    }
    case REQ_GET_PARAM:
        ok = HandleParam(s, f, r, false);
        break;
    case REQ_GET_PARAM_WITH:
        ok = HandleParam(s, f, r, true);
        break;
    case REQ_SET_PARAM:
        ok = HandleSetParam(s, f, r);
        break;
    case REQ_SET_FORMAT: {
        uint32_t format = 0;
        r.U32(format);
        uint32_t pixel = format & FORMAT_PIXEL_MASK;
        FormatReply fr;
        fr.result = StreamsPixelFormat(pixel) ? 0 : 1;
        VideoMode mode = CurrentMode(d);
        fr.values[0] = uint32_t(mode.width);
        fr.values[1] = uint32_t(mode.height);
        fr.values[2] = uint32_t(StreamRate(d.cfg));
        EncodeFormatReply(w, fr);
        ok = Reply(s, f.id, STATUS_OK, out);
        if (ok && fr.result == 0) {
            MessageBuilder e = MessageBuilder::Event(EVT_GRAB_STATE);
            e.Payload().U8(3);
            ok = Send(s, e.Take());
            StartStream(s, format);
        }
        break;
    }
    case REQ_GRAB:
        ok = HandleGrab(s, f, r);
        break;
    case REQ_GET_TYPE:
        w.U32(d.cfg.type);
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    case REQ_SET_RATE: {
        uint32_t fixed = 0;
        r.U32(fixed);
        uint32_t limit = 60u << 16;
        w.U32(fixed == 0 ? (30u << 16) : std::min(fixed, limit));
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    }
    case REQ_PING:
        ok = Reply(s, f.id, STATUS_OK, {});
        break;
    case REQ_LOGIN_START: {
        bool open = (d.cfg.flags & CAP_NO_LOGIN) || (d.cfg.password.empty() && !d.cfg.reject_login);
        w.U8(open ? 1 : 0);
        ok = Reply(s, f.id, STATUS_OK, out);
        if (ok && !open) {
            std::random_device rd;
            std::vector<uint8_t> bytes;
            {
                std::lock_guard<std::mutex> lock(s.lock);
                for (uint8_t &b : s.challenge)
                    b = static_cast<uint8_t>(rd());
                s.response_ok = false;
                s.challenge_id = NextRequestId(s.id_counter);
                MessageBuilder c = MessageBuilder::Request(s.challenge_id, REQ_LOGIN_CHALLENGE);
                c.Payload().U8(0);
                c.Payload().Bytes(s.challenge, sizeof s.challenge);
                bytes = c.Take();
            }
            ok = Send(s, bytes);
        }
        break;
    }
    case REQ_LOGIN_RESULT: {
        bool accepted;
        {
            std::lock_guard<std::mutex> lock(s.lock);
            accepted = s.response_ok && !d.cfg.reject_login;
            s.response_ok = false;
        }
        {
            std::lock_guard<std::mutex> lock(d.lock);
            (accepted ? d.stats.logins_accepted : d.stats.logins_rejected)++;
        }
        w.U32(accepted ? 2 : 1);
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    }
    case REQ_GET_MODES: {
        {
            std::lock_guard<std::mutex> lock(d.lock);
            for (const ModeEntry &e : d.modes)
                EncodeModeEntry(w, e);
        }
        if (d.cfg.bad_mode_list)
            out.resize(25);
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    }
    case REQ_SET_MODES: {
        if (r.Remaining() % kModeEntryBytes != 0) {
            ok = Reply(s, f.id, STATUS_UNKNOWN_REQUEST, {});
            break;
        }
        std::vector<ModeEntry> modes(r.Remaining() / kModeEntryBytes);
        for (ModeEntry &e : modes)
            DecodeModeEntry(r, e);
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.modes = modes;
        }
        ok = Reply(s, f.id, STATUS_OK, {});
        break;
    }
    case REQ_POST_BLOCK:
        break;
    case REQ_GET_DEV_NAME: {
        std::lock_guard<std::mutex> lock(d.lock);
        w.Bytes(d.cfg.name.data(), d.cfg.name.size());
    }
        ok = Reply(s, f.id, STATUS_OK, out);
        break;
    case REQ_SET_DEV_NAME: {
        std::string name(r.Remaining(), '\0');
        r.Bytes(name.data(), name.size());
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.cfg.name = name.substr(0, 255);
        }
        ok = Reply(s, f.id, STATUS_OK, {});
        break;
    }
    case REQ_START_AUDIO:
    case REQ_STOP_AUDIO:
        if (!(d.cfg.flags & CAP_AUDIO)) {
            ok = Reply(s, f.id, STATUS_UNKNOWN_REQUEST, {});
        } else if (f.type == REQ_START_AUDIO) {
            // A flag word, then the wanted format unless none is given.
            uint32_t flag = 0;
            AudioFormat wanted;
            if (!r.U32(flag) || r.Remaining() == 0 || !DecodeAudioFormat(r, wanted))
                wanted = AudioFormat{};
            const AudioFormat format = AudioFormatInEffect(&wanted);
            w.U8(0);
            EncodeAudioFormat(w, format);
            ok = Reply(s, f.id, STATUS_OK, out) && StartAudio(s, format);
        } else {
            ok = StopAudio(s);
        }
        break;
    default:
        ok = Reply(s, f.id, STATUS_UNKNOWN_REQUEST, {});
        break;
    }
    if (!ok)
        return false;
    if (d.cfg.drop_after > 0 && ++s.handled >= d.cfg.drop_after) {
        if (verbose)
            Log(d, "dropping the connection after %d requests", s.handled);
        return false;
    }
    return true;
}

// A reply from the client to one of our requests.
void Simulator::Impl::HandleReply(Session &s, const IncomingFrame &f, PayloadReader &r)
{
    Device &d = *s.dev;
    std::lock_guard<std::mutex> lock(s.lock);
    if (f.id == s.hello_id) {
        std::lock_guard<std::mutex> dl(d.lock);
        d.stats.hello_status = f.status;
    } else if (f.id == s.probe_id) {
        std::lock_guard<std::mutex> dl(d.lock);
        d.stats.unknown_request_status = f.status;
    } else if (f.id == s.challenge_id && f.status == STATUS_OK) {
        char user[33] = {};
        size_t n = 0;
        uint8_t c = 1;
        while (r.Remaining() > 16 && r.U8(c) && c != 0)
            if (n < 32)
                user[n++] = static_cast<char>(c);
        uint8_t got[16];
        if (c != 0 || !r.Bytes(got, 16))
            return;
        uint8_t pwd[16], want[16];
        PasswordDigest(d.cfg.password.c_str(), pwd);
        LoginResponseDigest(s.challenge, sizeof s.challenge, pwd, user, want);
        s.response_ok = std::memcmp(got, want, 16) == 0;
    }
}

void Simulator::Impl::SessionLoop(std::shared_ptr<Session> sp)
{
    Session &s = *sp;
    Device &d = *s.dev;
    bool ok = true;
    if (!d.cfg.no_hello) {
        HelloInfo hello;
        hello.capabilities = d.cfg.flags;
        std::copy(std::begin(kFirmwareVersion), std::end(kFirmwareVersion), hello.version);
        s.hello_id = NextId(s);
        MessageBuilder b = MessageBuilder::Request(s.hello_id, REQ_HELLO);
        EncodeHello(b.Payload(), hello);
        ok = Send(s, b.Take());
        if (ok && d.cfg.probe_unknown) {
            s.probe_id = NextId(s);
            ok = Send(s, MessageBuilder::Request(s.probe_id, kProbeType).Take());
        }
    }
    if (ok && s.transport->OpenInput()) {
        InputStream &in = s.transport->Input();
        for (;;) {
            IncomingFrame f;
            if (ReadIncomingFrame(in, f, kMaxControlPayload) != FRAME_OK)
                break;
            PayloadReader r(in, f.payload);
            bool keep = true;
            if (f.kind == KIND_REQUEST)
                keep = HandleRequest(s, f, r);
            else if (f.kind == KIND_REPLY)
                HandleReply(s, f, r);
            if (!keep || !r.SkipRest())
                break;
        }
    }
    StopStream(s);
    if (EndAudio(s))
        Count(d, &DeviceStats::audio, -1);
    s.transport->FinishOutput();
    ::shutdown(s.fd, SHUT_RDWR);
    Count(d, &DeviceStats::open_connections, -1);
    s.finished = true;
    if (verbose)
        Log(d, "connection closed");
}

}  // namespace Sim
