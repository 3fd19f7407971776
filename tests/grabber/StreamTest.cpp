// Streaming end to end: the simulator's compressed frames (self-contained and
// deltas) through the client's decoder, conversion and row order.
#include "ScriptedPeer.h"

#include <grabber/Grabber.h>
#include <grabber/Wire.h>
#include <imaging/Convert.h>
#include <imaging/Decoder.h>
#include <imaging/Encoder.h>
#include <sim/Simulator.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

using namespace Grabber;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kW = 64, kH = 48;

Bytes Pattern(const Sim::DeviceConfig &cfg, uint32_t phase)
{
    Bytes bgr(size_t(kW) * kH * 3);
    Sim::RenderPattern(cfg, phase, kW, kH, bgr.data());
    return bgr;
}

Bytes ReverseRows(const Bytes &in, size_t row)
{
    Bytes out(in.size());
    const size_t rows = in.size() / row;
    for (size_t y = 0; y < rows; ++y)
        std::memcpy(out.data() + (rows - 1 - y) * row, in.data() + y * row, row);
    return out;
}

// What GrabFrame must return for a picture in `format`.
Bytes Expected(const Bytes &bgr, uint32_t format)
{
    const uint32_t pixel = format & FORMAT_PIXEL_MASK;
    const bool bottom_up = (format & FORMAT_BOTTOM_UP) != 0;
    if (pixel == imaging::kBgr24 || pixel == imaging::kRgb24)
        return bottom_up ? ReverseRows(bgr, size_t(kW) * 3) : bgr;
    Bytes out = Sim::ToYuy2(bgr.data(), kW, kH);
    imaging::FrameBuffer fb{out.data(), out.size(), imaging::kYuy2, kW, kH};
    if (pixel != imaging::kYuy2 && !imaging::ConvertFromYuy2(fb, pixel))
        return {};
    if (bottom_up != imaging::IsBottomUp(fb.format) && !imaging::FlipFrame(fb))
        return {};
    out.resize(fb.size);
    return out;
}

// Frames offered to the stream callback, copied.
struct Seen {
    std::mutex lock;
    std::vector<Bytes> pictures;
    std::vector<uint32_t> formats;

    static bool OnFrame(void *ctx, FrameRecord *f)
    {
        auto *s = static_cast<Seen *>(ctx);
        std::lock_guard<std::mutex> lock(s->lock);
        s->pictures.emplace_back(f->data, f->data + f->image_bytes);
        s->formats.push_back(f->format);
        return false;  // queued as well
    }
    // Waits up to 3 s for `n` frames.
    void WaitFor(size_t n)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (pictures.size() >= n || std::chrono::steady_clock::now() > until)
                    return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
};

class Streaming : public ::testing::Test {
protected:
    void SetUp() override { Startup(); }
    void TearDown() override
    {
        if (h)
            Close(h);
        sim.Stop();
        Shutdown();
    }

    void Run(const std::string &description, int frame_wait_ms = 3000)
    {
        cfg = Sim::DeviceConfig{};
        cfg.port = 0;
        cfg.http_port = -1;
        cfg.udp_port = -1;
        std::string error;
        ASSERT_TRUE(Sim::ParseDeviceKeys("mode=64x48@60000," + description, cfg, &error)) << error;
        ASSERT_TRUE(sim.Start({cfg}, &error)) << error;
        Sim::Endpoints ep = sim.Ports(0);
        OpenOptions o;
        o.connect_timeout_ms = 3000;
        o.request_timeout_ms = 3000;
        o.frame_wait_ms = frame_wait_ms;
        h = Open(ep.address, ep.port, o);
        ASSERT_NE(h, nullptr);
        ASSERT_TRUE(NetworkDriver().ops.EnableStreaming(h));
        // The first grab goes by request and turns the stream path on.
        FrameRecord *first = GrabFrame(h, FORMAT_PREVIEW, nullptr);
        ASSERT_NE(first, nullptr);
        ReleaseFrame(h, first);
    }

