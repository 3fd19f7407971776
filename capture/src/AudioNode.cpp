// One published audio source.
#include "AudioNode.h"

#include "Log.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <time.h>

namespace Capture {
namespace {

// The ring starts giving samples once it holds this much (the device sends 20 ms
// at a time), and drops the oldest when it holds more than the limit (a graph that
// stood still for long; shorter stalls are made up by faster cycles). In between,
// the pace of the graph's cycles follows the device: a little faster while the
// ring holds more than the target on average, a little slower while it holds
// less, so that samples wait about the target and none is dropped or made up,
// whatever the two clocks do.
constexpr uint32_t kPrimeMs = 30;  // beyond one graph cycle
constexpr double kTargetMs = 25.0;  // above what one graph cycle takes
constexpr uint32_t kCycleMs = 20;   // the graph's cycle the node asks for
constexpr uint32_t kLimitMs = 2000;
constexpr uint32_t kRingMs = 3000;

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

std::string AudioNodeName(const std::string &audioText)
{
    std::string name = "tessaline-audio-";
    for (char c : audioText)
        if (c != '{' && c != '}')
            name += char(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

struct AudioNode::Hook {
    spa_hook listener{};
    pw_stream_events events{};
};

AudioNode::AudioNode(pw_thread_loop *loop, pw_core *core, const DeviceConfig &config, DeviceLink *link)
    : m_loop(loop), m_core(core), m_hook(std::make_unique<Hook>()), m_link(link),
      m_nodeName(AudioNodeName(config.audioText)), m_config(config)
{
    m_link->SetAudioSink(this);
    Connect(config);
}

AudioNode::~AudioNode()
{
    m_link->SetAudioSink(nullptr);
    m_link->SetAudioWanted(false, Grabber::AudioFormat{});
    pw_thread_loop_lock(m_loop);
    if (m_timer)
        pw_loop_destroy_source(pw_thread_loop_get_loop(m_loop), m_timer);
    m_timer = nullptr;
    if (m_stream) {
        spa_hook_remove(&m_hook->listener);
        pw_stream_destroy(m_stream);
    }
    m_stream = nullptr;
    pw_thread_loop_unlock(m_loop);
}

void AudioNode::Connect(const DeviceConfig &config)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_channels = config.audio.channels == 1 ? 1 : 2;
        m_rate = config.audio.frequency;
        m_ring.Configure(m_channels, m_rate, kRingMs);
        Restart();
        m_streaming = false;
    }
    // 20 ms cycles (consumers may ask for shorter ones); the graph may run at the
    // node's own rate where the session allows it, sparing a conversion.
    char latency[32], rate[32];
    std::snprintf(latency, sizeof latency, "%u/%u", m_rate * kCycleMs / 1000, m_rate);
    std::snprintf(rate, sizeof rate, "1/%u", m_rate);
    pw_properties *props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_CLASS, "Audio/Source",
        PW_KEY_NODE_NAME, m_nodeName.c_str(), PW_KEY_NODE_DESCRIPTION, config.displayName.c_str(), PW_KEY_NODE_NICK,
        config.displayName.c_str(), PW_KEY_NODE_LATENCY, latency, PW_KEY_NODE_RATE, rate, PW_KEY_DEVICE_SERIAL,
        config.serialNumber.c_str(), "tessaline.address", config.address.c_str(), "tessaline.serial",
        config.serialNumber.c_str(),
        "tessaline.clsid", config.clsidText.c_str(), "tessaline.audio-clsid", config.audioText.c_str(), nullptr);
    m_stream = pw_stream_new(m_core, m_nodeName.c_str(), props);
    if (!m_stream)
        return;
    *m_hook = Hook{};
    m_hook->events.version = PW_VERSION_STREAM_EVENTS;
    m_hook->events.state_changed = &AudioNode::StreamStateChanged;
    m_hook->events.process = &AudioNode::Process;
    m_hook->events.param_changed = &AudioNode::ParamChanged;
    pw_stream_add_listener(m_stream, &m_hook->listener, &m_hook->events, this);

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_S16_LE;
    info.rate = m_rate;
    info.channels = m_channels;
    if (m_channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    PodBuffer pods;
    spa_pod_builder b = SPA_POD_BUILDER_INIT(pods.bytes, sizeof pods.bytes);
    const spa_pod *params[] = {spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info)};
    int r = pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                              pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (r >= 0 && !m_timer) {
        m_timer = pw_loop_add_timer(pw_thread_loop_get_loop(m_loop), &AudioNode::Tick, this);
        if (!m_timer)
            r = -ENOMEM;
    }
    if (r < 0) {
        LogLine("%s: cannot publish the audio node %s (%s)", config.displayName.c_str(), m_nodeName.c_str(),
                strerror(-r));
        spa_hook_remove(&m_hook->listener);
        pw_stream_destroy(m_stream);
        m_stream = nullptr;
    }
}

Grabber::AudioFormat AudioNode::WantedFormat() const
{
    Grabber::AudioFormat f;
    f.id = 0;
    f.channels = uint8_t(m_channels);
    f.bits = 16;
    f.block = uint16_t(m_channels * 2);
    f.rate = m_rate;
    return f;
}

void AudioNode::Update(const DeviceConfig &config)
{
    bool props, format;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        props = config.displayName != m_config.displayName || config.serialNumber != m_config.serialNumber ||
                config.address != m_config.address;
        format = !(config.audio == m_config.audio);
        m_config = config;
    }
    if (format) {
        // Another rate or channel count: the stream is made again, and consumers
        // connect to the new one.
        m_link->SetAudioWanted(false, Grabber::AudioFormat{});
        pw_thread_loop_lock(m_loop);
        if (m_stream) {
            spa_hook_remove(&m_hook->listener);
            pw_stream_destroy(m_stream);
            m_stream = nullptr;
        }
        Connect(config);
        pw_thread_loop_unlock(m_loop);
        return;
    }
    if (!props)
        return;
    pw_thread_loop_lock(m_loop);
    if (m_stream)
        UpdateDeviceProperties(m_stream, config.displayName, config.serialNumber, config.address);
    pw_thread_loop_unlock(m_loop);
}

