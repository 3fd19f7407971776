// The capture service: every device that has a video input category instance key
// in the settings store becomes a PipeWire camera node ("Video/Source", role
// "Camera") named tessaline-<class identifier>, and a device that also has an audio
// input category instance key an audio source ("Audio/Source") named
// tessaline-audio-<audio class identifier>; the two share one device connection.
// A node holds no device connection while nobody streams from it; the first
// consumer connects it, and it disconnects a while after the last one leaves. The
// service follows the store (inotify on the database and a "look again" datagram,
// see Wake.h) without polling any device.
//
// Threads: PipeWire's thread loop ("tsl-pipewire"), the store follower
// ("TSLCaptureWatch"), one worker per device link ("TSLCaptureLink") and the grabber
// library's reader threads while streaming.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Capture {

struct ServiceOptions {
    int linger_ms = 3000;          // a device stays connected this long after its last consumer
    int retry_ms = 2000;           // between connection attempts while pictures are wanted
    int rescan_delay_ms = 150;     // a burst of store changes is read once, this long after it
    int connecting_grace_ms = 1500;  // no no-signal picture while a first connection is being made
    bool probe_modes = true;       // learn each device's mode with a short connection at publication
};

// What a node is doing (for tests and the status line).
struct NodeStatus {
    std::string nodeName;
    std::string displayName;
    std::string state;        // the device link's state
    bool streaming = false;   // a consumer is streaming
    int32_t width = 0, height = 0;  // offered size
    std::string formats;      // offered formats in order, "YUY2 UYVY YV12 I420 BGR"
    uint64_t framesReceived = 0;    // pictures the device sent while a consumer streamed
    uint64_t framesQueued = 0;      // every frame handed to PipeWire
    uint64_t liveQueued = 0;        // those that came from the device
    uint64_t framesDropped = 0;     // pictures lost because no buffer was free
};

// What an audio node is doing (for tests and the status line).
struct AudioStatus {
    std::string nodeName;
    std::string displayName;
    bool streaming = false;        // a consumer is streaming
    uint32_t channels = 0, rate = 0;  // offered format (S16LE)
    uint64_t samplesOut = 0;       // sample frames handed to PipeWire
    uint64_t silentOut = 0;        // of those, silence (no device audio at hand)
    uint64_t underruns = 0;        // the device's samples ran out mid-stream
    uint64_t overruns = 0;         // samples dropped because too many were waiting
    // The timestamp (CLOCK_MONOTONIC) the node gave the last device sample it handed
    // on, and that sample's number counted from the start of the device's audio.
    int64_t stamp_ns = -1;
    uint64_t stampSample = 0;
};

class Service {
public:
    // Takes the user's instance lock, connects to PipeWire, publishes what the store
    // lists and starts following it. None (with *error) when another instance runs,
    // PipeWire cannot be reached, or the run-time folder cannot be made.
    [[nodiscard]] static std::unique_ptr<Service> Start(const ServiceOptions &options, std::string *error);
    ~Service();  // removes every node, closes every connection
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Reads the store again now (as the "look again" datagram does).
    void Rescan();
    // Blocks until the service fails (PipeWire went away) or Stop is called; true
    // when stopped.
    bool Wait();
    void Stop();
    std::vector<NodeStatus> Nodes();
    std::vector<AudioStatus> AudioNodes();

private:
    struct Impl;
    explicit Service(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// Where log lines go (default: stderr with a "tessaline-capture: " prefix).
void SetLogSink(std::function<void(const std::string &line)> sink);

}  // namespace Capture
