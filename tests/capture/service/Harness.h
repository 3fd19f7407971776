// What the capture service tests share: a private PipeWire session for the test
// process, a private store, devices written into it as the setup program and the
// filter module write them, a consumer of our own on libpipewire, and a view of the
// session's nodes.
#pragma once

#include <capture/Pipeline.h>
#include <grabber/Records.h>
#include <options/CaptureOptions.h>
#include <store/Guid.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace CaptureTest {

// Polls until pred holds or timeout_ms passes.
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms);

// One device as the store holds it.
struct Registration {
    GUID clsid{};
    std::string name = "Bench";
    std::string address;          // "127.0.0.x:port"
    std::string serial = "TS0001";
    uint32_t type = 3;
    std::string password;         // sealed into the store
    bool damagedPassword = false; // a sealed value that does not open
    DirectShowOptions options;    // written when optionsSet
    bool optionsSet = false;
    int preferredFormat = -1;
    bool forceFormat = false;
    bool categoryKey = true;      // the video input category instance key
    // Audio: an audio class identifier with its audio input category instance key,
    // and the audio format written raw into "AudioParameters".
    bool audio = false;
    GUID audioClsid{};
    uint32_t audioChannels = 2, audioRate = 22050, audioBits = 16;
};

// Writes (or rewrites) the device's keys in one transaction.
void Register(const Registration &r);
// Deletes every class key (what an earlier test of the process registered).
void ClearStore();
// Deletes the class key and the category instance keys.
void Unregister(const GUID &clsid);
// Sets the display name (the class key's default value) only.
void Rename(const GUID &clsid, const std::string &name);
// The node name the service gives the device, and its audio node's name.
std::string NodeName(const GUID &clsid);
std::string AudioNodeName(const GUID &audioClsid);
std::string AddressOf(uint32_t ip_host_order, uint16_t port);

// A node of the session as its registry announces it.
struct NodeInfo {
    uint32_t id = 0;
    std::map<std::string, std::string> props;
};

// A client of the session listing nodes.
class SessionView {
public:
    SessionView();
    ~SessionView();
    // Nodes whose node.name starts with "tessaline-", by node.name.
    std::map<std::string, NodeInfo> Nodes();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

struct ReceivedFrame {
    std::vector<uint8_t> bytes;
    int64_t arrival_ns = 0;  // CLOCK_MONOTONIC
    int64_t pts_ns = -1;     // the producer's timestamp, -1 when none came
};

// A consumer of one node, asking for one format (of any size and rate).
class Consumer {
public:
    Consumer(const std::string &nodeName, Capture::PixelFormat format);
    ~Consumer();
    // Waits until `count` frames arrived since construction (or the last Clear).
    bool WaitFrames(size_t count, int timeout_ms);
    // Frames kept (the last 8) and the number received since the last Clear.
    std::vector<ReceivedFrame> Frames();
    size_t Count();
    void Clear();
    // The negotiated size (0 before negotiation).
    int32_t Width();
    int32_t Height();
    uint32_t RateNum();
    uint32_t RateDen();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A consumer of one audio node asking for S16LE at one rate and channel count.
class AudioConsumer {
public:
    AudioConsumer(const std::string &nodeName, uint32_t rate, uint32_t channels);
    ~AudioConsumer();
    struct Buffer {
        size_t first = 0;        // index of its first sample frame
        size_t frames = 0;
        int64_t arrival_ns = 0;  // CLOCK_MONOTONIC
        int64_t pts_ns = -1;     // the producer's timestamp, -1 when none came
    };
    // Every sample received since construction (or the last Clear), interleaved.
    std::vector<int16_t> Samples();
    std::vector<Buffer> Buffers();
    size_t Frames();
    bool WaitFrames(size_t frames, int timeout_ms);
    void Clear();
    uint32_t Rate();      // negotiated (0 before)
    uint32_t Channels();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// The picture an appliance with animate=off sends, top-down blue-green-red.
std::vector<uint8_t> StillPicture(const std::string &serial, int width, int height);
// What a pipeline configured like the service's node makes of that picture.
std::vector<uint8_t> Expected(const std::vector<uint8_t> &bgr, int width, int height, const Capture::OutputShape &out,
                              const Capture::PipelineOptions &options);
// Largest difference of two byte runs (their sizes must match; 256 when they do not).
int MaxDifference(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b);

// Every log line of the service, for checks that a problem was told once.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> Lines();
    size_t CountContaining(const std::string &text);

private:
    std::shared_ptr<std::mutex> m_mutex;
    std::shared_ptr<std::vector<std::string>> m_lines;
};

}  // namespace CaptureTest
