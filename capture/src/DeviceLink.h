// One device connection shared by everything the nodes of a device need from it: a
// short connection to learn the video mode when the node is published, the stream
// while at least one consumer wants pictures, and the audio while at least one
// consumer of the audio node listens. Each of the two stops a linger time after it
// is no longer wanted; the connection closes when neither runs.
//
// Thread: one worker per link ("TSLCaptureLink"), idle on a condition variable while
// nothing is wanted. The grabber library's reader thread delivers the frames.
#pragma once

#include <grabber/Grabber.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace Capture {

enum class LinkState {
    Idle,          // no connection
    Connecting,
    Live,          // streaming with a signal
    NoSignal,      // connected, the device sees no picture
    Unreachable,   // cannot connect, or the connection is lost
    LoginRefused,  // the device refuses the stored password
};
const char *LinkStateName(LinkState state);

class LinkSink {
public:
    virtual ~LinkSink() = default;
    // Worker or reader thread: what the link now is, and the device's video mode
    // (width 0: unknown or no signal).
    virtual void OnLinkState(LinkState state, const Grabber::VideoMode &mode) = 0;
    // Reader thread: one streamed frame, valid during the call.
    virtual void OnLinkFrame(const Grabber::FrameRecord &frame) = 0;
};

// What the audio node gets from the link (reader thread, one call at a time).
class AudioSink {
public:
    virtual ~AudioSink() = default;
    // The device's format: before any data, and again after a reconnection.
    virtual void OnAudioFormat(const Grabber::AudioFormat &format) = 0;
    // Interleaved samples in the last format told, any split.
    virtual void OnAudioData(const uint8_t *data, size_t size) = 0;
    // The device stopped its audio, or the connection ended.
    virtual void OnAudioStop() = 0;
};

struct LinkSettings {
    std::string label;     // for log lines: the display name and the address
    std::string address;   // as stored
    std::string password;
    bool passwordUnreadable = false;
    int linger_ms = 3000;  // stays connected this long after the last consumer left
    int retry_ms = 2000;   // between attempts while pictures are wanted
};

class DeviceLink {
public:
    DeviceLink(LinkSink *sink, const LinkSettings &settings);
    ~DeviceLink();  // closes the connection; no sink call runs after it returns
    DeviceLink(const DeviceLink &) = delete;
    DeviceLink &operator=(const DeviceLink &) = delete;

    // Pictures wanted or not; yuv picks the stream format asked of the device.
    void SetWanted(bool wanted, bool yuv);
    // Audio wanted or not, in this format (asked of the device when audio starts).
    void SetAudioWanted(bool wanted, const Grabber::AudioFormat &format);
    // Where audio goes; none detaches (waiting for a call under way to return).
    void SetAudioSink(AudioSink *sink);
    // Learns the device's mode with a short connection (while nothing is wanted).
    void Probe();
    // New address or password: the connection is made again.
    void Reconfigure(const LinkSettings &settings);

private:
    void Run();
    Grabber::Handle *Connect(const LinkSettings &settings, LinkState *failure);
    bool StartStream(Grabber::Handle *h, bool yuv);
    // Asks the device for audio; false when it has none or refuses.
    bool StartAudio(Grabber::Handle *h, const Grabber::AudioFormat &format, const std::string &label);
    void Report(LinkState state, const Grabber::VideoMode &mode);
    Grabber::VideoMode LastMode();
    void LogProblem(LinkState state, const std::string &label, const std::string &detail);
    void LogAudioProblem(const std::string &label, const std::string &detail);  // once per configuration

    static bool Credentials(char *user, char *password, void *context);
    static void OnMode(void *context, const Grabber::VideoMode &mode);
    static bool OnFrame(void *context, Grabber::FrameRecord *frame);
    static void OnConnection(void *context, bool connected, bool reconnecting);
    static void OnAudioFormat(void *context, const Grabber::AudioFormat &format);
    static void OnAudioStop(void *context);
    static void OnAudioData(void *context, const uint8_t *data, size_t size);

    LinkSink *m_sink;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    LinkSettings m_settings;
    uint64_t m_generation = 0;  // bumped by Reconfigure
    bool m_wanted = false;
    bool m_yuv = false;
    bool m_probe = false;
    bool m_stop = false;
    bool m_connectionChanged = false;
    bool m_connectionLost = false;  // the handle's connection ended since the loop last looked
    bool m_audioWanted = false;
    Grabber::AudioFormat m_audioFormat;

    std::mutex m_audioMutex;  // held around every call of the audio sink
    AudioSink *m_audioSink = nullptr;

    std::mutex m_reportMutex;  // orders Report calls from several threads
    LinkState m_reported = LinkState::Idle;
    Grabber::VideoMode m_reportedMode;
    LinkState m_logged = LinkState::Idle;  // the last problem logged, so each is logged once
    bool m_audioLogged = false;

    // Credentials hand-out for one Login: the password once, then give up.
    struct LoginAttempt {
        const LinkSettings *settings;
        int asked;
    };
    std::thread m_thread;
};

}  // namespace Capture
