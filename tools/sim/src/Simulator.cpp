// The simulated appliances: listeners, protocol sessions, streaming, discovery, HTTP.
//
// Threads: one acceptor per device (TCP, compressed TCP, UDP discovery and HTTP on
// one poll), one per protocol connection, one streamer per connection while it
// streams, and one signal toggler per device that asks for it.
#include "sim/Simulator.h"

#include <grabber/Transport.h>
#include <grabber/Wire.h>
#include <imaging/Encoder.h>

#include <ambry/Md5.h>
#include <ambry/Net.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <list>
#include <map>
#include <mutex>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace Sim {

using namespace Grabber;

namespace {

constexpr uint32_t kProbeType = 28;

struct Device;

struct Session {
    Device *dev = nullptr;
    int fd = -1;
    std::unique_ptr<Transport> transport;
    std::thread reader;
    std::atomic<bool> finished{false};

    std::mutex lock;  // guards below
    uint32_t id_counter = 0;
    uint32_t hello_id = 0;
    uint32_t challenge_id = 0;
    uint32_t probe_id = 0;
    uint8_t challenge[16] = {};
    bool response_ok = false;
    int handled = 0;
    CropRect crop;

    std::thread streamer;
    std::condition_variable stream_cv;
    uint32_t stream_format = 0;
    bool stream_stop = false;
};

struct Device {
    DeviceConfig cfg;
    Endpoints ep;
    Ambry::CSocket tcp, ctcp, udp, http;
    Ambry::CSocket broadcast;  // 0.0.0.0 on the discovery port: broadcast requests
    std::thread acceptor, toggler;

    std::mutex lock;  // guards below
    VideoAdjustments adj;
    AdjustmentRanges ranges;
    std::map<uint32_t, Parameter> params;
    std::vector<ModeEntry> modes;
    bool signal = true;
    DeviceStats stats;
    std::list<std::shared_ptr<Session>> sessions;
    std::condition_variable toggle_cv;

    std::mutex frame_lock;  // cached picture
    uint32_t cached_phase = UINT32_MAX;
    int cached_w = 0, cached_h = 0;
    std::shared_ptr<const std::vector<uint8_t>> cached_top, cached_bottom;
};

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

std::string FormatAddress(uint32_t a)
{
    char t[16];
    Ambry::FormatIPv4(a, t);
    return t;
}

}  // namespace

// One datagram with its source and its destination address (host order; the
// destination is 0 when the socket does not report it). -1 on failure.
static long ReceiveDatagram(int sock, uint8_t *buf, size_t capacity, uint32_t &from, uint16_t &from_port, uint32_t &to)
{
    sockaddr_in src{};
    iovec iov{buf, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &src;
    msg.msg_namelen = sizeof src;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    long n = ::recvmsg(sock, &msg, MSG_DONTWAIT);
    if (n < 0 || (msg.msg_flags & MSG_TRUNC))
        return -1;
    from = ntohl(src.sin_addr.s_addr);
    from_port = ntohs(src.sin_port);
    to = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            to = ntohl(info.ipi_addr.s_addr);
        }
    return n;
}

// The limited broadcast, the loopback network's broadcast or the broadcast
// address of one of the host's interfaces.
static bool IsBroadcastAddress(uint32_t ip)
{
    if (ip == 0xFFFFFFFFu || ip == 0x7FFFFFFFu)
        return true;
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs *i = list; i && !found; i = i->ifa_next)
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr && i->ifa_broadaddr->sa_family == AF_INET)
            found = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr) == ip;
    ::freeifaddrs(list);
    return found;
}

struct Simulator::Impl {
    std::vector<std::unique_ptr<Device>> devices;
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::atomic<bool> verbose{false};
    bool running = false;
    bool net_started = false;
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

    void Log(const Device &d, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

    uint32_t Phase(const Device &d) const
    {
        if (!d.cfg.animate)
            return 0;
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch);
        return static_cast<uint32_t>(ms.count() / 100);
    }