    // Grabs `count` frames in `format`; each must be the pattern of a phase not
    // before the previous frame's. The picture moves every 100 ms.
    void ExpectFrames(uint32_t format, int count)
    {
        uint32_t phase = 0;
        for (int i = 0; i < count; ++i) {
            FrameRecord *f = GrabFrame(h, format, nullptr);
            ASSERT_NE(f, nullptr) << "frame " << i;
            EXPECT_EQ(f->format & (FORMAT_PIXEL_MASK | FORMAT_BOTTOM_UP), format);
            EXPECT_EQ(f->rect.width, uint32_t(kW));
            EXPECT_EQ(f->rect.height, uint32_t(kH));
            bool found = false;
            // A loaded machine (or a sanitizer) may let the picture move on a long way
            // between two grabs.
            for (uint32_t p = phase; p < phase + 2000 && !found; ++p) {
                Bytes want = Expected(Pattern(cfg, p), format);
                ASSERT_FALSE(want.empty());
                if (want.size() == f->image_bytes && std::memcmp(want.data(), f->data, want.size()) == 0) {
                    found = true;
                    phase = p;
                }
            }
            EXPECT_TRUE(found) << "frame " << i << " of format " << std::hex << format
                               << " is no picture of the pattern";
            ReleaseFrame(h, f);
        }
    }

    uint64_t Requests(uint32_t type) { return sim.Stats(0).requests[type]; }

    // Lets `n` streamed frames pile up in the queue, as under a loaded consumer.
    void AwaitQueuedFrames(size_t n)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (QueuedFrameCount(h) < n && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_GE(QueuedFrameCount(h), n);
    }

    // Grabs by request beyond `expected`: none, except that under ThreadSanitizer a
    // stream frame may come later than the frame wait and the request path takes over.
    void ExpectGrabRequests(uint64_t expected)
    {
#if defined(__SANITIZE_THREAD__)
        EXPECT_GE(Requests(REQ_GRAB), expected);
        EXPECT_LE(Requests(REQ_GRAB), expected + 3);
#else
        EXPECT_EQ(Requests(REQ_GRAB), expected);
#endif
    }

    Sim::Simulator sim;
    Sim::DeviceConfig cfg;
    Handle *h = nullptr;
};

}  // namespace

// The simulator's frames decode to its pictures for every compressed id, pass count
// and field order, across self-contained and delta frames.
TEST(SimEncoder, DecodesToThePicturesSent)
{
    Sim::DeviceConfig cfg;
    for (uint32_t id : {0x0600u, 0x0700u, 0x0900u, 0x0D00u})
        for (uint32_t passes : {1u, 2u})
            for (bool fields : {false, true}) {
                imaging::FrameEncoder enc;
                imaging::FrameDecoder dec;
                imaging::EncodeOptions o{passes, fields};
                for (uint32_t phase = 0; phase < 6; ++phase) {
                    Bytes bgr = Pattern(cfg, phase * 3);
                    Bytes pic = id == 0x0700 ? Sim::ToYuy2(bgr.data(), kW, kH)
                                : id == 0x0D00 ? Sim::ToUyvy(bgr.data(), kW, kH)
                                               : bgr;
                    Bytes frame = phase % 3 == 0 ? enc.EncodeSelfContained(pic.data(), kW, kH, id, o)
                                                 : enc.EncodeDelta(pic.data(), kW, kH, id, o);
                    ASSERT_FALSE(frame.empty());
                    ASSERT_TRUE(dec.ChooseTarget(frame.data(), frame.size(), imaging::DefaultTargetFor(id)));
                    Bytes out(dec.OutputSize(frame.data(), frame.size()));
                    ASSERT_EQ(out.size(), pic.size());
                    ASSERT_EQ(dec.Decode(frame.data(), frame.size(), out.data(), out.size()), frame.size());
                    EXPECT_EQ(out, pic) << std::hex << id << " passes " << passes << " fields " << fields
                                        << " phase " << phase;
                }
            }
    // The pair layouts: luma of a grey pixel, chroma neutral.
    const uint8_t grey[6] = {128, 128, 128, 128, 128, 128};
    EXPECT_EQ(Sim::ToYuy2(grey, 2, 1), (Bytes{126, 128, 126, 128}));
    EXPECT_EQ(Sim::ToUyvy(grey, 2, 1), (Bytes{128, 126, 128, 126}));
    EXPECT_TRUE(Sim::ToYuy2(grey, 1, 2).empty());
}

