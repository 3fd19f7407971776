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
#include <cstddef>
#include <cstdint>
#include <functional>
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
    int stream_fps = 0;            // frame events per second while streaming; 0: the mode's refresh
    bool frame_counter = false;    // streamed frames carry their number (DrawFrameCounter)
    int keyframe_interval = 30;    // every Nth compressed frame self-contained
    int stream_passes = 1;         // compressed frames in 1 or 2 passes
    bool stream_fields = false;    // compressed frames send even rows, then odd rows
    int tone_hz = 0;               // audio tone (flags bit 0x10); 0: 400 + 100 x the position

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
    bool audio_faults = false;       // starts audio with a data event and an oversize format event
};

// Parses "key=value,key=value" (every key optional). False with a message when a
// key or value is not understood.
bool ParseDeviceKeys(std::string_view text, DeviceConfig &config, std::string *error);
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
// The frame counter of streamed pictures: a block code of 16 x 3 cells in the
// top-left corner (each cell 1/64 of the width and 1/48 of the height, white for
// 1 and black for 0, on a black margin one cell wide): row 0 holds bits 31..16 of
// the number, row 1 bits 15..0, row 2 a check word, most significant bit on the
// left. The cells are grey, so the code survives conversion to YUY2, UYVY or
// 4:2:0 and back, and scaling that keeps a cell at least three pixels wide. The
// picture needs at least 64 x 48 pixels; smaller ones are left unchanged.
void DrawFrameCounter(uint8_t *bgr, int width, int height, uint32_t counter);
// Reads the counter back from one channel of a picture: `pixel_bytes` apart per
// pixel, rows `stride` bytes apart (0: width x pixel_bytes; negative for a
// bottom-up picture given by its last row), the channel at byte `channel` of a
// pixel. Blue-green-red: 3, 1 (the default); YUY2: 2, 0; UYVY: 2, 1; a luma
// plane: 1, 0. False when the picture holds no valid code.
bool DecodeFrameCounter(const uint8_t *pixels, int width, int height, uint32_t *counter, int pixel_bytes = 3,
                        int channel = 1, ptrdiff_t stride = 0);
// The rate an appliance streams at: stream_fps, or the mode's refresh rate.
int StreamRate(const DeviceConfig &config);
// The pixel formats the appliance streams: 0x0018 and 0x0800 (24-bit, either row
// order), the compressed 0x0600 and 0x0900 (24-bit), 0x0700 (YUY2) and 0x0D00
// (UYVY).
bool StreamsPixelFormat(uint32_t pixel);

// Audio (appliances with capability bit 0x10): the format record's fields are
// channels (1 or 2), bits per sample (16), block (bytes per sample frame:
// channels x 2) and rate (samples per second per channel: 8000, 11025, 16000,
// 22050, 32000, 44100 or 48000). StartAudio takes the requested format where it
// is one of these and the default (2 channels, 16 bits, 22050 Hz) for every field
// that is not. Audio data events carry interleaved signed 16-bit little-endian
// samples, 20 ms at a time. Sample frame n (counted from 0 at StartAudio) holds
// the same sample in every channel: a sine of the appliance's tone in the high
// byte and n mod 256 in the low byte.
Grabber::AudioFormat AudioFormatInEffect(const Grabber::AudioFormat *requested);
int16_t AudioSample(int tone_hz, uint32_t rate, uint64_t n);

// Follows the running counter of an appliance's audio data across events.
class AudioCounterCheck {
public:
    explicit AudioCounterCheck(int channels) : m_channels(channels > 0 ? channels : 1) {}
    // Takes the next bytes of audio data (any split, also inside a sample). False
    // once a sample frame did not follow the one before it (a sample lost or
    // repeated) or its channels differ.
    bool Feed(const uint8_t *data, size_t size);
    uint64_t Frames() const { return m_frames; }  // whole sample frames taken
    uint64_t Breaks() const { return m_breaks; }  // frames that did not follow

private:
    int m_channels;
    std::vector<uint8_t> m_partial;
    uint64_t m_frames = 0, m_breaks = 0;
    int m_last = -1;  // low byte of the previous frame
};

// What an appliance saw, for tests.
struct DeviceStats {
    std::array<uint64_t, 32> requests{};  // by request type (types above 31 counted at 31)
    uint64_t connections = 0;       // accepted since the start
    uint64_t open_connections = 0;  // open now
    uint64_t streaming = 0;         // open connections that stream frames now
    uint64_t audio = 0;             // open connections that receive audio now
    uint64_t audio_frames = 0;      // audio sample frames sent
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
    // Called with the device index whenever its open connections, streams or audio
    // change (on a simulator thread, no simulator lock held; Stats may be
    // called). Set before Start.
    void SetObserver(std::function<void(size_t index)> observer);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Sim