    // The current picture of the device's mode, rows top-down or bottom-up. Shared:
    // the picture is rendered once per phase and size.
    std::shared_ptr<const std::vector<uint8_t>> Picture(Device &d, int w, int h, bool bottom_up = false)
    {
        uint32_t phase = Phase(d);
        std::lock_guard<std::mutex> lock(d.frame_lock);
        if (phase != d.cached_phase || w != d.cached_w || h != d.cached_h) {
            auto top = std::make_shared<std::vector<uint8_t>>(size_t(w) * h * 3);
            RenderPattern(d.cfg, phase, w, h, top->data());
            d.cached_top = std::move(top);
            d.cached_bottom.reset();
            d.cached_phase = phase;
            d.cached_w = w;
            d.cached_h = h;
        }
        if (!bottom_up)
            return d.cached_top;
        if (!d.cached_bottom)
            d.cached_bottom = std::make_shared<std::vector<uint8_t>>(FlipRows(*d.cached_top, w, h));
        return d.cached_bottom;
    }

    // ---- Protocol session ---------------------------------------------------------

    uint32_t NextId(Session &s)
    {
        std::lock_guard<std::mutex> lock(s.lock);
        return NextRequestId(s.id_counter);
    }

    bool Send(Session &s, const std::vector<uint8_t> &bytes) { return s.transport->Send(bytes); }

    bool Reply(Session &s, uint32_t id, uint8_t status, const std::vector<uint8_t> &payload)
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

    void SendEventAll(Device &d, const std::vector<uint8_t> &bytes)
    {
        std::lock_guard<std::mutex> lock(d.lock);
        for (auto &s : d.sessions)
            if (!s->finished)
                (void)s->transport->Send(bytes);
    }

    VideoMode CurrentMode(Device &d)
    {
        std::lock_guard<std::mutex> lock(d.lock);
        return d.signal ? d.cfg.mode : VideoMode{};
    }

    void StartStream(Session &s, uint32_t format)
    {
        std::unique_lock<std::mutex> lock(s.lock);
        s.stream_format = format;
        if (s.streamer.joinable() || s.dev->cfg.silent_stream)
            return;
        s.stream_stop = false;
        s.streamer = std::thread([this, &s] { StreamLoop(s); });
    }

    void StopStream(Session &s)
    {
        std::thread t;
        {
            std::lock_guard<std::mutex> lock(s.lock);
            s.stream_stop = true;
            s.stream_format = 0;
            s.stream_cv.notify_all();
            t = std::move(s.streamer);
        }
        if (t.joinable())
            t.join();
    }

    // A compressed frame of the current picture: self-contained when the format or
    // size changed or the key-frame interval is up, else deltas against the last
    // self-contained one. Empty when the picture cannot be encoded.
    struct CompressedStream {
        imaging::FrameEncoder encoder;
        uint32_t pixel = 0;
        int width = 0, height = 0;
        int since_key = 0;
    };

    std::vector<uint8_t> NextCompressed(Device &d, CompressedStream &cs, uint32_t pixel, const VideoMode &mode,
                                        bool &delta)
    {
        auto pic = Picture(d, mode.width, mode.height);
        std::vector<uint8_t> pairs;
        const uint8_t *picture = pic->data();
        if (pixel == imaging::kCompressedYuv || pixel == imaging::kCompressedUyvy) {
            pairs = pixel == imaging::kCompressedYuv ? ToYuy2(picture, mode.width, mode.height)
                                                     : ToUyvy(picture, mode.width, mode.height);
            if (pairs.empty())
                return {};
            picture = pairs.data();
        }
        imaging::EncodeOptions options;
        options.passes = uint32_t(d.cfg.stream_passes);
        options.fields = d.cfg.stream_fields;
        bool key = pixel != cs.pixel || mode.width != cs.width || mode.height != cs.height ||
                   cs.since_key + 1 >= d.cfg.keyframe_interval;
        auto w = uint32_t(mode.width), h = uint32_t(mode.height);
        std::vector<uint8_t> frame = key ? cs.encoder.EncodeSelfContained(picture, w, h, pixel, options)
                                         : cs.encoder.EncodeDelta(picture, w, h, pixel, options);
        if (frame.empty())
            return frame;
        if (key) {
            cs.pixel = pixel, cs.width = mode.width, cs.height = mode.height, cs.since_key = 0;
        } else {
            cs.since_key++;
        }
        delta = !key;
        return frame;
    }

