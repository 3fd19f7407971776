#include "imaging/Encoder.h"

#include "imaging/Decoder.h"

#include <algorithm>
#include <cstring>

namespace imaging {
namespace {

void PutLe32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

std::vector<uint8_t> Header(uint32_t width, uint32_t height, uint32_t flags, uint32_t id)
{
    std::vector<uint8_t> frame(kCompressedHeaderBytes, 0);
    PutLe32(frame.data() + 12, width);
    PutLe32(frame.data() + 16, height);
    PutLe32(frame.data() + 32, flags);
    PutLe32(frame.data() + 36, id);
    return frame;
}

// Appends `stream` as blocks of `type`, numbered from 0. Only the last block of a
// payload may be short, and an end marker follows here, so the last block is
// padded with zeros: zero deltas leave samples as they are, and complete data
// past the picture is ignored.
void AppendBlocks(std::vector<uint8_t> &frame, uint8_t type, const std::vector<uint8_t> &stream)
{
    for (size_t at = 0, number = 0; at < stream.size(); at += kCompressedBlockBytes, ++number) {
        const size_t n = std::min(kCompressedBlockBytes, stream.size() - at);
        const uint8_t head[4] = {0, static_cast<uint8_t>(type << 4), static_cast<uint8_t>(number),
                                 static_cast<uint8_t>(number >> 8)};
        frame.insert(frame.end(), head, head + 4);
        frame.insert(frame.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                     stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        frame.resize(frame.size() + kCompressedBlockBytes - n, 0);
    }
}

void Finish(std::vector<uint8_t> &frame)
{
    const uint8_t end[4] = {0, 0xF0, 0, 0};
    frame.insert(frame.end(), end, end + 4);
    PutLe32(frame.data() + 40, static_cast<uint32_t>(frame.size() - kCompressedHeaderBytes));
}

// The picture with its rows in transmitted order.
std::vector<uint8_t> Transmitted(const uint8_t *picture, uint64_t size, uint32_t height, bool fields)
{
    std::vector<uint8_t> out(picture, picture + size);
    if (!fields)
        return out;
    const uint64_t row = size / height, first = (uint64_t{height} + 1) / 2;
    for (uint64_t r = 0; r < height; ++r) {
        const uint64_t from = r < first ? 2 * r : 2 * (r - first) + 1;
        std::memcpy(out.data() + r * row, picture + from * row, static_cast<size_t>(row));
    }
    return out;
}

uint64_t SweepPixel(uint64_t g, uint64_t pixels, uint32_t passes)
{
    if (passes <= 1)
        return g;
    const uint64_t first = (pixels + 1) / 2;
    return g < first ? 2 * g : 2 * (g - first) + 1;
}

bool Encodable(uint32_t width, uint32_t height, uint32_t id, const EncodeOptions &options, uint64_t &size)
{
    const uint32_t target = DefaultTargetFor(id);
    if (target == 0 || width == 0 || height == 0 || (options.passes != 1 && options.passes != 2))
        return false;
    if ((target == kYuy2 || target == kUyvy) && (width & 1))
        return false;
    size = FrameSize(width, height, target);
    // Block numbers are 16 bits: the complete-data stream (3 bytes per pixel) must fit.
    const uint64_t stream = uint64_t{width} * height * 3;
    return size != 0 && size < 0x10000000 && stream <= 65536 * kCompressedBlockBytes;
}

}  // namespace

std::vector<uint8_t> FrameEncoder::EncodeSelfContained(const uint8_t *picture, uint32_t width, uint32_t height,
                                                       uint32_t compressed_id, const EncodeOptions &options)
{
    uint64_t size = 0;
    if (!picture || !Encodable(width, height, compressed_id, options, size))
        return {};
    const uint32_t target = DefaultTargetFor(compressed_id);
    std::vector<uint8_t> sent = Transmitted(picture, size, height, options.fields);
    const uint64_t pixels = uint64_t{width} * height;
    std::vector<uint8_t> stream(static_cast<size_t>(pixels * 3));
    if (target == kRgb24 || target == kBgr24) {
        for (uint64_t g = 0; g < pixels; ++g)
            std::memcpy(&stream[g * 3], &sent[SweepPixel(g, pixels, options.passes) * 3], 3);
    } else {
        const uint64_t luma = target == kYuy2 ? 0 : 1, chroma = 1 - luma;
        auto u_of = [&](uint64_t k) { return sent[4 * (k / 2) + chroma]; };
        auto v_of = [&](uint64_t k) { return sent[4 * (k / 2) + chroma + 2]; };
        for (uint64_t g = 0; g < pixels; ++g) {
            const uint64_t k = SweepPixel(g, pixels, options.passes);
            uint64_t ku = k, kv = k;
            if (options.passes == 2) {
                if ((k & 3) == 1 && k + 1 < pixels)
                    ku = k + 1;
                if ((k & 3) == 2)
                    kv = k - 1;
            }
            stream[g * 3] = u_of(ku);
            stream[g * 3 + 1] = sent[2 * k + luma];
            stream[g * 3 + 2] = v_of(kv);
        }
    }
    uint32_t flags = options.passes | kCompressedSelfContained | (options.fields ? kCompressedFields : 0);
    std::vector<uint8_t> frame = Header(width, height, flags, compressed_id);
    AppendBlocks(frame, 3, stream);
    Finish(frame);
    reference_ = std::move(sent);
    return frame;
}

std::vector<uint8_t> FrameEncoder::EncodeDelta(const uint8_t *picture, uint32_t width, uint32_t height,
                                               uint32_t compressed_id, const EncodeOptions &options)
{
    uint64_t size = 0;
    if (!picture || !Encodable(width, height, compressed_id, options, size))
        return {};
    if (reference_.size() != size)
        reference_.assign(static_cast<size_t>(size), 0);
    const uint32_t target = DefaultTargetFor(compressed_id);
    // Rows reordered only for fields; otherwise the picture is read where it is.
    std::vector<uint8_t> reordered;
    if (options.fields)
        reordered = Transmitted(picture, size, height, true);
    const uint8_t *sent = options.fields ? reordered.data() : picture;
    const uint8_t *ref = reference_.data();
    const uint64_t n = options.passes;
    struct Walk {
        uint64_t offset, step;
    };
    Walk walks[3];
    if (target == kYuy2)
        walks[0] = {3, 4}, walks[1] = {0, 2}, walks[2] = {1, 4};
    else if (target == kUyvy)
        walks[0] = {2, 4}, walks[1] = {1, 2}, walks[2] = {0, 4};
    else
        walks[0] = {2, 3}, walks[1] = {1, 3}, walks[2] = {0, 3};
    uint32_t flags = options.passes | (options.fields ? kCompressedFields : 0);
    std::vector<uint8_t> frame = Header(width, height, flags, compressed_id);
    std::vector<uint8_t> deltas(static_cast<size_t>(size / 2 + 1)), stream;
    for (int c = 0; c < 3; ++c) {
        size_t count = 0;
        uint8_t any = 0;
        for (uint64_t sweep = 0; sweep < n; ++sweep) {
            const uint64_t stride = walks[c].step * n;
            for (uint64_t at = walks[c].offset + sweep * walks[c].step; at < size; at += stride) {
                const uint8_t d = static_cast<uint8_t>(sent[at] - ref[at]);
                any |= d;
                deltas[count++] = d;
            }
        }
        if (!any)
            continue;
        // Trailing zeros need not be sent.
        size_t end = count;
        while (end > 0 && deltas[end - 1] == 0)
            --end;
        stream.clear();
        int prev = -1;
        for (size_t i = 0; i < end;) {
            const uint8_t d = deltas[i++];
            stream.push_back(d);
            if (prev != d) {
                prev = d;
                continue;
            }
            size_t m = 0;
            while (m < 255 && i + m < end && deltas[i + m] == d)
                ++m;
            stream.push_back(static_cast<uint8_t>(m));
            i += m;
            prev = -1;
        }
        AppendBlocks(frame, static_cast<uint8_t>(c), stream);
    }
    Finish(frame);
    return frame;
}

}  // namespace imaging
