// One published camera node.
#include "VideoNode.h"

#include "Log.h"
#include "PipeWire.h"

#include <ambry/Thread.h>
#include <options/CaptureOptions.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace Capture {
namespace {

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool IsYuv(PixelFormat format) { return format != PixelFormat::BGR; }

LinkSettings LinkSettingsFor(const DeviceConfig &config, const ServiceOptions &options)
{
    LinkSettings link;
    link.label = config.displayName + " (" + config.address + ")";
    link.address = config.address;
    link.password = config.password;
    link.passwordUnreadable = config.passwordUnreadable;
    link.linger_ms = options.linger_ms;
    link.retry_ms = options.retry_ms;
    return link;
}

constexpr int64_t kLiveStale_ns = 1000000000;  // no live picture for this long: no-signal picture

}  // namespace

// Memory of one buffer: a memfd mapped here, shared with the consumers.
struct VideoNode::Mapping {
    uint64_t holds = 0;  // the no-signal picture's version it holds, 0 for anything else
    int fd = -1;
    uint8_t *data = nullptr;
    size_t size = 0;
    ~Mapping()
    {
        if (data)
            munmap(data, size);
        if (fd >= 0)
            close(fd);
    }
};

struct VideoNode::Hook {
    spa_hook listener{};
    pw_stream_events events{};
};

VideoNode::VideoNode(pw_thread_loop *loop, pw_core *core, const DeviceConfig &config, const ServiceOptions &options)
    : m_loop(loop), m_hook(std::make_unique<Hook>()), m_serviceOptions(options), m_nodeName(config.nodeName),
      m_config(config)
{
    m_target = TargetFor(m_mode);
    ApplyOptions(true);
    pw_properties *props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
        PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, config.nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
        config.displayName.c_str(), PW_KEY_NODE_NICK, config.displayName.c_str(), PW_KEY_DEVICE_SERIAL,
        config.serialNumber.c_str(), "tessaline.address", config.address.c_str(), "tessaline.serial",
        config.serialNumber.c_str(), "tessaline.clsid", config.clsidText.c_str(), nullptr);
    m_stream = pw_stream_new(core, config.nodeName.c_str(), props);
    if (!m_stream)
        return;
    m_hook->events.version = PW_VERSION_STREAM_EVENTS;
    m_hook->events.state_changed = &VideoNode::StreamStateChanged;
    m_hook->events.param_changed = &VideoNode::ParamChanged;
    m_hook->events.add_buffer = &VideoNode::AddBufferEvent;
    m_hook->events.remove_buffer = &VideoNode::RemoveBufferEvent;
    m_hook->events.process = &VideoNode::Process;
    pw_stream_add_listener(m_stream, &m_hook->listener, &m_hook->events, this);

    PodBuffer pods;
    std::vector<const spa_pod *> params = BuildFormatParams(pods, OfferedFormats(config), m_target.width,
                                                            m_target.height, m_target.rate_num, m_target.rate_den);
    int r = pw_stream_connect(m_stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                              pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS),
                              params.data(), uint32_t(params.size()));
    if (r < 0) {
        LogLine("%s: cannot publish the node %s (%s)", config.displayName.c_str(), config.nodeName.c_str(),
                strerror(-r));
        spa_hook_remove(&m_hook->listener);
        pw_stream_destroy(m_stream);
        m_stream = nullptr;
        return;
    }
    m_pacer = Ambry::StartThread("TSLCapturePace", [this] { Pace(); });
    m_link = std::make_unique<DeviceLink>(this, LinkSettingsFor(config, options));
    if (options.probe_modes)
        m_link->Probe();
}

VideoNode::~VideoNode()
{
    // No stream or timer event from here on, then no link call, then no stream.
    pw_thread_loop_lock(m_loop);
    if (m_stream)
        spa_hook_remove(&m_hook->listener);
    pw_thread_loop_unlock(m_loop);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pacerStop = true;
    }
    m_pacerWake.notify_all();
    if (m_pacer.joinable())
        m_pacer.join();
    m_link.reset();
    pw_thread_loop_lock(m_loop);
    if (m_stream)
        pw_stream_destroy(m_stream);
    m_stream = nullptr;
    m_buffers.clear();
    pw_thread_loop_unlock(m_loop);
}

