#include "Harness.h"

#include <capture/Wake.h>
#include <options/OptionValues.h>
#include <sim/Simulator.h>
#include <store/Protect.h>
#include <store/Registry.h>

#include <gtest/gtest.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

#include <capture/Service.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace CaptureTest {
namespace {

constexpr const char *kVideoInstances = "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance\\";
constexpr const char *kLegacyInstances = "CLSID\\{083863F1-70DE-11d0-BD40-00A0C911CE86}\\Instance\\";
constexpr const char *kAudioInstances = "CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance\\";

std::string Text(const GUID &id)
{
    char text[GUID_TEXT_LENGTH + 1];
    GuidToText(id, text);
    return text;
}

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One private PipeWire session (and store) per test process.
class SessionEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/tessaline-capture-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        std::string command = std::string(TESSALINE_SOURCE_DIR) + "/scripts/pw-session start " + m_dir + "/run " +
                              std::to_string(getpid());
        FILE *out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[512];
        while (fgets(line, sizeof line, out)) {
            std::string entry(line);
            while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r'))
                entry.pop_back();
            size_t eq = entry.find('=');
            if (eq != std::string::npos)
                setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
        ASSERT_EQ(pclose(out), 0) << "the private PipeWire session did not start";
        setenv("TESSALINE_STORE", (m_dir + "/config/registry.db").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_dir + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_dir + "/data").c_str(), 1);
        StoreClose();
        pw_init(nullptr, nullptr);
    }
    void TearDown() override
    {
        StoreClose();
        std::string command = std::string(TESSALINE_SOURCE_DIR) + "/scripts/pw-session stop " + m_dir + "/run";
        EXPECT_EQ(std::system(command.c_str()), 0);
        std::system(("rm -rf " + m_dir).c_str());
    }

private:
    std::string m_dir;
};

[[maybe_unused]] ::testing::Environment *const g_session =
    ::testing::AddGlobalTestEnvironment(new SessionEnvironment);

}  // namespace

bool WaitUntil(const std::function<bool()> &pred, int timeout_ms)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string NodeName(const GUID &clsid)
{
    std::string text = Text(clsid), name = "tessaline-";
    for (size_t i = 1; i + 1 < text.size(); ++i)
        name += char(std::tolower(static_cast<unsigned char>(text[i])));
    return name;
}

std::string AudioNodeName(const GUID &audioClsid)
{
    return "tessaline-audio-" + NodeName(audioClsid).substr(std::strlen("tessaline-"));
}

std::string AddressOf(uint32_t ip, uint16_t port)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255, port);
    return text;
}

void Register(const Registration &r)
{
    std::string id = Text(r.clsid);
    CStoreTransaction tx;
    ASSERT_TRUE(tx.Active());
    CKey device(CreateKeyPath(HKEY_CLASSES_ROOT, ("CLSID\\" + id).c_str()));
    ASSERT_TRUE(device);
    ASSERT_TRUE(WriteText(device.get(), nullptr, r.name.c_str()));
    ASSERT_TRUE(WriteText(device.get(), "HumanEnteredName", r.name.c_str()));
    CKey server(CreateKeyPath(device.get(), "ServerParameters"));
    ASSERT_TRUE(WriteText(server.get(), "Address", r.address.c_str()));
    ASSERT_TRUE(WriteText(server.get(), "SerialNumber", r.serial.c_str()));
    ASSERT_TRUE(WriteDword(server.get(), "DeviceType", r.type));
    std::vector<uint8_t> sealed = ProtectPassword(r.password);
    if (r.damagedPassword) {
        ASSERT_FALSE(sealed.empty());
        sealed.back() ^= 0x5A;
    }
    ASSERT_TRUE(WriteBinary(server.get(), "Password", sealed.data(), sealed.size()));
    CKey video(CreateKeyPath(device.get(), "VideoParameters"));
    if (r.optionsSet) {
        ASSERT_TRUE(WriteDirectShowOptions(video.get(), r.options));
    }
    CaptureFormatOptions formats;
    formats.preferredFormat = r.preferredFormat;
    formats.captureFlags = r.forceFormat ? CAPTURE_FORCE_FORMAT : 0;
    formats.videoKey = video.get();
    ASSERT_TRUE(WriteCaptureFormats(formats));
    if (r.audio) {
        std::string audioId = Text(r.audioClsid);
        ASSERT_TRUE(WriteText(device.get(), "AudioGUID", audioId.c_str()));
        CKey audio(CreateKeyPath(device.get(), "AudioParameters"));
        ASSERT_TRUE(WriteDword(audio.get(), "Channels", r.audioChannels));
        ASSERT_TRUE(WriteDword(audio.get(), "Frequency", r.audioRate));
        ASSERT_TRUE(WriteDword(audio.get(), "BitsPerSample", r.audioBits));
        CKey instance(CreateKeyPath(HKEY_CLASSES_ROOT, (std::string(kAudioInstances) + audioId).c_str()));
        ASSERT_TRUE(WriteText(instance.get(), "FriendlyName", r.name.c_str()));
        ASSERT_TRUE(WriteText(instance.get(), "CLSID", audioId.c_str()));
    }
    if (r.categoryKey) {
        for (const char *category : {kVideoInstances, kLegacyInstances}) {
            CKey instance(CreateKeyPath(HKEY_CLASSES_ROOT, (std::string(category) + id).c_str()));
            ASSERT_TRUE(WriteText(instance.get(), "FriendlyName", r.name.c_str()));
            ASSERT_TRUE(WriteText(instance.get(), "CLSID", id.c_str()));
        }
    }
    ASSERT_TRUE(tx.Commit());
}

