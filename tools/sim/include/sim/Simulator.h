// The appliance simulator: one or many simulated grabber appliances in one
// process, each on its own loopback address. Every appliance speaks the grabber
// protocol on TCP (plain, and compressed on a second port when asked), answers
// discovery requests on UDP, and serves "/vw1.jpg" and "/admin" over HTTP.
//
// The program tessaline-sim is a thin front end; tests may link this library and
// run appliances in-process (see tools/sim/README.md).
#pragma once

#include <grabber/Records.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Sim {

// One simulated appliance. Ports of 0 are chosen by the system at start.
struct DeviceConfig {
    uint32_t address = 0;          // host order; 0: 127.0.0.(2 + index)
    int port = 5557;               // grabber protocol
    int http_port = 80;            // snapshot and admin page; -1: off
    int udp_port = 5557;           // discovery responder; -1: off
    bool broadcast = true;         // also answers broadcast requests (0.0.0.0 on udp_port)
    int compressed_port = -1;      // compressed transport; -1: off
    uint32_t type = 3;             // device type code
    std::string serial = "TS0001";
    std::string product;           // parameter 18; empty: the model table names it
    std::string name;              // name stored on the device (requests 26/27)
    std::string password;          // empty: no login needed
    uint32_t flags = 0;            // capability flags of Hello
    Grabber::VideoMode mode{1280, 1024, 75000};
    bool signal = true;            // false: "mode=none"
    int signal_toggle_s = 0;       // flips the signal every so many seconds
    bool animate = true;           // false: the picture never changes
    int stream_fps = 30;           // frame events per second while streaming
    int keyframe_interval = 30;    // every Nth compressed frame self-contained
    int stream_passes = 1;         // compressed frames in 1 or 2 passes
    bool stream_fields = false;    // compressed frames send even rows, then odd rows

    // Fault switches for tests.
    bool no_hello = false;           // never greets
    int reply_delay_ms = 0;          // waits before every reply
    int drop_after = 0;              // closes the connection after N requests (0: never)
    bool bad_frame_size = false;     // grab pictures one byte short
    bool short_state_reply = false;  // state replies of 12 bytes
    bool reject_login = false;       // rejects every password
    bool bad_mode_list = false;      // mode list of 25 bytes
    bool probe_unknown = false;      // sends a request of type 28 after the greeting
    bool stray_reply = false;        // sends a reply with an unknown id before each answer
    bool stall_replies = false;      // sends the head of each reply and then nothing
    bool silent_stream = false;      // accepts a stream format but sends no frames
};

// Parses "key=value,key=value" (every key optional). False with a message when a
// key or value is not understood.
bool ParseDeviceSpec(std::string_view text, DeviceConfig &config, std::string *error);
// Reads one device description per line over the given defaults (blank lines and lines
// starting with # skipped).
bool ReadConfigFile(const std::string &path, const DeviceConfig &defaults, std::vector<DeviceConfig> &devices,
                    std::string *error);

// The test picture: colour bars, a moving box and the serial number, in
// blue-green-red, rows top to bottom. phase moves the picture.
void RenderPattern(const DeviceConfig &config, uint32_t phase, int width, int height, uint8_t *bgr);
// The same picture as a JPEG (quality 85). Empty on failure.
std::vector<uint8_t> EncodeJpeg(const uint8_t *bgr, int width, int height);
// A compressed stream frame (self-contained, one pass, complete data) of a
// top-down blue-green-red picture.
std::vector<uint8_t> EncodeCompressedFrame(const uint8_t *bgr, int width, int height);
// The picture as YUY2 (Y0 U Y1 V per pixel pair, studio range, chroma of the pair
// averaged), rows kept in order. Empty for an odd width.
std::vector<uint8_t> ToYuy2(const uint8_t *bgr, int width, int height);
// The same with U Y0 V Y1 per pixel pair.
std::vector<uint8_t> ToUyvy(const uint8_t *bgr, int width, int height);
// The pixel formats the appliance streams: 0x0018 and 0x0800 (24-bit, either row
// order), the compressed 0x0600 and 0x0900 (24-bit), 0x0700 (YUY2) and 0x0D00
// (UYVY).
bool StreamsPixelFormat(uint32_t pixel);

// What an appliance saw, for tests.
struct DeviceStats {
    std::array<uint64_t, 32> requests{};  // by request type (types above 31 counted at 31)
    uint64_t connections = 0;
    uint64_t frames_streamed = 0;
    uint64_t delta_frames_streamed = 0;  // compressed frames sent as deltas
    uint64_t discovery_requests = 0;
    uint64_t http_requests = 0;
    uint64_t logins_accepted = 0;
    uint64_t logins_rejected = 0;
    int unknown_request_status = -1;  // the client's status for the type-28 probe
    int hello_status = -1;            // the client's status for Hello
};

// Where an appliance listens (host order; ports 0 when off).
struct Endpoints {
    uint32_t address = 0;
    uint16_t port = 0;
    uint16_t http_port = 0;
    uint16_t udp_port = 0;
    uint16_t compressed_port = 0;
};

class Simulator {
public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Binds every endpoint of every device and starts serving. False with a
    // message when any endpoint cannot be bound (nothing keeps running then).
    bool Start(const std::vector<DeviceConfig> &devices, std::string *error);
    // Closes every endpoint and connection; Start may be called again.
    void Stop();
    bool Running() const;

    size_t DeviceCount() const;
    Endpoints Ports(size_t index) const;
    DeviceStats Stats(size_t index) const;
    // The device's configuration as running (ports filled in).
    DeviceConfig Config(size_t index) const;
    // Switches the signal and tells connected clients with a video-mode event.
    void SetSignal(size_t index, bool on);
    // Logs connections and requests to stderr.
    void SetVerbose(bool on);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Sim