VideoNode::Target VideoNode::TargetFor(const Grabber::VideoMode &mode)
{
    Target t = m_target;
    const DirectShowOptions &o = m_config.options;
    if ((o.flags & OPT_FIXED_RESOLUTION) && o.fixedWidth >= 2 && o.fixedHeight >= 2 && o.fixedWidth <= kMaxSide &&
        o.fixedHeight <= kMaxSide) {
        t.width = o.fixedWidth & ~1;
        t.height = o.fixedHeight & ~1;
    } else if (mode.width >= 2 && mode.height >= 2 && mode.width <= kMaxSide && mode.height <= kMaxSide) {
        t.width = mode.width & ~1;
        t.height = mode.height & ~1;
    }
    double rate = mode.refresh_mhz > 0 ? mode.refresh_mhz / 1000.0 : 0.0;
    if (rate <= 0.0)
        rate = double(t.rate_num) / t.rate_den;
    double wanted = o.maxFps >= MIN_FRAME_RATE && o.maxFps <= MAX_FRAME_RATE ? double(o.maxFps) : DEFAULT_FRAME_RATE;
    if (o.flags & OPT_FIX_FPS)
        rate = wanted;
    else if ((o.flags & OPT_LIMIT_FPS) && wanted < rate)
        rate = wanted;
    rate = std::clamp(rate, 0.01, 240.0);
    uint32_t num = uint32_t(std::lround(rate * 1000.0));
    uint32_t den = 1000;
    uint32_t g = std::gcd(num, den);
    t.rate_num = num / g;
    t.rate_den = den / g;
    return t;
}

void VideoNode::ApplyOptions(bool reloadImage)
{
    std::lock_guard<std::mutex> pl(m_pipelineMutex);
    if (reloadImage) {
        std::string path;
        if (m_config.options.flags & OPT_NO_SIGNAL_IMAGE)
            path = NoSignalPathUtf8(m_config.options);
        if (path.empty()) {
            m_pipeline.ClearNoSignalBitmap();
        } else if (!m_pipeline.LoadNoSignalBitmap(path)) {
            if (path != m_unusableImage)
                LogLine("%s: the no-signal image \"%s\" is not a usable bitmap; sending black instead",
                        m_config.displayName.c_str(), path.c_str());
            m_unusableImage = path;
        } else {
            m_unusableImage.clear();
        }
    }
    PipelineOptions po;
    po.scale_mode = (m_config.options.scaleMode >= 0 && uint32_t(m_config.options.scaleMode) <= kScaleLast)
                        ? uint32_t(m_config.options.scaleMode)
                        : 3;
    po.flip = (m_config.options.flags & OPT_FLIP_VERTICAL) != 0;
    if (m_negotiated && m_pipeline.Configure(m_output, po)) {
        m_noSignal.assign(m_layout.bytes, 0);
        m_pipeline.RenderNoSignal(m_noSignal.data(), m_noSignal.size());
        ++m_noSignalVersion;
    } else if (!m_negotiated) {
        OutputShape want{PixelFormat::BGR, m_target.width, m_target.height};
        (void)m_pipeline.Configure(want, po);
    }
}

void VideoNode::OfferFormats()
{
    PodBuffer pods;
    std::vector<PixelFormat> formats;
    Target target;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        formats = OfferedFormats(m_config);
        target = m_target;
    }
    std::vector<const spa_pod *> params =
        BuildFormatParams(pods, formats, target.width, target.height, target.rate_num, target.rate_den);
    pw_stream_update_params(m_stream, params.data(), uint32_t(params.size()));
}