    void StreamLoop(Session &s)
    {
        Device &d = *s.dev;
        auto period = std::chrono::microseconds(1000000 / std::max(1, d.cfg.stream_fps));
        auto next = std::chrono::steady_clock::now();
        CompressedStream cs;
        for (;;) {
            uint32_t format;
            {
                std::unique_lock<std::mutex> lock(s.lock);
                if (s.stream_cv.wait_until(lock, next, [&] { return s.stream_stop; }))
                    return;
                format = s.stream_format;
            }
            next += period;
            if (std::chrono::steady_clock::now() > next + period * 4)
                next = std::chrono::steady_clock::now();
            VideoMode mode = CurrentMode(d);
            if (mode.width <= 0 || format == 0)
                continue;
            std::shared_ptr<const std::vector<uint8_t>> image;
            uint32_t pixel = format & FORMAT_PIXEL_MASK;
            bool delta = false;
            if (imaging::IsCompressed(pixel)) {
                std::vector<uint8_t> frame = NextCompressed(d, cs, pixel, mode, delta);
                if (frame.empty())
                    continue;
                image = std::make_shared<std::vector<uint8_t>>(std::move(frame));
            } else {
                image = Picture(d, mode.width, mode.height, (format & FORMAT_BOTTOM_UP) != 0);
            }
            MessageBuilder b = MessageBuilder::Event(EVT_FRAME);
            FrameHeader h;
            h.format = format;
            h.mode = mode;
            h.rect = CropRect{0, 0, uint32_t(mode.width), uint32_t(mode.height)};
            EncodeFrameHeader(b.Payload(), h, false);
            std::vector<uint8_t> head = b.Take();
            uint32_t length = static_cast<uint32_t>(head.size() - 8 + image->size());
            head[0] = uint8_t(length >> 24);
            head[1] = uint8_t(length >> 16);
            head[2] = uint8_t(length >> 8);
            head[3] = uint8_t(length);
            if (!s.transport->SendParts(head.data(), head.size(), image->data(), image->size()))
                return;
            std::lock_guard<std::mutex> lock(d.lock);
            d.stats.frames_streamed++;
            d.stats.delta_frames_streamed += delta ? 1 : 0;
        }
    }

    static std::vector<uint8_t> FlipRows(const std::vector<uint8_t> &pic, int w, int h)
    {
        std::vector<uint8_t> out(pic.size());
        size_t row = size_t(w) * 3;
        for (int y = 0; y < h; ++y)
            std::memcpy(out.data() + size_t(h - 1 - y) * row, pic.data() + size_t(y) * row, row);
        return out;
    }

    bool HandleGrab(Session &s, const IncomingFrame &f, PayloadReader &r)
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
        if (mode.width > 0 && (pixel == PIXEL_RGB24 || pixel == 0x0018)) {
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
        uint32_t length = static_cast<uint32_t>(head.size() - 8 + bytes.size());
        head[0] = uint8_t(length >> 24);
        head[1] = uint8_t(length >> 16);
        head[2] = uint8_t(length >> 8);
        head[3] = uint8_t(length);
        if (d.cfg.stray_reply || d.cfg.stall_replies) {
            std::vector<uint8_t> payload(head.begin() + 13, head.end());
            payload.insert(payload.end(), bytes.begin(), bytes.end());
            return Reply(s, f.id, STATUS_OK, payload);
        }
        return s.transport->SendParts(head.data(), head.size(), bytes.data(), bytes.size());
    }