TEST_F(Streaming, TwentyFourBitFramesThroughSelfContainedAndDeltaFrames)
{
    Run("stream-fps=100,keyframe=4");
    ExpectFrames(FORMAT_PREVIEW, 12);                   // 0x0900, bottom-up
    ExpectFrames(imaging::kBgr24, 6);                   // same stream, top-down
    ExpectFrames(uint32_t(imaging::kRgb24) | FORMAT_BOTTOM_UP, 8); // 0x0600
    ExpectGrabRequests(1);
    EXPECT_GT(sim.Stats(0).delta_frames_streamed, 10u);
}

TEST_F(Streaming, YuvFramesDecodedAndConverted)
{
    Run("stream-fps=100,keyframe=5");
    ExpectFrames(imaging::kYuy2, 8);  // 0x0700 as it is
    ExpectFrames(uint32_t(imaging::kRgb565) | FORMAT_BOTTOM_UP, 6);
    ExpectFrames(imaging::kRgb332, 6);
    ExpectFrames(imaging::kUyvy, 6);
    ExpectGrabRequests(1);
    EXPECT_GT(sim.Stats(0).delta_frames_streamed, 10u);
}

// Frames still queued when the request changes (another stream format, or another
// layout decoded from the same stream) are never handed out: the grab waits for a
// frame of the new kind rather than fail over to a grab by request.
TEST_F(Streaming, TwoPassFieldFramesAcrossRequestChanges)
{
    Run("stream-fps=100,keyframe=3,stream-passes=2,stream-fields=1");
    ExpectFrames(FORMAT_PREVIEW, 8);
    AwaitQueuedFrames(3);
    ExpectFrames(uint32_t(imaging::kYuy2) | FORMAT_BOTTOM_UP, 8);
    ExpectFrames(imaging::kUyvy, 1);
    AwaitQueuedFrames(3);  // decoded to UYVY
    ExpectFrames(imaging::kYuy2, 4);
    ExpectGrabRequests(1);
    EXPECT_GT(sim.Stats(0).delta_frames_streamed, 5u);
}

TEST_F(Streaming, RawFramesReachTheCallbackInTheirRowOrder)
{
    Run("animate=0,stream-fps=200");
    Seen seen;
    StreamCallbacks sc{};
    sc.on_frame = Seen::OnFrame;
    const Operations &ops = NetworkDriver().ops;
    ASSERT_TRUE(ops.SetStreamCallbacks(h, &sc, &seen));
    ASSERT_TRUE(ops.SetStreamFormat(h, imaging::kBgr24, nullptr));
    seen.WaitFor(3);
    ASSERT_TRUE(ops.DisableStreaming(h));
    ASSERT_TRUE(ops.SetStreamCallbacks(h, nullptr, nullptr));
    std::lock_guard<std::mutex> lock(seen.lock);
    ASSERT_GE(seen.pictures.size(), 3u);
    for (size_t i = 0; i < seen.pictures.size(); ++i) {
        EXPECT_EQ(seen.formats[i], uint32_t(imaging::kBgr24));
        EXPECT_EQ(seen.pictures[i], Pattern(cfg, 0));
    }
}