void ClearStore()
{
    ASSERT_TRUE(DeleteKeyTree(HKEY_CLASSES_ROOT, "CLSID"));
}

void Unregister(const GUID &clsid)
{
    std::string id = Text(clsid);
    CStoreTransaction tx;
    ASSERT_TRUE(tx.Active());
    for (const std::string &path :
         {"CLSID\\" + id, std::string(kVideoInstances) + id, std::string(kLegacyInstances) + id}) {
        ASSERT_TRUE(DeleteKeyTree(HKEY_CLASSES_ROOT, path.c_str()));
    }
    ASSERT_TRUE(tx.Commit());
}

void Rename(const GUID &clsid, const std::string &name)
{
    CKey device(OpenKey(HKEY_CLASSES_ROOT, ("CLSID\\" + Text(clsid)).c_str(), KEY_ALL_ACCESS));
    ASSERT_TRUE(device);
    ASSERT_TRUE(WriteText(device.get(), nullptr, name.c_str()));
}

// ---- clients of the session ----

namespace {

// One connection to the session on a thread loop of its own.
struct Client {
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;

    // Leaves the loop locked.
    void Open(const char *name)
    {
        loop = pw_thread_loop_new(name, nullptr);
        context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
        pw_thread_loop_start(loop);
        pw_thread_loop_lock(loop);
        core = pw_context_connect(context, nullptr, 0);
        EXPECT_NE(core, nullptr);
    }
    // Destroys a stream of this client (its listener first), stops the loop and
    // closes the connection.
    void CloseWithStream(pw_stream *stream, spa_hook *listener)
    {
        pw_thread_loop_lock(loop);
        if (stream) {
            spa_hook_remove(listener);
            pw_stream_destroy(stream);
        }
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
        Close();
    }
    // With the loop stopped.
    void Close()
    {
        if (core)
            pw_core_disconnect(core);
        pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }
};

}  // namespace

namespace {

// Asks for a header (timestamp) on the stream's buffers.
void WantHeaders(pw_stream *stream)
{
    uint8_t buffer[256];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod *param = static_cast<const spa_pod *>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                   SPA_POD_Int(int32_t(sizeof(spa_meta_header)))));
    pw_stream_update_params(stream, &param, 1);
}

int64_t HeaderPts(pw_buffer *b)
{
    auto *h = static_cast<spa_meta_header *>(
        spa_buffer_find_meta_data(b->buffer, SPA_META_Header, sizeof(spa_meta_header)));
    return h ? h->pts : -1;
}

}  // namespace

// ---- session view ----