    bool HandleParam(Session &s, const IncomingFrame &f, PayloadReader &r, bool with_argument)
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

    bool HandleSetParam(Session &s, const IncomingFrame &f, PayloadReader &r)
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

    bool HandleRequest(Session &s, const IncomingFrame &f, PayloadReader &r)
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
            fr.values[2] = uint32_t(d.cfg.stream_fps);
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
                break;
            }
            if (f.type == REQ_START_AUDIO) {
                AudioFormat af;
                af.channels = 2;
                af.bits = 16;
                af.block = 4;
                af.rate = 48000;
                w.U8(0);
                EncodeAudioFormat(w, af);
                ok = Reply(s, f.id, STATUS_OK, out);
                MessageBuilder e = MessageBuilder::Event(EVT_AUDIO_FORMAT);
                EncodeAudioFormat(e.Payload(), af);
                ok = ok && Send(s, e.Take());
            } else {
                ok = Send(s, MessageBuilder::Event(EVT_AUDIO_STOPPED).Take());
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
    void HandleReply(Session &s, const IncomingFrame &f, PayloadReader &r)
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

    void SessionLoop(std::shared_ptr<Session> sp)
    {
        Session &s = *sp;
        Device &d = *s.dev;
        bool ok = true;
        if (!d.cfg.no_hello) {
            HelloInfo hello;
            hello.capabilities = d.cfg.flags;
            hello.version[0] = 3;
            hello.version[1] = 24;
            hello.version[2] = 9;
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
        s.transport->FinishOutput();
        ::shutdown(s.fd, SHUT_RDWR);
        s.finished = true;
        if (verbose)
            Log(d, "connection closed");
    }

    // ---- Discovery and HTTP -------------------------------------------------------------

    // Reads one discovery request from `sock`; the reply always leaves from the
    // appliance's own address. On the broadcast socket only broadcasts count: a
    // unicast there was meant for an address no appliance has.
    void HandleDiscovery(Device &d, int sock, bool broadcast_socket)
    {
        uint8_t buf[512];
        uint32_t from = 0, to = 0;
        uint16_t from_port = 0;
        long n = ReceiveDatagram(sock, buf, sizeof buf, from, from_port, to);
        if (broadcast_socket && !IsBroadcastAddress(to))
            return;
        if (n != 45 || buf[0] != 0)
            return;
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.stats.discovery_requests++;
        }
        if (verbose)
            Log(d, "discovery request from %s:%u", FormatAddress(from).c_str(), from_port);
        std::vector<uint8_t> out;
        PayloadWriter w(out);
        w.U8(1);
        w.Bytes(buf + 1, 4);  // the cookie, echoed
        w.U32(d.cfg.type);
        w.U32(0);
        char serial[32] = {};
        std::memcpy(serial, d.cfg.serial.data(), std::min<size_t>(d.cfg.serial.size(), 32));
        w.Bytes(serial, 32);
        w.U16(3);
        w.U16(24);
        w.U16(9);
        w.U16(d.ep.port == 5557 ? 0 : d.ep.port);
        w.U16(0);
        Ambry::SocketSendTo(d.udp.Get(), out.data(), out.size(), from, from_port);
    }

    void HandleHttp(Device &d)
    {
        Ambry::CSocket c(Ambry::SocketAccept(d.http.Get(), nullptr, nullptr));
        if (!c.IsValid())
            return;
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
            if (Ambry::SocketWait(c.Get(), Ambry::SOCKET_READABLE, 2000) <= 0)
                return;
            long n = Ambry::SocketReceive(c.Get(), buf, sizeof buf);
            if (n <= 0)
                return;
            request.append(buf, size_t(n));
        }
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.stats.http_requests++;
        }
        std::string path;
        if (request.rfind("GET ", 0) == 0) {
            size_t end = request.find(' ', 4);
            path = request.substr(4, end == std::string::npos ? std::string::npos : end - 4);
        }
        if (verbose)
            Log(d, "http GET %s", path.c_str());
        std::string head;
        std::vector<uint8_t> body;
        if (path == "/vw1.jpg") {
            VideoMode mode = CurrentMode(d);
            int w = mode.width, h = mode.height;
            if (w <= 0) {
                w = 640;
                h = 480;
                DeviceConfig blank = d.cfg;
                blank.serial = "NO SIGNAL";
                std::vector<uint8_t> pic(size_t(w) * h * 3);
                RenderPattern(blank, 0, w, h, pic.data());
                body = EncodeJpeg(pic.data(), w, h);
            } else {
                body = EncodeJpeg(Picture(d, w, h)->data(), w, h);
            }
            head = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n";
        } else if (path == "/admin") {
            std::string name, serial = d.cfg.serial;
            {
                std::lock_guard<std::mutex> lock(d.lock);
                name = d.cfg.name;
            }
            std::string page = "<!DOCTYPE html>\n<html><head><title>Tessaline appliance " + serial +
                               "</title></head><body><h1>Tessaline appliance</h1><p>Serial number: " + serial +
                               "</p><p>Name: " + name + "</p><p>Device type: " + std::to_string(d.cfg.type) +
                               "</p></body></html>\n";
            body.assign(page.begin(), page.end());
            head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n";
        } else {
            std::string page = "not found\n";
            body.assign(page.begin(), page.end());
            head = "HTTP/1.0 404 Not Found\r\nContent-Type: text/plain\r\n";
        }
        head += "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        Ambry::SocketSetBlocking(c.Get(), true);
        Ambry::SocketSend(c.Get(), head.data(), head.size());
        size_t sent = 0;
        while (sent < body.size()) {
            long n = Ambry::SocketSend(c.Get(), body.data() + sent, body.size() - sent);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        ::shutdown(c.Get(), SHUT_WR);
    }

    // ---- Acceptor ------------------------------------------------------------------------

    void Accept(Device &d, int listener, bool compressed)
    {
        uint32_t ip = 0;
        uint16_t port = 0;
        int fd = Ambry::SocketAccept(listener, &ip, &port);
        if (fd < 0)
            return;
        Ambry::SocketSetNoDelay(fd, true);
        auto s = std::make_shared<Session>();
        s->dev = &d;
        s->fd = fd;
        s->transport = std::make_unique<Transport>(fd, compressed);
        std::list<std::shared_ptr<Session>> done;
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.stats.connections++;
            for (auto it = d.sessions.begin(); it != d.sessions.end();) {
                if ((*it)->finished) {
                    done.push_back(*it);
                    it = d.sessions.erase(it);
                } else {
                    ++it;
                }
            }
            d.sessions.push_back(s);
        }
        for (auto &old : done) {
            if (old->reader.joinable())
                old->reader.join();
            Ambry::SocketClose(old->fd);
        }
        if (verbose)
            Log(d, "connection from %s:%u%s", FormatAddress(ip).c_str(), port, compressed ? " (compressed)" : "");
        s->reader = std::thread([this, s] { SessionLoop(s); });
    }

    void AcceptorLoop(Device &d)
    {
        while (!stopping) {
            pollfd fds[6];
            int n = 0;
            fds[n++] = {wake[0], POLLIN, 0};
            int tcp = n, ctcp = -1, udp = -1, bcast = -1, http = -1;
            fds[n++] = {d.tcp.Get(), POLLIN, 0};
            if (d.ctcp.IsValid()) {
                ctcp = n;
                fds[n++] = {d.ctcp.Get(), POLLIN, 0};
            }
            if (d.udp.IsValid()) {
                udp = n;
                fds[n++] = {d.udp.Get(), POLLIN, 0};
            }
            if (d.broadcast.IsValid()) {
                bcast = n;
                fds[n++] = {d.broadcast.Get(), POLLIN, 0};
            }
            if (d.http.IsValid()) {
                http = n;
                fds[n++] = {d.http.Get(), POLLIN, 0};
            }
            if (::poll(fds, nfds_t(n), -1) < 0)
                continue;
            if (fds[0].revents || stopping)
                break;
            if (fds[tcp].revents & POLLIN)
                Accept(d, d.tcp.Get(), false);
            if (ctcp >= 0 && (fds[ctcp].revents & POLLIN))
                Accept(d, d.ctcp.Get(), true);
            if (udp >= 0 && (fds[udp].revents & POLLIN))
                HandleDiscovery(d, d.udp.Get(), false);
            if (bcast >= 0 && (fds[bcast].revents & POLLIN))
                HandleDiscovery(d, d.broadcast.Get(), true);
            if (http >= 0 && (fds[http].revents & POLLIN))
                HandleHttp(d);
        }
    }

    void TogglerLoop(Device &d)
    {
        std::unique_lock<std::mutex> lock(d.lock);
        while (!stopping) {
            d.toggle_cv.wait_for(lock, std::chrono::seconds(d.cfg.signal_toggle_s));
            if (stopping)
                break;
            bool on = !d.signal;
            lock.unlock();
            SetSignal(d, on);
            lock.lock();
        }
    }

    void SetSignal(Device &d, bool on)
    {
        {
            std::lock_guard<std::mutex> lock(d.lock);
            d.signal = on;
        }
        if (verbose)
            Log(d, "signal %s", on ? "on" : "off");
        MessageBuilder e = MessageBuilder::Event(EVT_VIDEO_MODE);
        EncodeVideoMode(e.Payload(), on ? d.cfg.mode : VideoMode{});
        SendEventAll(d, e.Take());
    }

    // ---- Set-up ----------------------------------------------------------------------------

    static void InitState(Device &d)
    {
        d.signal = d.cfg.signal;
        d.adj.flags = ADJ_HSHIFT | ADJ_PHASE | ADJ_OFFSET_GAIN | ADJ_VSHIFT | ADJ_PLL;
        d.adj.phase = 16;
        std::fill(std::begin(d.adj.gain), std::end(d.adj.gain), uint8_t(128));
        std::fill(std::begin(d.adj.offset), std::end(d.adj.offset), uint8_t(64));
        d.ranges.leading = 1;
        d.ranges.valid_mask = d.adj.flags | ADJ_GRAB_FLAGS;
        d.ranges.hshift_min = -100;
        d.ranges.hshift_max = 100;
        d.ranges.phase_min = 0;
        d.ranges.phase_max = 31;
        d.ranges.offset_min = 0;
        d.ranges.offset_max = 127;
        d.ranges.gain_min = 0;
        d.ranges.gain_max = 255;
        d.ranges.vshift_min = -50;
        d.ranges.vshift_max = 50;
        d.ranges.pll_min = -500;
        d.ranges.pll_max = 500;
        auto set_u32 = [&](uint32_t id, uint32_t v) {
            Parameter p;
            p.id = id;
            std::memcpy(p.value, &v, 4);
            d.params[id] = p;
        };
        auto set_text = [&](uint32_t id, const std::string &t) {
            Parameter p;
            p.id = id;
            std::memcpy(p.value, t.data(), std::min<size_t>(t.size(), 255));
            d.params[id] = p;
        };
        Parameter p0;
        p0.id = 0;
        uint16_t hw = 3;
        std::memcpy(p0.value, &hw, 2);
        d.params[0] = p0;
        set_u32(1, 20240109);
        set_text(18, d.cfg.product);
        set_text(21, "3.24.9");
        set_u32(27, 0);
        // Eight custom slots (the first in use) and the standard modes.
        static const uint16_t kStandard[][3] = {{640, 480, 600}, {800, 600, 600}, {1024, 768, 600},
                                                {1280, 1024, 750}, {1920, 1080, 600}};
        d.modes.assign(kCustomModeSlots, ModeEntry{});
        d.modes[0].head = 0;
        d.modes[0].values[0] = 1440;
        d.modes[0].values[1] = 900;
        d.modes[0].values[2] = 600;
        d.modes[0].flags = 1;
        for (const auto &m : kStandard) {
            ModeEntry e;
            e.head = uint32_t(d.modes.size());
            e.values[0] = m[0];
            e.values[1] = m[1];
            e.values[2] = m[2];
            e.flags = 2;
            d.modes.push_back(e);
        }
    }

    // A socket on 0.0.0.0 and the discovery port that shares the port with the
    // other appliances' (address reuse), so each of them sees every broadcast. Not
    // fatal: unicast discovery keeps working without it.
    void ListenBroadcast(Device &d)
    {
        Ambry::CSocket s(Ambry::SocketCreate(Ambry::SOCKET_DATAGRAM));
        int on = 1;
        if (!s.IsValid() || !Ambry::SocketSetReuseAddress(s.Get(), true) ||
            ::setsockopt(s.Get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0 ||
            !Ambry::SocketBind(s.Get(), 0, d.ep.udp_port)) {
            std::fprintf(stderr, "tessaline-sim: %s: broadcasts will not be answered (cannot listen on 0.0.0.0:%u)\n",
                         d.cfg.serial.c_str(), unsigned(d.ep.udp_port));
            return;
        }
        ::fcntl(s.Get(), F_SETFD, FD_CLOEXEC);
        d.broadcast = std::move(s);
    }

    bool Listen(Ambry::CSocket &sock, int type, uint32_t address, int port, uint16_t &actual, std::string *error,
                const char *what)
    {
        if (port < 0)
            return true;
        Ambry::CSocket s(Ambry::SocketCreate(type));
        if (!s.IsValid()) {
            if (error)
                *error = std::string("cannot create the ") + what + " socket";
            return false;
        }
        Ambry::SocketSetReuseAddress(s.Get(), true);
        if (!Ambry::SocketBind(s.Get(), address, uint16_t(port)) ||
            (type == Ambry::SOCKET_STREAM && !Ambry::SocketListen(s.Get(), 64))) {
            if (error)
                *error = "cannot listen on " + FormatAddress(address) + ":" + std::to_string(port) + " (" + what + ")";
            return false;
        }
        uint32_t ip;
        Ambry::SocketLocalAddress(s.Get(), &ip, &actual);
        ::fcntl(s.Get(), F_SETFD, FD_CLOEXEC);
        sock = std::move(s);
        return true;
    }
};