TEST_F(Streaming, RequestPathTakesOverWhenTheStreamYieldsNothing)
{
    Run("animate=0,silent-stream=1", 300);
    auto start = std::chrono::steady_clock::now();
    FrameRecord *f = GrabFrame(h, FORMAT_PREVIEW, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_EQ(Requests(REQ_SET_FORMAT), 1u);
    EXPECT_EQ(Requests(REQ_GRAB), 2u);
    EXPECT_EQ(Bytes(f->data, f->data + f->image_bytes), Expected(Pattern(cfg, 0), FORMAT_PREVIEW));
    ReleaseFrame(h, f);
    EXPECT_EQ(sim.Stats(0).frames_streamed, 0u);
}

// A delta applies to the self-contained frame it was made against: one that
// arrives while the client holds no such reference (the self-contained frame was
// lost or skipped) is dropped instead of building a wrong picture.
TEST(StreamReference, DeltasWithoutTheirSelfContainedFrameAreDropped)
{
    Startup();
    ScriptedPeer peer;
    auto opening = std::async(std::launch::async, [&] {
        OpenOptions o;
        o.connect_timeout_ms = 3000;
        o.request_timeout_ms = 3000;
        return Open(0x7F000001u, peer.Port(), o);
    });
    ASSERT_TRUE(peer.Accept());
    peer.Send(HelloFrame(1, 1));  // no login
    ASSERT_FALSE(peer.ReadFrame().empty());
    // Answers the client's requests until one of `last` is answered.
    auto serve = [&](uint32_t last) {
        for (;;) {
            Bytes request = peer.ReadFrame();
            ASSERT_GE(request.size(), 16u);
            const uint32_t type = request[15];
            MessageBuilder reply = MessageBuilder::Reply(IdOf(request), STATUS_OK);
            PayloadWriter &w = reply.Payload();
            if (type == REQ_GET_SERIAL) {
                char serial[kSerialBytes] = "TS9";
                w.Bytes(serial, sizeof serial);
            } else if (type == REQ_GET_TYPE) {
                w.U32(3);
            } else if (type == REQ_GET_PARAM || type == REQ_GET_PARAM_WITH) {
                w.U8(1);  // no such parameter
            } else if (type == REQ_QUERY_STATE) {
                EncodeState(w, VideoMode{kW, kH, 60000}, 1);
            } else if (type == REQ_SET_FORMAT) {
                EncodeFormatReply(w, FormatReply{});
            } else {
                ADD_FAILURE() << "unexpected request " << type;
            }
            peer.Send(reply.Take());
            if (type == last)
                return;
        }
    };
    serve(REQ_QUERY_STATE);
    Handle *h = opening.get();
    ASSERT_NE(h, nullptr);

    Seen seen;
    StreamCallbacks sc{};
    sc.on_frame = Seen::OnFrame;
    const Operations &ops = NetworkDriver().ops;
    ASSERT_TRUE(ops.SetStreamCallbacks(h, &sc, &seen));
    ASSERT_TRUE(ops.EnableStreaming(h));
    auto setting = std::async(std::launch::async,
                              [&] { return ops.SetStreamFormat(h, imaging::kCompressedBgr24, nullptr); });
    serve(REQ_SET_FORMAT);
    ASSERT_TRUE(setting.get());

    Sim::DeviceConfig cfg;
    const Bytes a = Pattern(cfg, 1), b = Pattern(cfg, 7), c = Pattern(cfg, 20);
    imaging::FrameEncoder enc;
    auto send = [&](const Bytes &compressed) {
        MessageBuilder m = MessageBuilder::Event(EVT_FRAME);
        FrameHeader fh;
        fh.format = imaging::kCompressedBgr24;
        fh.mode = VideoMode{kW, kH, 60000};
        fh.rect = CropRect{0, 0, uint32_t(kW), uint32_t(kH)};
        EncodeFrameHeader(m.Payload(), fh, false);
        m.Payload().Bytes(compressed.data(), compressed.size());
        peer.Send(m.Take());
    };
    (void)enc.EncodeSelfContained(a.data(), kW, kH, imaging::kCompressedBgr24, {});  // never sent
    send(enc.EncodeDelta(b.data(), kW, kH, imaging::kCompressedBgr24, {}));          // dropped
    send(enc.EncodeSelfContained(c.data(), kW, kH, imaging::kCompressedBgr24, {}));
    send(enc.EncodeDelta(b.data(), kW, kH, imaging::kCompressedBgr24, {}));
    Bytes other(size_t(32) * 16 * 3, 77);  // another size than the reference: dropped
    send(enc.EncodeDelta(other.data(), 32, 16, imaging::kCompressedBgr24, {}));
    send(enc.EncodeDelta(c.data(), kW, kH, imaging::kCompressedBgr24, {}));  // ... and so on until the next
    send(enc.EncodeSelfContained(a.data(), kW, kH, imaging::kCompressedBgr24, {}));

    seen.WaitFor(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more comes
    ASSERT_TRUE(ops.SetStreamCallbacks(h, nullptr, nullptr));
    {
        std::lock_guard<std::mutex> lock(seen.lock);
        ASSERT_EQ(seen.pictures.size(), 3u);
        EXPECT_EQ(seen.pictures[0], c);
        EXPECT_EQ(seen.pictures[1], b);
        EXPECT_EQ(seen.pictures[2], a);
    }
    Close(h);
    Shutdown();
}
