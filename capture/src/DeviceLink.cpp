// The device connection behind one node.
#include "DeviceLink.h"

#include "Log.h"

#include <ambry/Thread.h>
#include <store/Device.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>

namespace Capture {
namespace {

// Pixel formats asked of the device, in order of preference: the compressed stream
// where the device offers it (the library decodes it), else plain 24-bit rows.
constexpr uint32_t kStreamYuv[] = {0x0700, 0x0900, 0x0800};
constexpr uint32_t kStreamBgr[] = {0x0900, 0x0800};

constexpr auto kPollPeriod = std::chrono::milliseconds(250);

bool SameAudioFormat(const Grabber::AudioFormat &a, const Grabber::AudioFormat &b)
{
    return a.id == b.id && a.channels == b.channels && a.bits == b.bits && a.block == b.block && a.rate == b.rate;
}

}  // namespace

const char *LinkStateName(LinkState state)
{
    switch (state) {
    case LinkState::Idle: return "idle";
    case LinkState::Connecting: return "connecting";
    case LinkState::Live: return "live";
    case LinkState::NoSignal: return "no signal";
    case LinkState::Unreachable: return "unreachable";
    case LinkState::LoginRefused: return "login refused";
    }
    return "?";
}

DeviceLink::DeviceLink(LinkSink *sink, const LinkSettings &settings) : m_sink(sink), m_settings(settings)
{
    m_thread = Ambry::StartThread("TSLCaptureLink", [this] { Run(); });
}

DeviceLink::~DeviceLink()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void DeviceLink::SetWanted(bool wanted, bool yuv)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wanted = wanted;
        if (wanted)
            m_yuv = yuv;
    }
    m_wake.notify_all();
}

void DeviceLink::SetAudioWanted(bool wanted, const Grabber::AudioFormat &format)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_audioWanted = wanted;
        if (wanted)
            m_audioFormat = format;
    }
    m_wake.notify_all();
}

void DeviceLink::SetAudioSink(AudioSink *sink)
{
    std::lock_guard<std::mutex> lock(m_audioMutex);
    m_audioSink = sink;
}

void DeviceLink::Probe()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_probe = true;
    }
    m_wake.notify_all();
}

void DeviceLink::Reconfigure(const LinkSettings &settings)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_settings = settings;
        ++m_generation;
        m_logged = LinkState::Idle;
        m_audioLogged = false;
    }
    m_wake.notify_all();
}

void DeviceLink::Report(LinkState state, const Grabber::VideoMode &mode)
{
    std::lock_guard<std::mutex> lock(m_reportMutex);
    if (state == m_reported && mode == m_reportedMode)
        return;
    m_reported = state;
    m_reportedMode = mode;
    m_sink->OnLinkState(state, mode);
}

Grabber::VideoMode DeviceLink::LastMode()
{
    std::lock_guard<std::mutex> lock(m_reportMutex);
    return m_reportedMode;
}

void DeviceLink::LogProblem(LinkState state, const std::string &label, const std::string &detail)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_logged == state)
            return;
        m_logged = state;
    }
    LogLine("%s: %s", label.c_str(), detail.c_str());
}

void DeviceLink::LogAudioProblem(const std::string &label, const std::string &detail)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_audioLogged)
            return;
        m_audioLogged = true;
    }
    LogLine("%s: %s", label.c_str(), detail.c_str());
}

bool DeviceLink::Credentials(char *user, char *password, void *context)
{
    auto *attempt = static_cast<LoginAttempt *>(context);
    if (attempt->asked++ > 0)
        return false;  // asked again: the password was refused
    if (user)
        user[0] = '\0';
    std::strncpy(password, attempt->settings->password.c_str(), 63);
    password[63] = '\0';
    return true;
}

Grabber::Handle *DeviceLink::Connect(const LinkSettings &settings, LinkState *failure)
{
    AddressRecord address;
    if (!ParseDeviceAddress(settings.address.c_str(), &address)) {
        *failure = LinkState::Unreachable;
        LogProblem(LinkState::Unreachable, settings.label, "the stored address \"" + settings.address +
                                                               "\" is not usable; sending the no-signal picture");
        return nullptr;
    }
    Grabber::OpenOptions options;
    options.connect_timeout_ms = 5000;
    options.reconnect_interval_ms = settings.retry_ms;
    Grabber::Handle *h = Grabber::Open(ntohl(address.address), ntohs(address.port), options);
    if (!h) {
        *failure = LinkState::Unreachable;
        LogProblem(LinkState::Unreachable, settings.label, "cannot connect; sending the no-signal picture until it answers");
        return nullptr;
    }
    if (settings.passwordUnreadable)
        LogProblem(LinkState::LoginRefused, settings.label,
                   "the stored password cannot be unsealed (another user's or a damaged value); trying without one");
    LoginAttempt attempt{&settings, 0};
    int login = Grabber::Login(h, &DeviceLink::Credentials, &attempt);
    if (login == Grabber::LOGIN_GAVE_UP) {
        Grabber::Close(h);
        *failure = LinkState::LoginRefused;
        LogProblem(LinkState::LoginRefused, settings.label,
                   "the device refuses the stored password; sending the no-signal picture");
        return nullptr;
    }
    if (login != Grabber::LOGIN_NOT_NEEDED && login != Grabber::LOGIN_ACCEPTED) {
        Grabber::Close(h);
        *failure = LinkState::Unreachable;
        LogProblem(LinkState::Unreachable, settings.label, "the login did not complete; sending the no-signal picture");
        return nullptr;
    }
    return h;
}

