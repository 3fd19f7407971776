// The capture service: PipeWire connection, the published nodes, store following.
#include "capture/Service.h"

#include "AudioNode.h"
#include "Log.h"
#include "PipeWire.h"
#include "VideoNode.h"
#include "capture/DeviceConfig.h"
#include "capture/Wake.h"

#include <ambry/Thread.h>
#include <grabber/Grabber.h>
#include <store/Registry.h>

#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <thread>

namespace Capture {

namespace {

constexpr int64_t kRetryUnreadableMs = 1000;

std::mutex g_logMutex;
std::function<void(const std::string &)> g_logSink;

// A file descriptor owner.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void MakeFolders(const std::string &folder)
{
    for (size_t i = 1; i <= folder.size(); ++i) {
        if (i == folder.size() || folder[i] == '/')
            (void)mkdir(folder.substr(0, i).c_str(), 0700);
    }
}

}  // namespace

void LogLine(const char *format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_logSink)
        g_logSink(text);
    else
        std::fprintf(stderr, "tessaline-capture: %s\n", text);
}

void SetLogSink(std::function<void(const std::string &line)> sink)
{
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_logSink = std::move(sink);
}

struct Service::Impl {
    ServiceOptions options;
    Fd lock;        // instance lock
    Fd wake;        // "look again" datagrams
    Fd notify;      // inotify on the store's folder
    Fd events;      // eventfd: rescan or stop asked by this process
    std::string storeName;

    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    spa_hook coreListener{};
    pw_core_events coreEvents{};

    std::mutex mutex;  // guards the fields below
    std::condition_variable changed;
    bool stop = false;
    bool failed = false;
    bool rescan = false;
    std::map<std::string, std::unique_ptr<VideoNode>> nodes;  // by class identifier text
    // By class identifier text; each goes before the camera node whose link it uses.
    std::map<std::string, std::unique_ptr<AudioNode>> audioNodes;

    std::thread watcher;
    bool grabberStarted = false;
    bool storeUnreadable = false;  // told once per spell

    ~Impl();
    bool Open(std::string *error);
    void Watch();
    bool Reconcile();  // false when the store could not be read (try again later)
    void Poke();
    static void CoreError(void *data, uint32_t id, int seq, int res, const char *message);
};

Service::Impl::~Impl()
{
    {
        std::lock_guard<std::mutex> l(mutex);
        stop = true;
    }
    Poke();
    if (watcher.joinable())
        watcher.join();
    audioNodes.clear();
    nodes.clear();  // each node closes its connection, then its stream
    if (loop)
        pw_thread_loop_stop(loop);
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
    }
    if (context)
        pw_context_destroy(context);
    if (loop)
        pw_thread_loop_destroy(loop);
    if (grabberStarted)
        Grabber::Shutdown();
}

void Service::Impl::Poke()
{
    if (events.fd >= 0) {
        uint64_t one = 1;
        (void)!write(events.fd, &one, sizeof one);
    }
}

void Service::Impl::CoreError(void *data, uint32_t id, int, int res, const char *message)
{
    auto *self = static_cast<Impl *>(data);
    if (id != PW_ID_CORE)
        return;
    LogLine("PipeWire: %s (%s)", message ? message : "error", strerror(-res));
    if (res == -EPIPE) {
        std::lock_guard<std::mutex> l(self->mutex);
        self->failed = true;
        self->changed.notify_all();
    }
}