void VideoNode::Update(const DeviceConfig &config)
{
    bool props, video, connection;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        props = config.displayName != m_config.displayName || config.serialNumber != m_config.serialNumber ||
                config.address != m_config.address;
        video = !SameVideoSettings(config, m_config);
        connection = !SameConnection(config, m_config);
        m_config = config;
        if (video) {
            m_target = TargetFor(m_mode);
            ApplyOptions(true);
        }
    }
    pw_thread_loop_lock(m_loop);
    if (props && m_stream)
        UpdateDeviceProperties(m_stream, config.displayName, config.serialNumber, config.address);
    if (video && m_stream)
        OfferFormats();
    pw_thread_loop_unlock(m_loop);
    if (connection) {
        m_link->Reconfigure(LinkSettingsFor(config, m_serviceOptions));
        if (m_serviceOptions.probe_modes)
            m_link->Probe();
    }
}

NodeStatus VideoNode::Status()
{
    NodeStatus s;
    std::lock_guard<std::mutex> lock(m_mutex);
    s.nodeName = m_config.nodeName;
    s.displayName = m_config.displayName;
    s.state = LinkStateName(m_state);
    s.streaming = m_streaming;
    s.width = m_target.width;
    s.height = m_target.height;
    for (PixelFormat f : OfferedFormats(m_config))
        s.formats += std::string(s.formats.empty() ? "" : " ") + FormatName(f);
    s.framesReceived = m_framesReceived.load();
    s.framesQueued = m_framesQueued.load();
    s.liveQueued = m_liveQueued.load();
    s.framesDropped = m_framesDropped.load();
    return s;
}

void VideoNode::OnLinkState(LinkState state, const Grabber::VideoMode &mode)
{
    bool reoffer = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_state = state;
        if (mode.width > 0) {
            m_mode = mode;
            Target t = TargetFor(mode);
            if (!(t == m_target)) {
                m_target = t;
                reoffer = true;
            }
        }
    }
    if (state != LinkState::Live) {
        std::lock_guard<std::mutex> pl(m_pipelineMutex);
        m_pipeline.ResetDecoder();
    }
    if (reoffer) {
        pw_thread_loop_lock(m_loop);
        if (m_stream)
            OfferFormats();
        pw_thread_loop_unlock(m_loop);
    }
}

template <typename Fill> bool VideoNode::Push(Fill &&fill)
{
    pw_thread_loop_lock(m_loop);
    pw_buffer *b = m_stream ? pw_stream_dequeue_buffer(m_stream) : nullptr;
    std::shared_ptr<Mapping> map;
    uint64_t generation;
    FrameLayout layout;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        generation = m_generation;
        layout = m_layout;
        if (!m_streaming || !m_negotiated) {
            if (b)
                pw_stream_queue_buffer(m_stream, b);  // nothing to send: hand it back empty
            pw_thread_loop_unlock(m_loop);
            return false;
        }
    }
    if (!b) {
        ++m_framesDropped;
        pw_thread_loop_unlock(m_loop);
        return false;
    }
    auto it = m_buffers.find(b);
    if (it != m_buffers.end())
        map = it->second;
    pw_thread_loop_unlock(m_loop);

    bool filled = map && map->size >= layout.bytes && fill(map->data, layout.bytes, &map->holds);

    pw_thread_loop_lock(m_loop);
    bool current;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        current = generation == m_generation && m_buffers.count(b) != 0;
    }
    if (current) {
        spa_data &d = b->buffer->datas[0];
        d.chunk->offset = 0;
        d.chunk->size = filled ? uint32_t(layout.bytes) : 0;
        d.chunk->stride = layout.stride[0];
        d.chunk->flags = filled ? 0 : SPA_CHUNK_FLAG_CORRUPTED;
        if (auto *h = static_cast<spa_meta_header *>(
                spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
            h->pts = NowNs();
            h->flags = 0;
            h->seq = m_sequence++;
            h->dts_offset = 0;
        }
        pw_stream_queue_buffer(m_stream, b);
        if (pw_stream_is_driving(m_stream))
            pw_stream_trigger_process(m_stream);
        if (filled)
            ++m_framesQueued;
    }
    pw_thread_loop_unlock(m_loop);
    return filled && current;
}