bool DeviceLink::StartStream(Grabber::Handle *h, bool yuv)
{
    static const Grabber::StreamCallbacks callbacks = {&DeviceLink::OnMode, &DeviceLink::OnFrame};
    if (!h->ops->SetStreamCallbacks(h, &callbacks, this) || !h->ops->EnableStreaming(h))
        return false;
    const uint32_t *formats = yuv ? kStreamYuv : kStreamBgr;
    size_t count = yuv ? std::size(kStreamYuv) : std::size(kStreamBgr);
    for (size_t i = 0; i < count; ++i) {
        if (h->ops->SetStreamFormat(h, formats[i], nullptr))
            return true;
    }
    return false;
}

bool DeviceLink::StartAudio(Grabber::Handle *h, const Grabber::AudioFormat &format, const std::string &label)
{
    if (!Grabber::HasAudio(h)) {
        LogAudioProblem(label, "the device announces no audio; the audio node sends silence");
        return false;
    }
    Grabber::AudioFormat answered;
    if (!Grabber::StartAudio(h, &format, &answered)) {
        LogAudioProblem(label, "the device does not start its audio; the audio node sends silence");
        return false;
    }
    return true;
}

void DeviceLink::Run()
{
    using Clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (!m_wanted && !m_audioWanted && !m_probe) {
            m_wake.wait(lock);
            continue;
        }
        LinkSettings settings = m_settings;
        uint64_t generation = m_generation;
        bool probeOnly = !m_wanted && !m_audioWanted;
        bool videoFirst = m_wanted;
        m_probe = false;
        lock.unlock();

        if (videoFirst)
            Report(LinkState::Connecting, LastMode());
        LinkState failure = LinkState::Unreachable;
        Grabber::Handle *h = Connect(settings, &failure);
        if (h && probeOnly) {
            Grabber::VideoMode mode;
            Grabber::GetVideoMode(h, &mode);
            Grabber::Close(h);
            Report(LinkState::Idle, mode);
            lock.lock();
            continue;
        }
        if (!h) {
            Report(failure, LastMode());
            lock.lock();
            if (!probeOnly)
                m_wake.wait_for(lock, std::chrono::milliseconds(settings.retry_ms), [&] {
                    return m_stop || (!m_wanted && !m_audioWanted) || m_generation != generation;
                });
            continue;
        }

        static const Grabber::NotifyCallbacks notify = {&DeviceLink::OnConnection, &DeviceLink::OnAudioFormat,
                                                        &DeviceLink::OnAudioStop, &DeviceLink::OnAudioData};
        Grabber::SetNotifyCallbacks(h, &notify, this);
        Grabber::SetAutoReconnect(h, true);
        // What runs on the connection: pictures (in the kind `yuv` says) and audio
        // (in `audioFormat`); each stops when it has not been wanted for the linger time.
        bool video = false, streaming = false, yuv = false;
        bool audio = false, audioTried = false;
        Grabber::AudioFormat audioFormat;
        Clock::time_point videoUnwanted{}, audioUnwanted{}, audioAsked{};
        const auto linger = std::chrono::milliseconds(settings.linger_ms);
        lock.lock();
        // A stream start that failed because the connection ended (a request could
        // not go out) is tried again once the handle has reconnected.
        bool retryStart = false;
        while (!m_stop && m_generation == generation) {
            const bool wantVideo = m_wanted, wantYuv = m_yuv, wantAudio = m_audioWanted;
            const Grabber::AudioFormat wantFormat = m_audioFormat;
            m_connectionChanged = false;
            retryStart = retryStart || m_connectionLost;
            m_connectionLost = false;
            lock.unlock();
            const Clock::time_point now = Clock::now();
            if (retryStart && Grabber::IsConnected(h)) {
                retryStart = false;
                if (video && !streaming)
                    streaming = StartStream(h, yuv);
            }

            if (wantVideo && (!video || yuv != wantYuv)) {
                if (!video)
                    Report(LinkState::Connecting, LastMode());
                yuv = wantYuv;
                streaming = StartStream(h, yuv);
                if (!streaming)
                    LogProblem(LinkState::NoSignal, settings.label,
                               "the device accepts no stream format; sending the no-signal picture");
                video = true;
            }
            // Since when each of the two has not been wanted (none while it is).
            auto since = [now](bool wanted, Clock::time_point &t) {
                if (wanted)
                    t = Clock::time_point{};
                else if (t == Clock::time_point{})
                    t = now;
            };
            since(wantVideo, videoUnwanted);
            if (video && !wantVideo && now - videoUnwanted >= linger) {
                (void)h->ops->DisableStreaming(h);
                video = streaming = false;
            }

            const bool formatChanged = audio && !SameAudioFormat(audioFormat, wantFormat);
            if (wantAudio && formatChanged) {
                (void)Grabber::StopAudio(h);
                audio = audioTried = false;
            }
            // A device without audio is not asked again on this connection; one that
            // did not start (the link broke meanwhile, or it refused) is asked again
            // at the retry interval.
            const bool retry = audioTried && Grabber::HasAudio(h) &&
                               now - audioAsked >= std::chrono::milliseconds(settings.retry_ms);
            if (wantAudio && !audio && (!audioTried || retry) && Grabber::IsConnected(h)) {
                audioFormat = wantFormat;
                audio = StartAudio(h, audioFormat, settings.label);
                audioTried = true;
                audioAsked = now;
            }
            since(wantAudio, audioUnwanted);
            if (!wantAudio && (audio || audioTried) && now - audioUnwanted >= linger) {
                if (audio)
                    (void)Grabber::StopAudio(h);
                audio = audioTried = false;
            }
            if (!video && !audio && !audioTried && !wantVideo && !wantAudio) {
                lock.lock();
                break;
            }

            Grabber::VideoMode mode;
            Grabber::GetVideoMode(h, &mode);
            const bool connected = Grabber::IsConnected(h);
            LinkState state = !connected                         ? LinkState::Unreachable
                              : !video                           ? LinkState::Idle
                              : (!streaming || mode.width <= 0) ? LinkState::NoSignal
                                                                 : LinkState::Live;
            if (state == LinkState::Live) {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_logged = LinkState::Idle;
            } else if (state == LinkState::Unreachable) {
                LogProblem(state, settings.label, "the connection was lost; sending the no-signal picture until it is back");
            }
            Report(state, mode);
            lock.lock();
            m_wake.wait_for(lock, kPollPeriod, [&] { return m_stop || m_connectionChanged || m_generation != generation; });
        }
        lock.unlock();
        Grabber::Close(h);  // no callback runs after this
        {
            std::lock_guard<std::mutex> guard(m_audioMutex);
            if (m_audioSink)
                m_audioSink->OnAudioStop();
        }
        Report(LinkState::Idle, LastMode());
        lock.lock();
    }
}

