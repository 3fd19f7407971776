// One published audio source: a PipeWire output stream ("Audio/Source") named after
// the device's audio class identifier, offering interleaved S16LE at the stored
// audio format, fed from the device's audio over the device link that the camera
// node of the same device uses.
//
// The node drives its own graph (as the camera node does), at a steady pace from a
// timer of PipeWire's thread loop: left to whichever driver is running, it could be
// handed to a camera's graph and then run at that camera's frame rate.
//
// Threads: the device link's reader thread writes the device's samples into a ring;
// PipeWire's thread loop takes them out in the stream's process event, one graph
// cycle per timer tick, and fills with silence whatever the ring cannot give (no
// device audio, no connection), so a consumer never stalls. Timestamps are
// CLOCK_MONOTONIC, like the camera node's.
#pragma once

#include "AudioRing.h"
#include "DeviceLink.h"
#include "PipeWire.h"
#include "capture/DeviceConfig.h"
#include "capture/Service.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Capture {

// The node name of a device's audio source: "tessaline-audio-" and the audio class
// identifier's text in lower case without braces.
std::string AudioNodeName(const std::string &audioText);

class AudioNode final : public AudioSink {
public:
    // Call with the thread loop locked. false from Ok() when the stream cannot be made.
    AudioNode(pw_thread_loop *loop, pw_core *core, const DeviceConfig &config, DeviceLink *link);
    ~AudioNode() override;  // call with the thread loop unlocked
    AudioNode(const AudioNode &) = delete;
    AudioNode &operator=(const AudioNode &) = delete;

    [[nodiscard]] bool Ok() const { return m_stream != nullptr; }
    const std::string &Name() const { return m_nodeName; }
    // A new reading of the store for this device. Thread loop unlocked.
    void Update(const DeviceConfig &config);
    AudioStatus Status();

    void OnAudioFormat(const Grabber::AudioFormat &format) override;
    void OnAudioData(const uint8_t *data, size_t size) override;
    void OnAudioStop() override;

private:
    struct Hook;
    void Connect(const DeviceConfig &config);  // loop locked
    void OnProcess();
    void OnStreamState(bool streaming);
    void OnTick();  // loop locked
    void ArmTimer(int64_t at_ns);  // loop locked; 0 disarms
    Grabber::AudioFormat WantedFormat() const;  // m_mutex held
    void Restart();                             // m_mutex held: the ring empty, to be primed again

    static void StreamStateChanged(void *data, pw_stream_state old_state, pw_stream_state state, const char *error);
    static void ParamChanged(void *data, uint32_t id, const spa_pod *param);
    static void Process(void *data);
    static void Tick(void *data, uint64_t expirations);

    pw_thread_loop *m_loop;
    pw_core *m_core;
    pw_stream *m_stream = nullptr;
    std::unique_ptr<Hook> m_hook;
    spa_source *m_timer = nullptr;  // loop locked
    int64_t m_nextTick_ns = 0;      // loop locked
    DeviceLink *m_link;
    const std::string m_nodeName;

    // Guarded by m_mutex (taken in the stream's events and by the reader thread).
    std::mutex m_mutex;
    DeviceConfig m_config;
    uint32_t m_channels = 2, m_rate = 22050;  // what the node offers
    bool m_streaming = false;
    AudioRing m_ring;                         // the device's samples, in the node's format
    bool m_mismatchLogged = false;
    int64_t m_newest_ns = 0;                  // arrival of the ring's newest sample
    bool m_primed = false;                    // enough in the ring to start taking
    double m_averageMs = 0;                   // the ring's level on average, in ms
    uint64_t m_cycleFrames = 0;               // sample frames the last graph cycle took
    int64_t m_stamp_ns = -1;                  // see AudioStatus
    uint64_t m_stampSample = 0;
    uint64_t m_samplesOut = 0;                // sample frames handed to PipeWire
    uint64_t m_silentOut = 0;                 // of those, silence
    uint64_t m_underruns = 0, m_overruns = 0;
};

}  // namespace Capture