bool Service::Impl::Open(std::string *error)
{
    if (!MakeRuntimeFolder()) {
        *error = "cannot make the run-time folder " + RuntimeFolder();
        return false;
    }
    lock.fd = open(InstanceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock.fd < 0 || flock(lock.fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? "already running for this user" : "cannot lock " + InstanceLockPath();
        return false;
    }
    std::string wakePath = WakeSocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (wakePath.size() >= sizeof addr.sun_path) {
        *error = "the run-time folder's path is too long";
        return false;
    }
    std::memcpy(addr.sun_path, wakePath.c_str(), wakePath.size() + 1);
    (void)unlink(wakePath.c_str());  // left by an instance that ended; we hold the lock
    wake.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (wake.fd < 0 || bind(wake.fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        *error = "cannot listen on " + wakePath;
        return false;
    }
    events.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::string store = StorePath();
    storeName = BaseName(store);
    MakeFolders(FolderOf(store));
    notify.fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (events.fd < 0 || notify.fd < 0 ||
        inotify_add_watch(notify.fd, FolderOf(store).c_str(),
                          IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO | IN_DELETE) < 0) {
        *error = "cannot watch the settings store's folder " + FolderOf(store);
        return false;
    }

    Grabber::Startup();
    grabberStarted = true;
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("tsl-pipewire", nullptr);
    if (!loop) {
        *error = "cannot start PipeWire's thread loop";
        return false;
    }
    context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    if (!context) {
        *error = "cannot make a PipeWire context";
        return false;
    }
    if (pw_thread_loop_start(loop) < 0) {
        *error = "cannot start PipeWire's thread loop";
        return false;
    }
    pw_thread_loop_lock(loop);
    core = pw_context_connect(context, nullptr, 0);
    if (core) {
        coreEvents.version = PW_VERSION_CORE_EVENTS;
        coreEvents.error = &Impl::CoreError;
        pw_core_add_listener(core, &coreListener, &coreEvents, this);
    }
    pw_thread_loop_unlock(loop);
    if (!core) {
        *error = std::string("cannot connect to PipeWire: ") + strerror(errno);
        return false;
    }
    bool readable = Reconcile();
    if (!readable)
        rescan = true;  // the watcher tries again
    watcher = Ambry::StartThread("TSLCaptureWatch", [this] { Watch(); });
    return true;
}

bool Service::Impl::Reconcile()
{
    std::vector<DeviceConfig> devices;
    if (!ReadPublishedDevices(&devices)) {
        if (!storeUnreadable)
            LogLine("cannot read the settings store %s (error %ld); keeping what is published and trying again",
                    StorePath().c_str(), StoreLastError());
        storeUnreadable = true;
        return false;
    }
    storeUnreadable = false;
    std::map<std::string, std::unique_ptr<VideoNode>> gone;
    std::map<std::string, std::unique_ptr<AudioNode>> goneAudio;
    {
        std::lock_guard<std::mutex> l(mutex);
        auto listedWithAudio = [&](const std::string &id, bool audio) {
            for (const DeviceConfig &d : devices)
                if (d.clsidText == id)
                    return !audio || !d.audioText.empty();
            return false;
        };
        for (auto it = audioNodes.begin(); it != audioNodes.end();) {
            if (listedWithAudio(it->first, true)) {
                ++it;
            } else {
                goneAudio.insert(std::move(*it));
                it = audioNodes.erase(it);
            }
        }
        for (auto it = nodes.begin(); it != nodes.end();) {
            if (listedWithAudio(it->first, false)) {
                ++it;
            } else {
                gone.insert(std::move(*it));
                it = nodes.erase(it);
            }
        }
    }
    goneAudio.clear();  // outside the lock, and before the camera nodes whose links they use
    gone.clear();       // each waits for its device link to close
    for (const DeviceConfig &d : devices) {
        VideoNode *existing = nullptr;
        AudioNode *existingAudio = nullptr;
        {
            std::lock_guard<std::mutex> l(mutex);
            auto it = nodes.find(d.clsidText);
            if (it != nodes.end())
                existing = it->second.get();
            auto at = audioNodes.find(d.clsidText);
            if (at != audioNodes.end())
                existingAudio = at->second.get();
        }
        if (existing) {
            existing->Update(d);
        } else {
            pw_thread_loop_lock(loop);
            auto node = std::make_unique<VideoNode>(loop, core, d, options);
            pw_thread_loop_unlock(loop);
            if (!node->Ok())
                continue;
            existing = node.get();
            std::lock_guard<std::mutex> l(mutex);
            nodes[d.clsidText] = std::move(node);
        }
        if (d.audioText.empty())
            continue;
        if (existingAudio && existingAudio->Name() != AudioNodeName(d.audioText)) {
            // Another audio class identifier: another node.
            std::unique_ptr<AudioNode> old;
            {
                std::lock_guard<std::mutex> l(mutex);
                old = std::move(audioNodes[d.clsidText]);
                audioNodes.erase(d.clsidText);
            }
            old.reset();
            existingAudio = nullptr;
        }
        if (existingAudio) {
            existingAudio->Update(d);
            continue;
        }
        pw_thread_loop_lock(loop);
        auto audio = std::make_unique<AudioNode>(loop, core, d, existing->Link());
        pw_thread_loop_unlock(loop);
        if (!audio->Ok())
            continue;
        std::lock_guard<std::mutex> l(mutex);
        audioNodes[d.clsidText] = std::move(audio);
    }
    return true;
}

void Service::Impl::Watch()
{
    int64_t dueMs = -1;  // when the pending rescan runs (monotonic ms), -1 none
    auto nowMs = [] {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    for (;;) {
        {
            std::lock_guard<std::mutex> l(mutex);
            if (stop)
                return;
            if (rescan) {
                rescan = false;
                if (dueMs < 0)
                    dueMs = nowMs();
            }
        }
        int timeout = -1;
        if (dueMs >= 0)
            timeout = int(std::max<int64_t>(0, dueMs - nowMs()));
        pollfd fds[3] = {{wake.fd, POLLIN, 0}, {notify.fd, POLLIN, 0}, {events.fd, POLLIN, 0}};
        int n = poll(fds, 3, timeout);
        if (n < 0 && errno != EINTR) {
            LogLine("cannot wait for store changes: %s", strerror(errno));
            return;
        }
        bool changedNow = false;
        if (fds[0].revents & POLLIN) {
            char buffer[64];
            while (recv(wake.fd, buffer, sizeof buffer, 0) >= 0)
                changedNow = true;
        }
        if (fds[1].revents & POLLIN) {
            alignas(inotify_event) char buffer[4096];
            ssize_t got;
            while ((got = read(notify.fd, buffer, sizeof buffer)) > 0) {
                for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
                    auto *e = reinterpret_cast<inotify_event *>(buffer + at);
                    if (e->len > 0) {
                        std::string name(e->name);
                        if (name == storeName || name == storeName + "-wal")
                            changedNow = true;
                    }
                    at += ssize_t(sizeof(inotify_event) + e->len);
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            uint64_t count;
            (void)!read(events.fd, &count, sizeof count);
        }
        if (changedNow && dueMs < 0)
            dueMs = nowMs() + options.rescan_delay_ms;
        if (dueMs >= 0 && nowMs() >= dueMs) {
            dueMs = Reconcile() ? -1 : nowMs() + kRetryUnreadableMs;
        }
    }
}

Service::Service(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Service::~Service() = default;

std::unique_ptr<Service> Service::Start(const ServiceOptions &options, std::string *error)
{
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    std::string why;
    if (!impl->Open(&why)) {
        if (error)
            *error = why;
        return nullptr;
    }
    return std::unique_ptr<Service>(new Service(std::move(impl)));
}

void Service::Rescan()
{
    {
        std::lock_guard<std::mutex> l(m_impl->mutex);
        m_impl->rescan = true;
    }
    m_impl->Poke();
}

bool Service::Wait()
{
    std::unique_lock<std::mutex> l(m_impl->mutex);
    m_impl->changed.wait(l, [this] { return m_impl->stop || m_impl->failed; });
    return !m_impl->failed;
}

void Service::Stop()
{
    {
        std::lock_guard<std::mutex> l(m_impl->mutex);
        m_impl->stop = true;
        m_impl->changed.notify_all();
    }
    m_impl->Poke();
}

std::vector<AudioStatus> Service::AudioNodes()
{
    std::vector<AudioStatus> out;
    std::lock_guard<std::mutex> l(m_impl->mutex);
    for (auto &entry : m_impl->audioNodes)
        out.push_back(entry.second->Status());
    return out;
}

std::vector<NodeStatus> Service::Nodes()
{
    std::vector<NodeStatus> out;
    std::lock_guard<std::mutex> l(m_impl->mutex);
    for (auto &entry : m_impl->nodes)
        out.push_back(entry.second->Status());
    return out;
}

}  // namespace Capture
