// The samples of a device's audio on their way to the graph: interleaved signed
// 16-bit samples in the node's channels (1 or 2), in a ring of fixed size. What the
// device sends is taken in its own format (mono doubled into stereo, or the left
// channel of stereo for mono) in any split, also inside a sample frame; data in a
// format the ring cannot carry is dropped. Not thread-safe: its owner locks.
#pragma once

#include <grabber/Records.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Capture {

class AudioRing {
public:
    // Empties the ring and makes it hold `capacity_ms` of `channels` at `rate`.
    void Configure(uint32_t channels, uint32_t rate, uint32_t capacity_ms);
    // Empty again; the device's samples are counted from 0.
    void Reset();
    // The device's format from now on (the ring is reset); false when its samples
    // cannot become the ring's (another rate or sample size, or a bad record): the
    // data that follows is dropped.
    bool SetDeviceFormat(const Grabber::AudioFormat &format);
    // The device's bytes; when full, the oldest sample frames make room. The
    // number of frames dropped for room.
    uint64_t Put(const uint8_t *data, size_t size);
    // Drops the oldest down to `keep_ms` when the ring holds more than `limit_ms`;
    // the number of frames dropped.
    uint64_t Trim(uint32_t limit_ms, uint32_t keep_ms);
    // Moves up to `frames` sample frames into `out`; the number moved.
    size_t Take(int16_t *out, size_t frames);

    size_t Frames() const { return m_fill / m_channels; }  // held now
    double Ms() const { return double(Frames()) * 1000.0 / m_rate; }
    uint64_t DeviceFrames() const { return m_deviceFrames; }  // put since the last reset
    bool Usable() const { return m_usable; }
    uint32_t Channels() const { return m_channels; }
    uint32_t Rate() const { return m_rate; }
    size_t CapacityFrames() const { return m_samples.size() / m_channels; }

private:
    // Appends one device sample frame; true when the oldest frame made room for it.
    bool PutFrame(const uint8_t *p);

    std::vector<int16_t> m_samples;
    uint32_t m_channels = 2, m_rate = 22050;
    size_t m_read = 0, m_fill = 0;  // in samples
    uint32_t m_deviceChannels = 0;
    bool m_usable = false;
    std::vector<uint8_t> m_partial;  // a device sample frame split across data
    uint64_t m_deviceFrames = 0;
};

}  // namespace Capture