void Simulator::Impl::Log(const Device &d, const char *fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    std::fprintf(stderr, "tessaline-sim: %s %s: %s\n", d.cfg.serial.c_str(), FormatAddress(d.ep.address).c_str(), text);
}

Simulator::Simulator() : m_impl(std::make_unique<Impl>()) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(const std::vector<DeviceConfig> &devices, std::string *error)
{
    Stop();
    Impl &im = *m_impl;
    im.net_started = Ambry::NetStart();
    if (::pipe2(im.wake, O_CLOEXEC) != 0) {
        if (error)
            *error = "cannot make a pipe";
        return false;
    }
    im.stopping = false;
    for (size_t i = 0; i < devices.size(); ++i) {
        auto d = std::make_unique<Device>();
        d->cfg = devices[i];
        if (d->cfg.address == 0)
            d->cfg.address = 0x7F000002u + uint32_t(i);
        d->ep.address = d->cfg.address;
        Impl::InitState(*d);
        bool ok = im.Listen(d->tcp, Ambry::SOCKET_STREAM, d->cfg.address, d->cfg.port, d->ep.port, error, "grabber") &&
                  im.Listen(d->ctcp, Ambry::SOCKET_STREAM, d->cfg.address, d->cfg.compressed_port,
                            d->ep.compressed_port, error, "compressed") &&
                  im.Listen(d->udp, Ambry::SOCKET_DATAGRAM, d->cfg.address, d->cfg.udp_port, d->ep.udp_port, error,
                            "discovery") &&
                  im.Listen(d->http, Ambry::SOCKET_STREAM, d->cfg.address, d->cfg.http_port, d->ep.http_port, error,
                            "http");
        if (!ok) {
            im.devices.push_back(std::move(d));
            Stop();
            return false;
        }
        d->cfg.port = d->ep.port;
        if (d->cfg.compressed_port >= 0)
            d->cfg.compressed_port = d->ep.compressed_port;
        if (d->cfg.udp_port >= 0) {
            d->cfg.udp_port = d->ep.udp_port;
            if (d->cfg.broadcast)
                im.ListenBroadcast(*d);
        }
        if (d->cfg.http_port >= 0)
            d->cfg.http_port = d->ep.http_port;
        im.devices.push_back(std::move(d));
    }
    for (auto &d : im.devices) {
        Device *dev = d.get();
        dev->acceptor = std::thread([&im, dev] { im.AcceptorLoop(*dev); });
        if (dev->cfg.signal_toggle_s > 0)
            dev->toggler = std::thread([&im, dev] { im.TogglerLoop(*dev); });
    }
    im.running = true;
    return true;
}

