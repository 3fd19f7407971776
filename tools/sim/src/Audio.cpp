// The appliance's audio: the format it takes, the tone it sends (20 ms per audio
// data event) and the running counter in the samples.
#include "Appliance.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Sim {

namespace {

constexpr uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
constexpr auto kAudioPeriod = std::chrono::milliseconds(20);

}  // namespace

AudioFormat AudioFormatInEffect(const AudioFormat *requested)
{
    AudioFormat f;
    f.id = 0;
    f.channels = 2;
    f.bits = 16;
    f.rate = 22050;
    if (requested && requested->id >= 0) {
        if (requested->channels == 1 || requested->channels == 2)
            f.channels = requested->channels;
        if (std::find(std::begin(kRates), std::end(kRates), requested->rate) != std::end(kRates))
            f.rate = requested->rate;
    }
    f.block = uint16_t(f.channels * 2);
    return f;
}

int16_t AudioSample(int tone_hz, uint32_t rate, uint64_t n)
{
    const double pi = 3.14159265358979323846;
    const double turns = double(n % rate) * tone_hz / rate;  // exact again every second
    const auto high = int8_t(std::lround(64.0 * std::sin(2.0 * pi * turns)));
    return int16_t(uint16_t(uint8_t(high) << 8 | (n & 0xFF)));
}

bool AudioCounterCheck::Feed(const uint8_t *data, size_t size)
{
    const size_t frame = size_t(m_channels) * 2;
    m_partial.insert(m_partial.end(), data, data + size);
    size_t at = 0;
    for (; at + frame <= m_partial.size(); at += frame) {
        const uint8_t *p = m_partial.data() + at;
        bool same = true;
        for (int c = 1; c < m_channels; ++c)
            same = same && std::memcmp(p, p + 2 * c, 2) == 0;
        if (!same || (m_last >= 0 && p[0] != uint8_t(m_last + 1)))
            m_breaks++;
        m_last = p[0];
        m_frames++;
    }
    m_partial.erase(m_partial.begin(), m_partial.begin() + ptrdiff_t(at));
    return m_breaks == 0;
}

bool Simulator::Impl::StartAudio(Session &s, const AudioFormat &format)
{
    Device &d = *s.dev;
    const bool was_running = EndAudio(s);
    bool ok = true;
    if (d.cfg.audio_faults) {
        // Data before any format, then a format record longer than any known one.
        MessageBuilder data = MessageBuilder::Event(EVT_AUDIO_DATA);
        data.Payload().Zeros(64);
        MessageBuilder big = MessageBuilder::Event(EVT_AUDIO_FORMAT);
        big.Payload().U16(0);
        big.Payload().U16(16);
        big.Payload().Zeros(16);
        ok = Send(s, data.Take()) && Send(s, big.Take());
    }
    MessageBuilder e = MessageBuilder::Event(EVT_AUDIO_FORMAT);
    EncodeAudioFormat(e.Payload(), format);
    ok = ok && Send(s, e.Take());
    if (ok) {
        std::lock_guard<std::mutex> lock(s.lock);
        s.audio_format = format;
        s.audio_stop = false;
        s.audio = Ambry::StartThread("SimAudio", [this, &s] { AudioLoop(s); });
    }
    if (verbose)
        Log(d, "audio %u channels, %u Hz", unsigned(format.channels), unsigned(format.rate));
    if (ok != was_running)
        Count(d, &DeviceStats::audio, ok ? +1 : -1);
    return ok;
}

bool Simulator::Impl::StopAudio(Session &s)
{
    if (EndAudio(s))
        Count(*s.dev, &DeviceStats::audio, -1);
    return Send(s, MessageBuilder::Event(EVT_AUDIO_STOPPED).Take());
}

bool Simulator::Impl::EndAudio(Session &s)
{
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        s.audio_stop = true;
        s.stream_cv.notify_all();
        t = std::move(s.audio);
    }
    if (!t.joinable())
        return false;
    t.join();
    return true;
}

void Simulator::Impl::AudioLoop(Session &s)
{
    Device &d = *s.dev;
    AudioFormat format;
    {
        std::lock_guard<std::mutex> lock(s.lock);
        format = s.audio_format;
    }
    const auto start = std::chrono::steady_clock::now();
    auto next = start;
    uint64_t sent = 0;
    std::vector<int16_t> samples;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(s.lock);
            if (s.stream_cv.wait_until(lock, next, [&] { return s.audio_stop; }))
                return;
        }
        next += kAudioPeriod;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        const uint64_t due = uint64_t(elapsed.count()) * format.rate / 1000000u;
        if (due <= sent)
            continue;
        // At most a second per event; a late wake-up sends what is due in one go.
        const uint64_t count = std::min<uint64_t>(due - sent, format.rate);
        samples.resize(size_t(count) * format.channels);
        for (uint64_t i = 0; i < count; ++i) {
            const int16_t v = AudioSample(d.cfg.tone_hz, format.rate, sent + i);
            for (unsigned c = 0; c < format.channels; ++c)
                samples[size_t(i) * format.channels + c] = v;
        }
        MessageBuilder e = MessageBuilder::Event(EVT_AUDIO_DATA);
        for (int16_t v : samples)  // little-endian whatever the host
            e.Payload().U8(uint8_t(uint16_t(v) & 0xFF)), e.Payload().U8(uint8_t(uint16_t(v) >> 8));
        if (!Send(s, e.Take()))
            return;
        sent += count;
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.audio_frames += count;
    }
}

}  // namespace Sim