struct SessionView::Impl : Client {
    pw_registry *registry = nullptr;
    spa_hook registryListener{};
    pw_registry_events registryEvents{};
    struct Bound {
        Impl *owner;
        uint32_t id;
        pw_proxy *proxy;
        spa_hook listener;
    };
    pw_node_events nodeEvents{};
    std::mutex mutex;
    std::map<uint32_t, NodeInfo> nodes;
    std::vector<std::unique_ptr<Bound>> bound;

    static void Global(void *data, uint32_t id, uint32_t, const char *type, uint32_t, const spa_dict *)
    {
        auto *self = static_cast<Impl *>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0)
            return;
        auto b = std::make_unique<Bound>();
        b->owner = self;
        b->id = id;
        b->proxy = static_cast<pw_proxy *>(pw_registry_bind(self->registry, id, type, PW_VERSION_NODE, 0));
        if (!b->proxy)
            return;
        spa_zero(b->listener);
        pw_proxy_add_object_listener(b->proxy, &b->listener, &self->nodeEvents, b.get());
        self->bound.push_back(std::move(b));
    }
    static void GlobalRemove(void *data, uint32_t id)
    {
        auto *self = static_cast<Impl *>(data);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->nodes.erase(id);
    }
    static void Info(void *data, const pw_node_info *info)
    {
        auto *b = static_cast<Bound *>(data);
        if (!info->props)
            return;
        std::lock_guard<std::mutex> lock(b->owner->mutex);
        NodeInfo &n = b->owner->nodes[b->id];
        n.id = b->id;
        const spa_dict_item *item;
        spa_dict_for_each(item, info->props) n.props[item->key] = item->value ? item->value : "";
    }
};

SessionView::SessionView() : m_impl(std::make_unique<Impl>())
{
    Impl &s = *m_impl;
    s.Open("test-view");
    if (s.core) {
        s.registry = pw_core_get_registry(s.core, PW_VERSION_REGISTRY, 0);
        s.registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
        s.registryEvents.global = &Impl::Global;
        s.registryEvents.global_remove = &Impl::GlobalRemove;
        s.nodeEvents.version = PW_VERSION_NODE_EVENTS;
        s.nodeEvents.info = &Impl::Info;
        pw_registry_add_listener(s.registry, &s.registryListener, &s.registryEvents, &s);
    }
    pw_thread_loop_unlock(s.loop);
}

SessionView::~SessionView()
{
    Impl &s = *m_impl;
    pw_thread_loop_stop(s.loop);
    for (auto &b : s.bound)
        pw_proxy_destroy(b->proxy);
    if (s.registry)
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(s.registry));
    s.Close();
}

std::map<std::string, NodeInfo> SessionView::Nodes()
{
    std::map<std::string, NodeInfo> out;
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    for (auto &[id, n] : m_impl->nodes) {
        auto it = n.props.find("node.name");
        if (it != n.props.end() && it->second.rfind("tessaline-", 0) == 0 && it->second.rfind("tessaline-test", 0) != 0)
            out[it->second] = n;
    }
    return out;
}

// ---- consumer ----

struct Consumer::Impl : Client {
    pw_stream *stream = nullptr;
    spa_hook listener{};
    pw_stream_events events{};
    std::mutex mutex;
    std::vector<ReceivedFrame> frames;
    size_t count = 0;
    spa_video_info_raw info{};

    static void ParamChanged(void *data, uint32_t id, const spa_pod *param)
    {
        auto *self = static_cast<Impl *>(data);
        if (id != SPA_PARAM_Format || !param)
            return;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            (void)spa_format_video_raw_parse(param, &self->info);
        }
        WantHeaders(self->stream);
    }
    static void Process(void *data)
    {
        auto *self = static_cast<Impl *>(data);
        pw_buffer *b = pw_stream_dequeue_buffer(self->stream);
        if (!b)
            return;
        spa_data &d = b->buffer->datas[0];
        if (d.data && d.chunk->size > 0 && !(d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) {
            ReceivedFrame f;
            const uint8_t *p = static_cast<const uint8_t *>(d.data) + d.chunk->offset;
            f.bytes.assign(p, p + d.chunk->size);
            f.arrival_ns = NowNs();
            f.pts_ns = HeaderPts(b);
            std::lock_guard<std::mutex> lock(self->mutex);
            self->frames.push_back(std::move(f));
            if (self->frames.size() > 8)
                self->frames.erase(self->frames.begin());
            ++self->count;
        }
        pw_stream_queue_buffer(self->stream, b);
    }
};