void Simulator::Stop()
{
    Impl &im = *m_impl;
    if (im.wake[0] < 0)
        return;
    im.stopping = true;
    char b = 1;
    (void)!::write(im.wake[1], &b, 1);
    for (auto &d : im.devices) {
        {
            std::lock_guard<std::mutex> lock(d->lock);
            d->toggle_cv.notify_all();
        }
        if (d->acceptor.joinable())
            d->acceptor.join();
        if (d->toggler.joinable())
            d->toggler.join();
        std::list<std::shared_ptr<Session>> sessions;
        {
            std::lock_guard<std::mutex> lock(d->lock);
            sessions.swap(d->sessions);
        }
        for (auto &s : sessions)
            ::shutdown(s->fd, SHUT_RDWR);
        for (auto &s : sessions) {
            if (s->reader.joinable())
                s->reader.join();
            Ambry::SocketClose(s->fd);
        }
    }
    im.devices.clear();
    ::close(im.wake[0]);
    ::close(im.wake[1]);
    im.wake[0] = im.wake[1] = -1;
    if (im.net_started)
        Ambry::NetStop();
    im.net_started = false;
    im.running = false;
}

bool Simulator::Running() const { return m_impl->running; }
size_t Simulator::DeviceCount() const { return m_impl->devices.size(); }

Endpoints Simulator::Ports(size_t index) const
{
    if (index >= m_impl->devices.size())
        return {};
    return m_impl->devices[index]->ep;
}

DeviceStats Simulator::Stats(size_t index) const
{
    if (index >= m_impl->devices.size())
        return {};
    Device &d = *m_impl->devices[index];
    std::lock_guard<std::mutex> lock(d.lock);
    return d.stats;
}

DeviceConfig Simulator::Config(size_t index) const
{
    if (index >= m_impl->devices.size())
        return {};
    Device &d = *m_impl->devices[index];
    std::lock_guard<std::mutex> lock(d.lock);
    return d.cfg;
}

void Simulator::SetSignal(size_t index, bool on)
{
    if (index < m_impl->devices.size())
        m_impl->SetSignal(*m_impl->devices[index], on);
}

void Simulator::SetVerbose(bool on) { m_impl->verbose = on; }

}  // namespace Sim