AudioStatus AudioNode::Status()
{
    AudioStatus s;
    std::lock_guard<std::mutex> lock(m_mutex);
    s.nodeName = m_nodeName;
    s.displayName = m_config.displayName;
    s.streaming = m_streaming;
    s.channels = m_channels;
    s.rate = m_rate;
    s.samplesOut = m_samplesOut;
    s.silentOut = m_silentOut;
    s.underruns = m_underruns;
    s.overruns = m_overruns;
    s.stamp_ns = m_stamp_ns;
    s.stampSample = m_stampSample;
    return s;
}

void AudioNode::ArmTimer(int64_t at_ns)
{
    if (!m_timer)
        return;
    timespec at{}, interval{};
    at.tv_sec = time_t(at_ns / 1000000000);
    at.tv_nsec = long(at_ns % 1000000000);
    if (at_ns == 0)
        at.tv_nsec = 0;
    pw_loop_update_timer(pw_thread_loop_get_loop(m_loop), m_timer, &at, &interval, true);
}

void AudioNode::OnTick()
{
    if (!m_stream || !pw_stream_is_driving(m_stream))
        return;
    pw_stream_trigger_process(m_stream);
    // The next cycle is due when this one's samples have been played: the cycle's
    // length comes from the graph (its quantum), 10 ms until it is known.
    double period_ns;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint64_t frames = m_cycleFrames ? m_cycleFrames : m_rate * kCycleMs / 1000;
        const double error = m_primed ? m_averageMs - (kTargetMs + double(frames) * 1000.0 / m_rate) : 0.0;
        period_ns = double(frames) * 1e9 / m_rate / (1.0 + std::clamp(error * 0.003, -0.1, 0.1));
    }
    // Cycles never follow each other faster than the pace allows (a cycle started
    // before consumers finished the last one would lose its samples): a late tick
    // is not made up at once, the ring holds on and the faster pace drains it.
    const int64_t now = NowNs();
    m_nextTick_ns = std::max(m_nextTick_ns + int64_t(period_ns), now + int64_t(period_ns * 0.9));
    if (m_nextTick_ns < now - 1000000000)  // stood still for a second: start afresh
        m_nextTick_ns = now;
    ArmTimer(m_nextTick_ns);
}

void AudioNode::Tick(void *data, uint64_t) { static_cast<AudioNode *>(data)->OnTick(); }

void AudioNode::OnStreamState(bool streaming)
{
    // Loop locked (a stream event).
    m_nextTick_ns = NowNs();
    ArmTimer(streaming ? m_nextTick_ns : 0);
    Grabber::AudioFormat wanted;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (streaming == m_streaming)
            return;
        // The ring is kept: a pause while the graph is set up again loses nothing,
        // and a long one is bounded by the ring's limit.
        m_streaming = streaming;
        wanted = WantedFormat();
    }
    m_link->SetAudioWanted(streaming, wanted);
}

