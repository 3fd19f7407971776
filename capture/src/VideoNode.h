// One published camera: a PipeWire output stream named after the device, its
// negotiation, and the frames it queues (live pictures, or the no-signal picture
// while there is none).
//
// Threads: PipeWire's thread loop runs the stream's events; the node's pacer thread
// sends the no-signal picture and the fixed-rate frames; the device link's reader
// thread pushes live frames. A buffer's memory is our own
// (memfd), kept mapped while a frame is written into it even if PipeWire drops the
// buffer meanwhile.
#pragma once

#include "DeviceLink.h"
#include "PipeWire.h"
#include "capture/DeviceConfig.h"
#include "capture/Pipeline.h"
#include "capture/Service.h"

#include <atomic>
#include <condition_variable>
#include <thread>
#include <map>
#include <memory>
#include <mutex>
#include <vector>


namespace Capture {

class VideoNode final : public LinkSink {
public:
    // Call with the thread loop locked. false from Ok() when the stream cannot be made.
    VideoNode(pw_thread_loop *loop, pw_core *core, const DeviceConfig &config, const ServiceOptions &options);
    ~VideoNode() override;  // call with the thread loop unlocked
    VideoNode(const VideoNode &) = delete;
    VideoNode &operator=(const VideoNode &) = delete;

    [[nodiscard]] bool Ok() const { return m_stream != nullptr; }
    // A new reading of the store for this device. Thread loop unlocked.
    void Update(const DeviceConfig &config);
    NodeStatus Status();
    // The device connection, shared with the device's audio node.
    DeviceLink *Link() { return m_link.get(); }

    void OnLinkState(LinkState state, const Grabber::VideoMode &mode) override;
    void OnLinkFrame(const Grabber::FrameRecord &frame) override;

private:
    struct Mapping;
    struct Target {  // what the node offers
        int32_t width = 640, height = 480;
        uint32_t rate_num = 30, rate_den = 1;
        bool operator==(const Target &o) const
        {
            return width == o.width && height == o.height && rate_num == o.rate_num && rate_den == o.rate_den;
        }
    };

    // Loop locked.
    void OfferFormats();
    void OnFormat(const spa_pod *param);
    void OnStreamState(int state);
    void AddBuffer(pw_buffer *buffer);
    void RemoveBuffer(pw_buffer *buffer);
    void Tick();
    void Pace();  // the pacer thread: Tick at the offered rate while streaming

    Target TargetFor(const Grabber::VideoMode &mode);
    // Pipeline options and the no-signal picture (the image read again when asked);
    // m_mutex held.
    void ApplyOptions(bool reloadImage);
    // Dequeues a buffer, lets fill write the frame, queues it. Thread loop unlocked.
    template <typename Fill> bool Push(Fill &&fill);

    static void StreamStateChanged(void *data, pw_stream_state old_state, pw_stream_state state, const char *error);
    static void ParamChanged(void *data, uint32_t id, const spa_pod *param);
    static void AddBufferEvent(void *data, pw_buffer *buffer);
    static void RemoveBufferEvent(void *data, pw_buffer *buffer);
    static void Process(void *data);

    pw_thread_loop *m_loop;
    pw_stream *m_stream = nullptr;
    struct Hook;
    std::unique_ptr<Hook> m_hook;
    ServiceOptions m_serviceOptions;
    const std::string m_nodeName;

    // Guarded by m_mutex. Lock order: thread loop, m_mutex, m_pipelineMutex.
    std::mutex m_mutex;
    DeviceConfig m_config;
    Target m_target;                 // offered
    Grabber::VideoMode m_mode;       // last known device mode
    LinkState m_state = LinkState::Idle;
    bool m_negotiated = false;
    OutputShape m_output;               // negotiated
    FrameLayout m_layout;
    uint64_t m_generation = 0;       // bumped whenever buffers or the format change
    std::vector<uint8_t> m_noSignal; // the no-signal picture at the negotiated format
    uint64_t m_noSignalVersion = 1;
    std::vector<uint8_t> m_staged;   // fix rate: the latest live picture
    bool m_stagedLive = false;
    int64_t m_streamingSince_ns = 0;
    int64_t m_lastLive_ns = 0;       // last live picture queued or staged
    int64_t m_nextDue_ns = 0;        // frame-rate limit
    bool m_streaming = false;
    bool m_pacerStop = false;
    std::condition_variable m_pacerWake;

    std::mutex m_pipelineMutex;      // the pipeline is used by one thread at a time
    FramePipeline m_pipeline;
    std::string m_unusableImage;     // the no-signal image last found unusable (logged once)
    std::vector<uint8_t> m_scratch;  // fix rate: converted before it is staged

    // Loop locked.
    std::map<pw_buffer *, std::shared_ptr<Mapping>> m_buffers;
    uint64_t m_sequence = 0;

    std::atomic<uint64_t> m_framesReceived{0}, m_framesQueued{0}, m_liveQueued{0}, m_framesDropped{0}, m_framesSkipped{0};

    std::thread m_pacer;  // "TSLCapturePace": no-signal and fixed-rate frames
    std::unique_ptr<DeviceLink> m_link;
};

}  // namespace Capture