void VideoNode::OnLinkFrame(const Grabber::FrameRecord &frame)
{
    int64_t now = NowNs();
    bool fix;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_streaming || !m_negotiated)
            return;
        ++m_framesReceived;
        fix = (m_config.options.flags & OPT_FIX_FPS) != 0;
        if (!fix && (m_config.options.flags & OPT_LIMIT_FPS)) {
            int64_t period = int64_t(1e9 * m_target.rate_den / m_target.rate_num);
            if (now + period / 4 < m_nextDue_ns) {
                ++m_framesSkipped;
                return;  // above the limit
            }
            m_nextDue_ns = (now - m_nextDue_ns > period) ? now + period : m_nextDue_ns + period;
        }
    }
    SourceFrame src;
    src.data = frame.data;
    src.size = frame.image_bytes;
    src.format = frame.format;
    src.width = int32_t(frame.rect.width);
    src.height = int32_t(frame.rect.height);
    if (fix) {
        // Converted now, sent by the timer at the steady rate.
        std::vector<uint8_t> out;
        bool ok;
        {
            std::lock_guard<std::mutex> pl(m_pipelineMutex);
            out.swap(m_scratch);
            out.resize(FrameBytes(m_pipeline.Output()));
            ok = m_pipeline.Process(src, out.data(), out.size());
        }
        if (ok) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_staged.size() == out.size()) {
                m_staged.swap(out);
                m_stagedLive = true;
                m_lastLive_ns = now;
            }
        }
        std::lock_guard<std::mutex> pl(m_pipelineMutex);
        m_scratch.swap(out);
        return;
    }
    bool live = false;
    bool queued = Push([&](uint8_t *dst, size_t size, uint64_t *holds) {
        *holds = 0;
        std::lock_guard<std::mutex> pl(m_pipelineMutex);
        if (FrameBytes(m_pipeline.Output()) != size)
            return false;
        live = m_pipeline.Process(src, dst, size);
        if (!live)
            m_pipeline.RenderNoSignal(dst, size);
        return true;
    });
    if (queued && live) {
        ++m_liveQueued;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastLive_ns = now;
    }
}

void VideoNode::Tick()
{
    int64_t now = NowNs();
    enum { Nothing, NoSignal, Staged } what = Nothing;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_streaming || !m_negotiated)
            return;
        bool fix = (m_config.options.flags & OPT_FIX_FPS) != 0;
        bool graceOver = now - m_streamingSince_ns > int64_t(m_serviceOptions.connecting_grace_ms) * 1000000;
        bool waiting = m_state == LinkState::Connecting || m_state == LinkState::Idle;
        bool stale = m_lastLive_ns == 0 ? graceOver : now - m_lastLive_ns > kLiveStale_ns;
        if (m_state == LinkState::Live && !stale)
            what = fix && m_stagedLive ? Staged : Nothing;
        else if (!waiting || graceOver)
            what = NoSignal;
        if (what == NoSignal)
            m_stagedLive = false;
    }
    if (what == Nothing)
        return;
    Push([&](uint8_t *dst, size_t size, uint64_t *holds) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::vector<uint8_t> &from = what == Staged ? m_staged : m_noSignal;
        if (from.size() != size)
            return false;
        // A buffer that already holds this no-signal picture is sent as it is.
        if (what == Staged || *holds != m_noSignalVersion)
            std::memcpy(dst, from.data(), size);
        *holds = what == Staged ? 0 : m_noSignalVersion;
        return true;
    });
    if (what == Staged)
        ++m_liveQueued;
}

void VideoNode::Pace()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    Clock::time_point next = Clock::now();
    while (!m_pacerStop) {
        if (!m_streaming || !m_negotiated) {
            m_pacerWake.wait(lock);
            next = Clock::now();
            continue;
        }
        auto period = std::chrono::nanoseconds(int64_t(1e9 * m_target.rate_den / m_target.rate_num));
        next += period;
        if (next < Clock::now() - period)
            next = Clock::now() + period;  // fell behind: no burst to catch up
        m_pacerWake.wait_until(lock, next, [this] { return m_pacerStop; });
        if (m_pacerStop)
            break;
        lock.unlock();
        Tick();
        lock.lock();
    }
}

