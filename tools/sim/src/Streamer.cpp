// The appliance's picture (rendered once per phase and size) and the frame events
// of a streaming connection.
#include "Appliance.h"

#include <algorithm>
#include <cstring>

namespace Sim {

uint32_t Simulator::Impl::Phase(const Device &d) const
{
    if (!d.cfg.animate)
        return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - epoch);
    return static_cast<uint32_t>(ms.count() / 100);
}

// The current picture of the device's mode, rows top-down or bottom-up. Shared:
// the picture is rendered once per phase and size.
std::shared_ptr<const std::vector<uint8_t>> Simulator::Impl::Picture(Device &d, int w, int h, bool bottom_up)
{
    uint32_t phase = Phase(d);
    std::lock_guard<std::mutex> lock(d.frame_lock);
    if (phase != d.cached_phase || w != d.cached_w || h != d.cached_h) {
        auto top = std::make_shared<std::vector<uint8_t>>(size_t(w) * h * 3);
        RenderPattern(d.cfg, phase, w, h, top->data());
        d.cached_top = std::move(top);
        d.cached_bottom.reset();
        d.cached_phase = phase;
        d.cached_w = w;
        d.cached_h = h;
    }
    if (!bottom_up)
        return d.cached_top;
    if (!d.cached_bottom)
        d.cached_bottom = std::make_shared<std::vector<uint8_t>>(FlipRows(*d.cached_top, w, h));
    return d.cached_bottom;
}

VideoMode Simulator::Impl::CurrentMode(Device &d)
{
    std::lock_guard<std::mutex> lock(d.lock);
    return d.signal ? d.cfg.mode : VideoMode{};
}

void Simulator::Impl::StartStream(Session &s, uint32_t format)
{
    bool started;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        started = s.stream_format == 0;
        s.stream_format = format;
        if (!s.streamer.joinable() && !s.dev->cfg.silent_stream) {
            s.stream_stop = false;
            s.streamer = Ambry::StartThread("SimStream", [this, &s] { StreamLoop(s); });
        }
    }
    if (started)
        Count(*s.dev, &DeviceStats::streaming, +1);
}

void Simulator::Impl::StopStream(Session &s)
{
    std::thread t;
    bool stopped;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        stopped = s.stream_format != 0;
        s.stream_stop = true;
        s.stream_format = 0;
        s.stream_cv.notify_all();
        t = std::move(s.streamer);
    }
    if (t.joinable())
        t.join();
    if (stopped)
        Count(*s.dev, &DeviceStats::streaming, -1);
}

std::vector<uint8_t> Simulator::Impl::NextCompressed(Device &d, CompressedStream &cs, uint32_t pixel,
                                                    const VideoMode &mode, const uint8_t *picture,
                                                    const std::shared_ptr<const std::vector<uint8_t>> &source,
                                                    bool &delta)
{
    bool key = pixel != cs.pixel || mode.width != cs.width || mode.height != cs.height ||
               cs.since_key + 1 >= d.cfg.keyframe_interval;
    const bool same = source && source == cs.source;
    if (!same) {
        cs.source = source;
        cs.pairs.clear();
        cs.unchanged.clear();
    }
    if (key) {
        cs.unchanged.clear();
    } else if (!cs.unchanged.empty()) {
        // Deltas go against the last self-contained frame: the same picture gives the same delta.
        cs.since_key++;
        delta = true;
        return cs.unchanged;
    }
    if (pixel == imaging::kCompressedYuv || pixel == imaging::kCompressedUyvy) {
        if (cs.pairs.empty() || pixel != cs.pixel)
            cs.pairs = pixel == imaging::kCompressedYuv ? ToYuy2(picture, mode.width, mode.height)
                                                        : ToUyvy(picture, mode.width, mode.height);
        if (cs.pairs.empty())
            return {};
        picture = cs.pairs.data();
    }
    imaging::EncodeOptions options;
    options.passes = uint32_t(d.cfg.stream_passes);
    options.fields = d.cfg.stream_fields;
    auto w = uint32_t(mode.width), h = uint32_t(mode.height);
    std::vector<uint8_t> frame = key ? cs.encoder.EncodeSelfContained(picture, w, h, pixel, options)
                                     : cs.encoder.EncodeDelta(picture, w, h, pixel, options);
    if (frame.empty())
        return frame;
    if (key) {
        cs.pixel = pixel, cs.width = mode.width, cs.height = mode.height, cs.since_key = 0;
    } else {
        cs.since_key++;
        if (cs.source)
            cs.unchanged = frame;
    }
    delta = !key;
    return frame;
}

void Simulator::Impl::StreamLoop(Session &s)
{
    Device &d = *s.dev;
    auto period = std::chrono::microseconds(1000000 / StreamRate(d.cfg));
    auto next = std::chrono::steady_clock::now();
    CompressedStream cs;
    std::vector<uint8_t> numbered, flipped, compressed;
    for (;;) {
        uint32_t format;
        {
            std::unique_lock<std::mutex> lock(s.lock);
            if (s.stream_cv.wait_until(lock, next, [&] { return s.stream_stop; }))
                return;
            format = s.stream_format;
        }
        next += period;
        if (std::chrono::steady_clock::now() > next + period * 4)
            next = std::chrono::steady_clock::now();
        VideoMode mode = CurrentMode(d);
        if (mode.width <= 0 || format == 0)
            continue;
        const uint32_t pixel = format & FORMAT_PIXEL_MASK;
        const bool bottom_up = (format & FORMAT_BOTTOM_UP) != 0;
        // The shared picture, or a copy of it carrying the frame's number.
        std::shared_ptr<const std::vector<uint8_t>> shared = Picture(d, mode.width, mode.height);
        const std::vector<uint8_t> *picture = shared.get();
        if (d.cfg.frame_counter) {
            numbered.assign(shared->begin(), shared->end());
            DrawFrameCounter(numbered.data(), mode.width, mode.height, s.frame_number);
            picture = &numbered;
        }
        const std::vector<uint8_t> *body = picture;
        bool delta = false;
        if (imaging::IsCompressed(pixel)) {
            compressed = NextCompressed(d, cs, pixel, mode, picture->data(), d.cfg.frame_counter ? nullptr : shared,
                                        delta);
            if (compressed.empty())
                continue;
            body = &compressed;
        } else if (bottom_up && d.cfg.frame_counter) {
            flipped = FlipRows(numbered, mode.width, mode.height);
            body = &flipped;
        } else if (bottom_up) {
            shared = Picture(d, mode.width, mode.height, true);
            body = shared.get();
        }
        MessageBuilder b = MessageBuilder::Event(EVT_FRAME);
        FrameHeader h;
        h.format = format;
        h.mode = mode;
        h.rect = CropRect{0, 0, uint32_t(mode.width), uint32_t(mode.height)};
        EncodeFrameHeader(b.Payload(), h, false);
        std::vector<uint8_t> head = b.Take();
        SetFrameLength(head, body->size());
        if (!s.transport->SendParts(head.data(), head.size(), body->data(), body->size()))
            return;
        s.frame_number++;
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.frames_streamed++;
        d.stats.delta_frames_streamed += delta ? 1 : 0;
    }
}

std::vector<uint8_t> Simulator::Impl::FlipRows(const std::vector<uint8_t> &pic, int w, int h)
{
    std::vector<uint8_t> out(pic.size());
    size_t row = size_t(w) * 3;
    for (int y = 0; y < h; ++y)
        std::memcpy(out.data() + size_t(h - 1 - y) * row, pic.data() + size_t(y) * row, row);
    return out;
}

}  // namespace Sim