Consumer::Consumer(const std::string &nodeName, Capture::PixelFormat format) : m_impl(std::make_unique<Impl>())
{
    Impl &c = *m_impl;
    c.Open("test-consumer");
    if (c.core) {
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_TARGET_OBJECT,
                                                 nodeName.c_str(), nullptr);
        c.stream = pw_stream_new(c.core, "tessaline-test-consumer", props);
        c.events.version = PW_VERSION_STREAM_EVENTS;
        c.events.param_changed = &Impl::ParamChanged;
        c.events.process = &Impl::Process;
        pw_stream_add_listener(c.stream, &c.listener, &c.events, &c);
        static const spa_video_format kSpa[] = {SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_UYVY, SPA_VIDEO_FORMAT_YV12,
                                                SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_BGR};
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_rectangle minSize = SPA_RECTANGLE(1, 1), maxSize = SPA_RECTANGLE(8192, 8192),
                      defSize = SPA_RECTANGLE(640, 480);
        spa_fraction minRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(1000, 1), defRate = SPA_FRACTION(30, 1);
        const spa_pod *param = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
            SPA_POD_Id(kSpa[int(format)]), SPA_FORMAT_VIDEO_size,
            SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
            SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
        pw_stream_connect(c.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), &param, 1);
    }
    pw_thread_loop_unlock(c.loop);
}

Consumer::~Consumer() { m_impl->CloseWithStream(m_impl->stream, &m_impl->listener); }

bool Consumer::WaitFrames(size_t count, int timeout_ms)
{
    return WaitUntil([&] { return Count() >= count; }, timeout_ms);
}

std::vector<ReceivedFrame> Consumer::Frames()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->frames;
}

size_t Consumer::Count()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->count;
}

void Consumer::Clear()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->frames.clear();
    m_impl->count = 0;
}

int32_t Consumer::Width()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return int32_t(m_impl->info.size.width);
}

int32_t Consumer::Height()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return int32_t(m_impl->info.size.height);
}

uint32_t Consumer::RateNum()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->info.framerate.num;
}

uint32_t Consumer::RateDen()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->info.framerate.denom;
}

// ---- audio consumer ----

struct AudioConsumer::Impl : Client {
    pw_stream *stream = nullptr;
    spa_hook listener{};
    pw_stream_events events{};
    std::mutex mutex;
    std::vector<int16_t> samples;
    std::vector<Buffer> buffers;
    spa_audio_info_raw info{};

    static void ParamChanged(void *data, uint32_t id, const spa_pod *param)
    {
        auto *self = static_cast<Impl *>(data);
        if (id != SPA_PARAM_Format || !param)
            return;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            (void)spa_format_audio_raw_parse(param, &self->info);
        }
        WantHeaders(self->stream);
    }
    static void Process(void *data)
    {
        auto *self = static_cast<Impl *>(data);
        // Every buffer waiting: a consumer that fell behind takes them all.
        while (pw_buffer *b = pw_stream_dequeue_buffer(self->stream))
            self->Take(b);
    }
    void Take(pw_buffer *b)
    {
        spa_data &d = b->buffer->datas[0];
        std::lock_guard<std::mutex> lock(mutex);
        const uint32_t channels = std::max<uint32_t>(info.channels, 1);
        if (d.data && d.chunk->size > 0) {
            const auto *p = reinterpret_cast<const int16_t *>(static_cast<const uint8_t *>(d.data) + d.chunk->offset);
            const size_t count = d.chunk->size / 2;
            Buffer buffer;
            buffer.first = samples.size() / channels;
            buffer.frames = count / channels;
            buffer.arrival_ns = NowNs();
            buffer.pts_ns = HeaderPts(b);
            samples.insert(samples.end(), p, p + count);
            buffers.push_back(buffer);
        }
        pw_stream_queue_buffer(stream, b);
    }
};

