// The simulator's inner records and the routines its units share: the appliance
// (Device), one protocol connection (Session) and the shared state of all
// appliances (Simulator::Impl), whose routines live in one unit per concern:
// Session.cpp (protocol), Streamer.cpp (picture and frame events), Audio.cpp, Discovery.cpp,
// Http.cpp, Acceptor.cpp (listening sockets and the per-appliance poll) and
// Simulator.cpp (set-up, signal, public interface).
//
// Threads, each started through Ambry::StartThread with a name "Sim...": one
// acceptor per device (TCP, compressed TCP, UDP discovery and HTTP on one poll),
// one per protocol connection, one streamer and one audio sender per connection
// while it streams or sends audio, and one signal toggler per device that asks
// for it.
#pragma once

#include "sim/Simulator.h"

#include <grabber/Transport.h>
#include <grabber/Wire.h>
#include <imaging/Encoder.h>

#include <ambry/Net.h>
#include <ambry/Thread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Sim {

using namespace Grabber;

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
    std::condition_variable stream_cv;  // wakes the streamer and the audio sender
    uint32_t stream_format = 0;
    bool stream_stop = false;
    uint32_t frame_number = 0;  // of the next streamed frame (streamer thread)

    std::thread audio;  // sends the tone while audio runs
    bool audio_stop = false;
    AudioFormat audio_format;
};

struct Device {
    size_t index = 0;
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

// The firmware version the appliances announce (greeting, parameter 21, discovery).
constexpr uint16_t kFirmwareVersion[3] = {3, 24, 9};
constexpr const char *kFirmwareText = "3.24.9";

// Sets the length field of a frame whose head was built without its body of
// `body` bytes (sent apart from the head).
inline void SetFrameLength(std::vector<uint8_t> &head, size_t body)
{
    const auto length = static_cast<uint32_t>(head.size() - 8 + body);
    head[0] = uint8_t(length >> 24);
    head[1] = uint8_t(length >> 16);
    head[2] = uint8_t(length >> 8);
    head[3] = uint8_t(length);
}

// The dotted quad of a host-order address.
std::string FormatAddress(uint32_t address);

struct Simulator::Impl {
    std::vector<std::unique_ptr<Device>> devices;
    int wake[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::atomic<bool> verbose{false};
    std::function<void(size_t)> observer;
    bool running = false;
    bool net_started = false;
    std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();

    void Log(const Device &d, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    bool Send(Session &s, const std::vector<uint8_t> &bytes) { return s.transport->Send(bytes); }
    // The encoder state of one compressed stream.
    struct CompressedStream {
        imaging::FrameEncoder encoder;
        uint32_t pixel = 0;
        int width = 0, height = 0;
        int since_key = 0;
        // While the shared picture stays the same (it changes ten times a second),
        // its pixel pairs and the delta that changes nothing are made once.
        std::shared_ptr<const std::vector<uint8_t>> source;
        std::vector<uint8_t> pairs;
        std::vector<uint8_t> unchanged;
    };

    // ---- Picture and streaming (Streamer.cpp)

    uint32_t Phase(const Device &d) const;
    // The current picture of the device's mode, rows top-down or bottom-up. Shared:
    // the picture is rendered once per phase and size.
    std::shared_ptr<const std::vector<uint8_t>> Picture(Device &d, int w, int h, bool bottom_up = false);
    VideoMode CurrentMode(Device &d);
    void StartStream(Session &s, uint32_t format);
    void StopStream(Session &s);
    // A compressed frame of the current picture: self-contained when the format or
    // size changed or the key-frame interval is up, else deltas against the last
    // self-contained one. Empty when the picture cannot be encoded. `source` is the
    // shared picture the frame shows, none when the frame is a picture of its own.
    std::vector<uint8_t> NextCompressed(Device &d, CompressedStream &cs, uint32_t pixel, const VideoMode &mode,
                                        const uint8_t *picture,
                                        const std::shared_ptr<const std::vector<uint8_t>> &source, bool &delta);
    void StreamLoop(Session &s);
    static std::vector<uint8_t> FlipRows(const std::vector<uint8_t> &pic, int w, int h);

    // ---- Protocol session (Session.cpp)

    uint32_t NextId(Session &s);
    bool Reply(Session &s, uint32_t id, uint8_t status, const std::vector<uint8_t> &payload);
    void SendEventAll(Device &d, const std::vector<uint8_t> &bytes);
    bool HandleGrab(Session &s, const IncomingFrame &f, PayloadReader &r);
    bool HandleParam(Session &s, const IncomingFrame &f, PayloadReader &r, bool with_argument);
    bool HandleSetParam(Session &s, const IncomingFrame &f, PayloadReader &r);
    bool HandleRequest(Session &s, const IncomingFrame &f, PayloadReader &r);
    // A reply from the client to one of our requests.
    void HandleReply(Session &s, const IncomingFrame &f, PayloadReader &r);
    void SessionLoop(std::shared_ptr<Session> sp);

    // ---- Discovery responder (Discovery.cpp)

    // Reads one discovery request from `sock`; the reply always leaves from the
    // appliance's own address. On the broadcast socket only broadcasts count: a
    // unicast there was meant for an address no appliance has.
    void HandleDiscovery(Device &d, int sock, bool broadcast_socket);
    // A socket on 0.0.0.0 and the discovery port that shares the port with the
    // other appliances' (address reuse), so each of them sees every broadcast. Not
    // fatal: unicast discovery keeps working without it.
    void ListenBroadcast(Device &d);

    // ---- Audio (Audio.cpp)

    // Sends the audio format event and starts sending the tone in `format`
    // (stopping audio that runs). False when the connection failed.
    bool StartAudio(Session &s, const AudioFormat &format);
    // Stops the tone and sends the audio stopped event.
    bool StopAudio(Session &s);
    // Stops the tone without a word; true when it was running.
    bool EndAudio(Session &s);
    void AudioLoop(Session &s);

    // ---- HTTP server (Http.cpp)

    void HandleHttp(Device &d);

    // ---- Acceptor (Acceptor.cpp)

    void Accept(Device &d, int listener, bool compressed);
    void AcceptorLoop(Device &d);
    bool Listen(Ambry::CSocket &sock, int type, uint32_t address, int port, uint16_t &actual, std::string *error,
                const char *what);

    // ---- Signal and set-up (Simulator.cpp)

    // Adds `change` to one of the device's gauges (open connections, streams,
    // audio) and tells the observer.
    void Count(Device &d, uint64_t DeviceStats::*gauge, int change);
    void TogglerLoop(Device &d);
    void SetSignal(Device &d, bool on);
    static void InitState(Device &d);
};

}  // namespace Sim
