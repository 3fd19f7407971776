// One device connection shared by everything a node needs from its device: a short
// connection to learn the video mode when the node is published, and the stream
// while at least one consumer wants pictures.
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
    // Learns the device's mode with a short connection (while nothing is wanted).
    void Probe();
    // New address or password: the connection is made again.
    void Reconfigure(const LinkSettings &settings);

private:
    void Run();
    Grabber::Handle *Connect(const LinkSettings &settings, LinkState *failure);
    bool StartStream(Grabber::Handle *h, bool yuv);
    void Report(LinkState state, const Grabber::VideoMode &mode);
    Grabber::VideoMode LastMode();
    void LogProblem(LinkState state, const std::string &label, const std::string &detail);

    static bool Credentials(char *user, char *password, void *context);
    static void OnMode(void *context, const Grabber::VideoMode &mode);
    static bool OnFrame(void *context, Grabber::FrameRecord *frame);
    static void OnConnection(void *context, bool connected, bool reconnecting);

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

    std::mutex m_reportMutex;  // orders Report calls from several threads
    LinkState m_reported = LinkState::Idle;
    Grabber::VideoMode m_reportedMode;
    LinkState m_logged = LinkState::Idle;  // the last problem logged, so each is logged once

    // Credentials hand-out for one Login: the password once, then give up.
    struct LoginAttempt {
        const LinkSettings *settings;
        int asked;
    };
    std::thread m_thread;
};

}  // namespace Capture