void AudioNode::OnAudioFormat(const Grabber::AudioFormat &format)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Restart();
    if (!m_ring.SetDeviceFormat(format) && !m_mismatchLogged) {
        m_mismatchLogged = true;
        LogLine("%s: the device sends audio as %u channels of %u bits at %u Hz, which the node (%u channels, %u Hz) "
                "cannot carry; sending silence",
                m_config.displayName.c_str(), unsigned(format.channels), unsigned(format.bits), unsigned(format.rate),
                m_channels, m_rate);
    }
}

void AudioNode::OnAudioStop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    (void)m_ring.SetDeviceFormat(Grabber::AudioFormat{});  // nothing more until a format
    Restart();
}

void AudioNode::Restart()
{
    m_ring.Reset();
    m_primed = false;
}

void AudioNode::OnAudioData(const uint8_t *data, size_t size)
{
    const int64_t now = NowNs();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_ring.Usable())
        return;
    m_overruns += m_ring.Put(data, size);
    m_newest_ns = now;
    m_overruns += m_ring.Trim(kLimitMs, kPrimeMs + kCycleMs);
}

void AudioNode::OnProcess()
{
    pw_buffer *b = pw_stream_dequeue_buffer(m_stream);
    if (!b)
        return;
    spa_data &d = b->buffer->datas[0];
    if (!d.data) {
        pw_stream_queue_buffer(m_stream, b);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const uint32_t stride = m_channels * 2;
    // As much as the graph asks for (a cycle's worth when it does not say).
    const uint64_t frames =
        std::min<uint64_t>(d.maxsize / stride, b->requested ? b->requested : m_rate * kCycleMs / 1000);
    m_cycleFrames = frames;
    auto *out = static_cast<int16_t *>(d.data);
    const size_t wanted = size_t(frames) * m_channels;
    if (!m_primed && m_ring.Frames() >= uint64_t(m_rate) * kPrimeMs / 1000 + frames) {
        m_primed = true;
        m_averageMs = m_ring.Ms();
    }
    size_t taken = 0;
    int64_t pts = NowNs();
    if (m_primed) {
        // The first sample given arrived this long before the newest one.
        pts = m_newest_ns - int64_t(m_ring.Frames()) * 1000000000 / m_rate;
        if (m_ring.Frames() > 0) {
            m_stamp_ns = pts;
            m_stampSample = m_ring.DeviceFrames() - m_ring.Frames();
        }
        taken = m_ring.Take(out, size_t(frames)) * m_channels;
        if (taken < wanted)
            ++m_underruns;  // the rest of this buffer is silence; the pace slows down
        // The ring's level on average over about a second.
        m_averageMs += (m_ring.Ms() - m_averageMs) * std::min(1.0, double(frames) / m_rate);
    }
    std::fill(out + taken, out + wanted, int16_t(0));
    m_samplesOut += frames;
    m_silentOut += frames - taken / m_channels;
    d.chunk->offset = 0;
    d.chunk->stride = int32_t(stride);
    d.chunk->size = uint32_t(frames * stride);
    if (auto *h = static_cast<spa_meta_header *>(
            spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        h->pts = pts;
        h->flags = 0;
        h->seq = m_samplesOut;
        h->dts_offset = 0;
    }
    pw_stream_queue_buffer(m_stream, b);
}

void AudioNode::StreamStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
{
    auto *self = static_cast<AudioNode *>(data);
    if (state == PW_STREAM_STATE_ERROR)
        LogLine("%s: stream error: %s", self->m_nodeName.c_str(), error ? error : "unknown");
    self->OnStreamState(state == PW_STREAM_STATE_STREAMING);
}

void AudioNode::ParamChanged(void *data, uint32_t id, const spa_pod *param)
{
    auto *self = static_cast<AudioNode *>(data);
    if (id != SPA_PARAM_Format || !param || !self->m_stream)
        return;
    // A header on every buffer, for its timestamp.
    PodBuffer pods;
    spa_pod_builder b = SPA_POD_BUILDER_INIT(pods.bytes, sizeof pods.bytes);
    const spa_pod *meta = static_cast<const spa_pod *>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                   SPA_POD_Int(int32_t(sizeof(spa_meta_header)))));
    pw_stream_update_params(self->m_stream, &meta, 1);
}

void AudioNode::Process(void *data) { static_cast<AudioNode *>(data)->OnProcess(); }

}  // namespace Capture