void VideoNode::OnStreamState(int state)
{
    bool streaming = state == PW_STREAM_STATE_STREAMING;
    bool yuv;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (streaming == m_streaming)
            return;
        m_streaming = streaming;
        m_streamingSince_ns = NowNs();
        m_lastLive_ns = 0;
        m_nextDue_ns = 0;
        m_stagedLive = false;
        yuv = m_negotiated && IsYuv(m_output.format);
    }
    m_pacerWake.notify_all();
    m_link->SetWanted(streaming, yuv);
}

void VideoNode::OnFormat(const spa_pod *param)
{
    spa_video_info_raw info{};
    PixelFormat format;
    if (!param || spa_format_video_raw_parse(param, &info) < 0 || !FromSpaFormat(info.format, &format)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_negotiated = false;
        ++m_generation;
        return;
    }
    OutputShape want{format, int32_t(info.size.width), int32_t(info.size.height)};
    FrameLayout layout;
    if (!LayoutOf(want, &layout)) {
        pw_stream_set_error(m_stream, -EINVAL, "unsupported size");
        return;
    }
    bool yuv, streaming;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_output = want;
        m_layout = layout;
        m_negotiated = true;
        ++m_generation;
        m_staged.assign(layout.bytes, 0);
        m_stagedLive = false;
        ApplyOptions(false);
        yuv = IsYuv(format);
        streaming = m_streaming;
    }
    m_pacerWake.notify_all();
    if (streaming)
        m_link->SetWanted(true, yuv);
    PodBuffer pods;
    std::vector<const spa_pod *> params = BuildBufferParams(pods, layout.bytes, layout.stride[0]);
    pw_stream_update_params(m_stream, params.data(), uint32_t(params.size()));
}

void VideoNode::AddBuffer(pw_buffer *buffer)
{
    spa_data &d = buffer->buffer->datas[0];
    size_t size;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        size = m_layout.bytes;
    }
    if (!(d.type & (1u << SPA_DATA_MemFd)) || size == 0)
        return;
    auto map = std::make_shared<Mapping>();
    map->fd = memfd_create("tessaline-frame", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (map->fd < 0 || ftruncate(map->fd, off_t(size)) != 0) {
        LogLine("cannot allocate a frame buffer of %zu bytes: %s", size, strerror(errno));
        return;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, map->fd, 0);
    if (p == MAP_FAILED) {
        LogLine("cannot map a frame buffer of %zu bytes: %s", size, strerror(errno));
        return;
    }
    map->data = static_cast<uint8_t *>(p);
    map->size = size;
    (void)fcntl(map->fd, F_ADD_SEALS, F_SEAL_SHRINK);
    d.type = SPA_DATA_MemFd;
    d.flags = SPA_DATA_FLAG_READWRITE;
    d.fd = map->fd;
    d.mapoffset = 0;
    d.maxsize = uint32_t(size);
    d.data = map->data;
    m_buffers[buffer] = std::move(map);
}

void VideoNode::RemoveBuffer(pw_buffer *buffer)
{
    m_buffers.erase(buffer);  // a writer still holding the mapping keeps it until done
    spa_data &d = buffer->buffer->datas[0];
    d.data = nullptr;
    d.fd = -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_generation;
}

void VideoNode::StreamStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
{
    auto *self = static_cast<VideoNode *>(data);
    if (state == PW_STREAM_STATE_ERROR)
        LogLine("%s: stream error: %s", self->m_nodeName.c_str(), error ? error : "unknown");
    self->OnStreamState(state);
}

void VideoNode::ParamChanged(void *data, uint32_t id, const spa_pod *param)
{
    if (id == SPA_PARAM_Format)
        static_cast<VideoNode *>(data)->OnFormat(param);
}

void VideoNode::AddBufferEvent(void *data, pw_buffer *buffer) { static_cast<VideoNode *>(data)->AddBuffer(buffer); }

void VideoNode::RemoveBufferEvent(void *data, pw_buffer *buffer)
{
    static_cast<VideoNode *>(data)->RemoveBuffer(buffer);
}

void VideoNode::Process(void *) {}  // frames are queued as they arrive


}  // namespace Capture
