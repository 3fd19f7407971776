// The audio node's ring of samples.
#include "AudioRing.h"

#include <algorithm>

namespace Capture {

void AudioRing::Configure(uint32_t channels, uint32_t rate, uint32_t capacity_ms)
{
    m_channels = channels == 1 ? 1 : 2;
    m_rate = rate > 0 ? rate : 22050;
    m_samples.assign(std::max<size_t>(size_t(m_rate) * capacity_ms / 1000, 1) * m_channels, 0);
    m_usable = false;
    Reset();
}

void AudioRing::Reset()
{
    m_read = m_fill = 0;
    m_partial.clear();
    m_deviceFrames = 0;
}

bool AudioRing::SetDeviceFormat(const Grabber::AudioFormat &format)
{
    Reset();
    m_usable = format.id >= 0 && format.bits == 16 && (format.channels == 1 || format.channels == 2) &&
               format.block == format.channels * 2 && format.rate == m_rate;
    m_deviceChannels = m_usable ? format.channels : 0;
    return m_usable;
}

bool AudioRing::PutFrame(const uint8_t *p)
{
    const size_t capacity = m_samples.size();
    const auto left = int16_t(uint16_t(p[0] | p[1] << 8));
    const auto right = m_deviceChannels == 2 ? int16_t(uint16_t(p[2] | p[3] << 8)) : left;
    const bool full = m_fill + m_channels > capacity;
    if (full) {  // the oldest goes
        m_read = (m_read + m_channels) % capacity;
        m_fill -= m_channels;
    }
    const size_t at = (m_read + m_fill) % capacity;
    m_samples[at] = left;
    if (m_channels == 2)
        m_samples[(at + 1) % capacity] = right;
    m_fill += m_channels;
    ++m_deviceFrames;
    return full;
}

uint64_t AudioRing::Put(const uint8_t *data, size_t size)
{
    if (!m_usable || !data)
        return 0;
    uint64_t dropped = 0;
    const size_t frame = size_t(m_deviceChannels) * 2;
    size_t used = 0;
    if (!m_partial.empty()) {
        used = std::min(frame - m_partial.size(), size);
        m_partial.insert(m_partial.end(), data, data + used);
        if (m_partial.size() < frame)
            return 0;
        dropped += PutFrame(m_partial.data());
        m_partial.clear();
    }
    for (; used + frame <= size; used += frame)
        dropped += PutFrame(data + used);
    m_partial.assign(data + used, data + size);
    return dropped;
}

uint64_t AudioRing::Trim(uint32_t limit_ms, uint32_t keep_ms)
{
    const size_t limit = size_t(m_rate) * limit_ms / 1000 * m_channels;
    const size_t keep = std::min(size_t(m_rate) * keep_ms / 1000 * m_channels, m_fill);
    if (m_fill <= limit)
        return 0;
    const uint64_t dropped = (m_fill - keep) / m_channels;
    m_read = (m_read + m_fill - keep) % m_samples.size();
    m_fill = keep;
    return dropped;
}

size_t AudioRing::Take(int16_t *out, size_t frames)
{
    const size_t capacity = m_samples.size();
    const size_t taken = std::min(frames * m_channels, m_fill);
    for (size_t i = 0; i < taken; ++i)
        out[i] = m_samples[(m_read + i) % capacity];
    m_read = (m_read + taken) % capacity;
    m_fill -= taken;
    return taken / m_channels;
}

}  // namespace Capture