void DeviceLink::OnMode(void *context, const Grabber::VideoMode &)
{
    auto *self = static_cast<DeviceLink *>(context);
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_connectionChanged = true;
    }
    self->m_wake.notify_all();
}

bool DeviceLink::OnFrame(void *context, Grabber::FrameRecord *frame)
{
    auto *self = static_cast<DeviceLink *>(context);
    self->m_sink->OnLinkFrame(*frame);
    Grabber::ReleaseFrame(frame->owner, frame);
    return true;
}

void DeviceLink::OnConnection(void *context, bool connected, bool)
{
    if (!connected) {
        auto *self = static_cast<DeviceLink *>(context);
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_connectionLost = true;
        }
        // The audio sink sends silence until the device's audio is back.
        std::lock_guard<std::mutex> lock(self->m_audioMutex);
        if (self->m_audioSink)
            self->m_audioSink->OnAudioStop();
    }
    OnMode(context, Grabber::VideoMode{});
}

void DeviceLink::OnAudioFormat(void *context, const Grabber::AudioFormat &format)
{
    auto *self = static_cast<DeviceLink *>(context);
    std::lock_guard<std::mutex> lock(self->m_audioMutex);
    if (self->m_audioSink)
        self->m_audioSink->OnAudioFormat(format);
}

void DeviceLink::OnAudioStop(void *context)
{
    auto *self = static_cast<DeviceLink *>(context);
    std::lock_guard<std::mutex> lock(self->m_audioMutex);
    if (self->m_audioSink)
        self->m_audioSink->OnAudioStop();
}

void DeviceLink::OnAudioData(void *context, const uint8_t *data, size_t size)
{
    auto *self = static_cast<DeviceLink *>(context);
    std::lock_guard<std::mutex> lock(self->m_audioMutex);
    if (self->m_audioSink)
        self->m_audioSink->OnAudioData(data, size);
}

}  // namespace Capture