AudioConsumer::AudioConsumer(const std::string &nodeName, uint32_t rate, uint32_t channels)
    : m_impl(std::make_unique<Impl>())
{
    Impl &c = *m_impl;
    c.Open("test-audio-consumer");
    if (c.core) {
        char latency[32], nodeRate[32];
        std::snprintf(latency, sizeof latency, "%u/%u", rate / 50, rate);
        std::snprintf(nodeRate, sizeof nodeRate, "1/%u", rate);
        pw_properties *props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                 PW_KEY_TARGET_OBJECT, nodeName.c_str(), PW_KEY_NODE_LATENCY,
                                                 latency, PW_KEY_NODE_RATE, nodeRate, nullptr);
        c.stream = pw_stream_new(c.core, "tessaline-test-audio-consumer", props);
        c.events.version = PW_VERSION_STREAM_EVENTS;
        c.events.param_changed = &Impl::ParamChanged;
        c.events.process = &Impl::Process;
        pw_stream_add_listener(c.stream, &c.listener, &c.events, &c);
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_S16_LE;
        info.rate = rate;
        info.channels = channels;
        info.position[0] = channels == 1 ? SPA_AUDIO_CHANNEL_MONO : SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
        uint8_t buffer[1024];
        spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod *param = spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info);
        // Buffers are taken on PipeWire's data thread, as soon as they come.
        pw_stream_connect(c.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                          PW_STREAM_FLAG_RT_PROCESS),
                          &param, 1);
    }
    pw_thread_loop_unlock(c.loop);
}

AudioConsumer::~AudioConsumer() { m_impl->CloseWithStream(m_impl->stream, &m_impl->listener); }

std::vector<int16_t> AudioConsumer::Samples()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->samples;
}

std::vector<AudioConsumer::Buffer> AudioConsumer::Buffers()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->buffers;
}

size_t AudioConsumer::Frames()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->samples.size() / std::max<uint32_t>(m_impl->info.channels, 1);
}

bool AudioConsumer::WaitFrames(size_t frames, int timeout_ms)
{
    return WaitUntil([&] { return Frames() >= frames; }, timeout_ms);
}

void AudioConsumer::Clear()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->samples.clear();
    m_impl->buffers.clear();
}

uint32_t AudioConsumer::Rate()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->info.rate;
}

uint32_t AudioConsumer::Channels()
{
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->info.channels;
}

// ---- pictures ----

std::vector<uint8_t> StillPicture(const std::string &serial, int width, int height)
{
    Sim::DeviceConfig cfg;
    cfg.serial = serial;
    cfg.animate = false;
    std::vector<uint8_t> bgr(size_t(width) * height * 3);
    Sim::RenderPattern(cfg, 0, width, height, bgr.data());
    return bgr;
}

std::vector<uint8_t> Expected(const std::vector<uint8_t> &bgr, int width, int height, const Capture::OutputShape &out,
                              const Capture::PipelineOptions &options)
{
    Capture::FramePipeline pipeline;
    std::vector<uint8_t> result(Capture::FrameBytes(out));
    Capture::SourceFrame src;
    src.data = bgr.data();
    src.size = bgr.size();
    src.format = 0x0800;
    src.width = width;
    src.height = height;
    if (!pipeline.Configure(out, options) || !pipeline.Process(src, result.data(), result.size()))
        result.clear();
    return result;
}

int MaxDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    if (a.size() != b.size() || a.empty())
        return 256;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i)
        worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

// ---- log ----

LogCapture::LogCapture()
    : m_mutex(std::make_shared<std::mutex>()), m_lines(std::make_shared<std::vector<std::string>>())
{
    auto mutex = m_mutex;
    auto lines = m_lines;
    Capture::SetLogSink([mutex, lines](const std::string &line) {
        std::lock_guard<std::mutex> lock(*mutex);
        lines->push_back(line);
    });
}

LogCapture::~LogCapture() { Capture::SetLogSink(nullptr); }

std::vector<std::string> LogCapture::Lines()
{
    std::lock_guard<std::mutex> lock(*m_mutex);
    return *m_lines;
}

size_t LogCapture::CountContaining(const std::string &text)
{
    size_t n = 0;
    for (const std::string &line : Lines())
        n += line.find(text) != std::string::npos;
    return n;
}

}  // namespace CaptureTest
