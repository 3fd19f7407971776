// Decoder of compressed stream frames: byte deltas against the reference picture
// (pass 1) and complete sample data (pass 2), in 1024-byte blocks.
#include "imaging/Decoder.h"

#include "Kernels.h"

#include <ambry/FaultInject.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace imaging {
namespace {

// A decoded frame is never larger than this; larger headers are hostile.
constexpr uint64_t kMaxFrameBytes = 0x10000000;

uint32_t ReadLe32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool IsYuvPacked(uint32_t id) { return id == kYuy2 || id == kUyvy; }
bool IsPlanarTarget(uint32_t id) { return IsPlanar420(id) || id == kLuma8; }

// Size of one target frame, or 0 when the header does not describe a frame we
// can lay out (zero or huge sizes, odd sizes for the chroma-pair layouts).
uint64_t TargetSize(uint32_t width, uint32_t height, uint32_t target)
{
    if (width == 0 || height == 0)
        return 0;
    const uint64_t pixels = uint64_t{width} * uint64_t{height};
    if (pixels >= kMaxFrameBytes)
        return 0;
    if ((IsYuvPacked(target) || IsPlanar420(target)) && (width & 1))
        return 0;
    if (IsPlanar420(target) && (height & 1))
        return 0;
    const uint64_t size = pixels * static_cast<uint64_t>(BitsPerPixel(target)) / 8;
    return size >= kMaxFrameBytes ? 0 : size;
}

// Pixel pairs sent as U Y V U Y V to YUY2 (Luma 0) or UYVY (Luma 1): the first
// pixel's U and the second pixel's V make the pair's chroma.
template <int Luma>
void GroupsToPairs(const uint8_t *__restrict in, uint8_t *__restrict out, uint64_t pairs)
{
    constexpr int kChroma = 1 - Luma;
    for (uint64_t k = 0; k < pairs; ++k) {
        const uint8_t *g = in + 6 * k;
        uint8_t *o = out + 4 * k;
        o[Luma] = g[1];
        o[kChroma] = g[0];
        o[Luma + 2] = g[4];
        o[kChroma + 2] = g[5];
    }
}

// One component's walk through its samples during pass 1.
struct Component {
    bool used = false;
    bool chroma422 = false;   // planar chroma: a 4:2:2 walk whose odd rows are dropped
    uint64_t base = 0;        // offset of the first sample (0 for planar chroma)
    uint64_t base_plane = 0;  // planar chroma: where its plane starts in the output
    uint64_t chroma_width = 0;
    uint64_t step = 0;        // distance between the sweeps' starts
    uint64_t stride = 0;      // step * passes
    uint64_t end = 0;         // bytes (packed) or samples (planar chroma) of the walk
    uint64_t pos = 0;
    uint32_t sweep = 0;
    uint32_t sweeps = 0;
    bool done = false;
    int prev = -1;            // previous delta byte, -1 when none
    bool count_next = false;  // the next byte is a repeat count for `run`
    uint8_t run = 0;

    void Start(uint32_t passes)
    {
        sweeps = passes;
        sweep = 0;
        pos = base;
        done = pos >= end;
        prev = -1;
        count_next = false;
    }
    // Adds d to the current sample and moves on; false when the walk was over.
    bool Apply(uint8_t *out, uint8_t d)
    {
        if (done)
            return false;
        if (d != 0) {
            if (!chroma422) {
                out[pos] = static_cast<uint8_t>(out[pos] + d);
            } else {
                const uint64_t row = pos / chroma_width;
                if ((row & 1) == 0) {
                    uint8_t &s = out[base_plane + (row / 2) * chroma_width + pos % chroma_width];
                    s = static_cast<uint8_t>(s + d);
                }
            }
        }
        pos += stride;
        if (pos >= end) {
            ++sweep;
            pos = base + sweep * step;
            done = sweep >= sweeps || pos >= end;
        }
        return true;
    }
};

}  // namespace

bool ParseCompressedHeader(const uint8_t *frame, size_t length, CompressedHeader &header)
{
    if (!frame || length < kCompressedHeaderBytes)
        return false;
    header.width = ReadLe32(frame + 12);
    header.height = ReadLe32(frame + 16);
    header.flags = ReadLe32(frame + 32);
    header.format = ReadLe32(frame + 36);
    header.payload_length = ReadLe32(frame + 40);
    return true;
}

uint32_t DefaultTargetFor(uint32_t compressed_id)
{
    switch (FormatIdOf(compressed_id)) {
    case kCompressed24: return kRgb24;
    case kCompressedBgr24: return kBgr24;
    case kCompressedYuv: return kYuy2;
    case kCompressedUyvy: return kUyvy;
    default: return 0;
    }
}

bool IsAcceptedTarget(uint32_t compressed_id, uint32_t target_id)
{
    const uint32_t target = FormatIdOf(target_id);
    switch (FormatIdOf(compressed_id)) {
    case kCompressed24: return target == kRgb24 || target == kPixel32;
    case kCompressedBgr24: return target == kBgr24 || target == kPixel32;
    case kCompressedYuv:
        return target == kYuy2 || target == kPlanarYvu420 || target == kUyvy || target == kLuma8 ||
               target == kPlanarYuv420;
    case kCompressedUyvy: return target == kUyvy;
    default: return false;
    }
}

uint32_t DecodedId(const uint8_t *frame, size_t length)
{
    CompressedHeader h;
    return ParseCompressedHeader(frame, length, h) ? DefaultTargetFor(h.format) : 0;
}

bool IsSelfContained(const uint8_t *frame, size_t length)
{
    CompressedHeader h;
    return ParseCompressedHeader(frame, length, h) && (h.flags & kCompressedSelfContained) != 0;
}

struct FrameDecoder::State {
    std::vector<uint8_t> reference;
    std::vector<uint8_t> scratch;
    uint32_t target = 0;

    // Context of one decode.
    CompressedHeader header;
    uint32_t id = 0;  // target of this frame
    uint32_t passes = 0;
    uint64_t size = 0;
    uint64_t width = 0, height = 0, pixels = 0;
    uint8_t *out = nullptr;
    uint8_t *ref = nullptr;
    Component comp[3];

    uint32_t TargetFor(uint32_t compressed) const
    {
        return IsAcceptedTarget(compressed, target) ? FormatIdOf(target) : DefaultTargetFor(compressed);
    }
    void SetupComponents();
    void DeltaBlock(Component &c, const uint8_t *data, size_t length);
    void CompleteBlock(uint64_t position, const uint8_t *data, size_t length);
    // Stream bytes i .. length-1 of a complete-data block, one at a time.
    void CompleteBytes(uint64_t position, const uint8_t *data, size_t i, size_t length);
    // Pixel index of the g-th pixel of a sweep-ordered stream.
    uint64_t SweepPixel(uint64_t g) const
    {
        if (passes <= 1)
            return g;
        const uint64_t first = (pixels + 1) / 2;
        return g < first ? 2 * g : 2 * (g - first) + 1;
    }
    void Put(uint64_t at, uint8_t value)
    {
        if (at < size) {
            out[at] = value;
            ref[at] = value;
        }
    }
    // Puts the rows of a field-ordered picture back in picture order; false when no
    // room for the copy could be had.
    [[nodiscard]] bool RebuildFields();
};

void FrameDecoder::State::SetupComponents()
{
    for (Component &c : comp)
        c = Component{};
    const uint64_t n = passes;
    auto packed = [&](int k, uint64_t offset, uint64_t step) {
        Component &c = comp[k];
        c.used = true;
        c.base = offset;
        c.step = step;
        c.stride = step * n;
        c.end = size;
    };
    switch (id) {
    case kYuy2: packed(0, 3, 4); packed(1, 0, 2); packed(2, 1, 4); break;
    case kUyvy: packed(0, 2, 4); packed(1, 1, 2); packed(2, 0, 4); break;
    case kPixel32: packed(0, 3, 4); packed(1, 2, 4); packed(2, 1, 4); break;
    case kRgb24:
    case kBgr24: packed(0, 2, 3); packed(1, 1, 3); packed(2, 0, 3); break;
    case kLuma8:
        packed(1, 0, 1);
        comp[1].end = pixels;
        break;
    case kPlanarYvu420:
    case kPlanarYuv420: {
        packed(1, 0, 1);
        comp[1].end = pixels;
        const uint64_t quarter = (width / 2) * (height / 2);
        const uint64_t v_plane = id == kPlanarYvu420 ? pixels : pixels + quarter;
        const uint64_t u_plane = id == kPlanarYvu420 ? pixels + quarter : pixels;
        for (int k : {0, 2}) {
            Component &c = comp[k];
            c.used = true;
            c.chroma422 = true;
            c.chroma_width = width / 2;
            c.base_plane = k == 0 ? v_plane : u_plane;
            c.base = 0;
            c.step = 1;
            c.stride = n;
            c.end = (width / 2) * height;
        }
        break;
    }
    default: break;
    }
    for (Component &c : comp)
        if (c.used)
            c.Start(passes);
}

void FrameDecoder::State::DeltaBlock(Component &c, const uint8_t *data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        const uint8_t b = data[i];
        if (c.count_next) {
            c.count_next = false;
            c.prev = -1;
            for (uint32_t m = 0; m < b; ++m)
                if (!c.Apply(out, c.run))
                    return;
            continue;
        }
        if (!c.Apply(out, b))
            return;
        if (c.prev == b) {
            c.count_next = true;
            c.run = b;
        } else {
            c.prev = b;
        }
    }
}

void FrameDecoder::State::CompleteBlock(uint64_t position, const uint8_t *data, size_t length)
{
    if ((id == kRgb24 || id == kBgr24) && passes <= 1) {
        if (position >= size)
            return;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, size - position));
        std::memcpy(out + position, data, n);
        std::memcpy(ref + position, data, n);
        return;
    }
    size_t i = 0;
    // YUY2 and UYVY sent in one sweep: whole pixel pairs (6 stream bytes, U Y V
    // twice) make 4 output bytes; the generic walk below takes the ragged ends.
    if (IsYuvPacked(id) && passes <= 1) {
        while (i < length && (position + i) % 6 != 0)
            ++i;
        const size_t lead = i;
        const uint64_t first_pair = (position + i) / 6;
        const uint64_t pairs_left = first_pair < pixels / 2 ? pixels / 2 - first_pair : 0;
        const uint64_t pairs = std::min<uint64_t>((length - i) / 6, pairs_left);
        uint8_t *o = out + first_pair * 4;
        const bool uyvy = id == kUyvy;
        const int64_t fast = kernels::VectorsEnabled() && kernels::HaveSsse3()
                                 ? kernels::GroupsToPairsSsse3(data + i, o, static_cast<int64_t>(pairs), uyvy)
                                 : 0;
        const uint64_t done = static_cast<uint64_t>(fast);
        if (uyvy)
            GroupsToPairs<1>(data + i + 6 * done, o + 4 * done, pairs - done);
        else
            GroupsToPairs<0>(data + i + 6 * done, o + 4 * done, pairs - done);
        std::memcpy(ref + first_pair * 4, o, static_cast<size_t>(pairs * 4));
        CompleteBytes(position, data, 0, lead);
        i += static_cast<size_t>(pairs * 6);
    }
    CompleteBytes(position, data, i, length);
}

void FrameDecoder::State::CompleteBytes(uint64_t position, const uint8_t *data, size_t i, size_t length)
{
    const uint64_t groups = pixels;  // one 3-byte group per pixel in every layout
    while (i < length) {
        const uint64_t p = position + i;
        const uint64_t g = p / 3;
        if (g >= groups)
            return;
        const uint32_t b = static_cast<uint32_t>(p % 3);
        const uint8_t v = data[i];
        ++i;
        const uint64_t k = SweepPixel(g);
        switch (id) {
        case kRgb24:
        case kBgr24:
            Put(k * 3 + b, v);
            break;
        case kPixel32:
            Put(k * 4, 255);
            Put(k * 4 + 1 + b, v);
            break;
        case kYuy2:
        case kUyvy: {
            const uint64_t luma = id == kYuy2 ? 0 : 1, chroma = 1 - luma;
            if (b == 1) {
                Put(2 * k + luma, v);
                break;
            }
            if (passes <= 1) {
                // U (b 0) lands in even pixels, V (b 2) in odd ones.
                if ((b == 0) == ((k & 1) == 0))
                    Put(2 * k + chroma, v);
                break;
            }
            switch (k & 3) {
            case 0: if (b == 0) Put(2 * k + chroma, v); break;
            case 1: if (b == 0 && k + 1 < pixels) Put(2 * (k + 1) + chroma, v); break;
            case 2: if (b == 2) Put(2 * (k - 1) + chroma, v); break;
            case 3: if (b == 2) Put(2 * k + chroma, v); break;
            }
            break;
        }
        default: {  // planar and luma-only
            if (b == 1) {
                Put(k, v);
                break;
            }
            if (id == kLuma8)
                break;
            // The chroma lands where the packed layout would put it (pixel `to`);
            // pixels of even rows carry it into the planes.
            const bool is_u = b == 0;
            uint64_t to = k;
            if (passes <= 1) {
                if ((k % width) & 1)
                    break;
            } else {
                switch (k & 3) {
                case 0: if (!is_u) continue; break;
                case 1: if (!is_u) continue; to = k + 1; break;
                case 2: if (is_u) continue; to = k - 1; break;
                default: if (is_u) continue; break;
                }
            }
            const uint64_t x = to % width, y = to / width;
            if (to >= pixels || (y & 1))
                break;
            const uint64_t cw = width / 2, quarter = cw * (height / 2);
            const bool yvu = id == kPlanarYvu420;
            const uint64_t u_plane = pixels + (yvu ? quarter : 0);
            const uint64_t v_plane = pixels + (yvu ? 0 : quarter);
            Put((is_u ? u_plane : v_plane) + (y / 2) * cw + x / 2, v);
            break;
        }
        }
    }
}

bool FrameDecoder::State::RebuildFields()
{
    const uint64_t row = size / height;
    if (Ambry::FaultHit(Ambry::FaultKind::Alloc))
        return false;
    try {
        scratch.assign(out, out + size);
    } catch (const std::bad_alloc &) {
        scratch.clear();
        return false;
    }
    // The first field holds the even rows: ceil(h / 2) of them, so an odd height
    // never writes past the last row.
    const uint64_t first = (height + 1) / 2;
    for (uint64_t r = 0; r < height; ++r) {
        const uint64_t to = r < first ? 2 * r : 2 * (r - first) + 1;
        std::memcpy(out + to * row, scratch.data() + r * row, static_cast<size_t>(row));
    }
    return true;
}

FrameDecoder::FrameDecoder() : state_(std::make_unique<State>()) {}
FrameDecoder::~FrameDecoder() = default;

bool FrameDecoder::ChooseTarget(const uint8_t *frame, size_t length, uint32_t requested_id)
{
    CompressedHeader h;
    if (!ParseCompressedHeader(frame, length, h))
        return false;
    if (IsAcceptedTarget(h.format, requested_id)) {
        state_->target = FormatIdOf(requested_id);
        return true;
    }
    state_->target = DefaultTargetFor(h.format);
    return false;
}

uint32_t FrameDecoder::TargetId() const { return state_->target; }

uint64_t FrameDecoder::OutputSize(const uint8_t *frame, size_t length) const
{
    CompressedHeader h;
    if (!ParseCompressedHeader(frame, length, h) || !IsCompressed(h.format))
        return 0;
    return TargetSize(h.width, h.height, state_->TargetFor(h.format));
}

void FrameDecoder::Reset()
{
    state_->reference.clear();
    state_->reference.shrink_to_fit();
}

size_t FrameDecoder::Decode(const uint8_t *frame, size_t length, uint8_t *out, size_t out_size)
{
    State &s = *state_;
    if (!ParseCompressedHeader(frame, length, s.header) || !out || !IsCompressed(s.header.format))
        return 0;
    s.id = s.TargetFor(s.header.format);
    s.passes = s.header.flags & kCompressedPassMask;
    // Zero passes have no stride to walk; three give half a stride that is not a
    // whole sample. Neither is decoded.
    if (s.passes != 1 && s.passes != 2)
        return 0;
    s.size = TargetSize(s.header.width, s.header.height, s.id);
    if (s.size == 0 || out_size < s.size)
        return 0;
    s.width = s.header.width;
    s.height = s.header.height;
    s.pixels = s.width * s.height;
    if (s.reference.size() != s.size) {
        if (Ambry::FaultHit(Ambry::FaultKind::Alloc)) {
            s.reference.clear();
            return 0;
        }
        try {
            s.reference.assign(static_cast<size_t>(s.size), 0);
        } catch (const std::bad_alloc &) {
            s.reference.clear();
            return 0;
        }
    }
    s.out = out;
    s.ref = s.reference.data();

    const uint8_t *payload = frame + kCompressedHeaderBytes;
    const size_t payload_length =
        static_cast<size_t>(std::min<uint64_t>(s.header.payload_length, length - kCompressedHeaderBytes));
    const size_t consumed =
        static_cast<size_t>(std::min<uint64_t>(uint64_t{s.header.payload_length} + kCompressedHeaderBytes, length));

    // Walks the blocks, handing those of the wanted kind to `take`.
    auto walk = [&](bool deltas, auto &&take) {
        size_t at = 0;
        while (at + 4 <= payload_length) {
            const uint32_t type = payload[at + 1] >> 4;
            const uint32_t number = uint32_t{payload[at + 2]} | uint32_t{payload[at + 3]} << 8;
            at += 4;
            if (type > 3)
                return;  // end marker
            const size_t n = std::min(kCompressedBlockBytes, payload_length - at);
            if ((type < 3) == deltas)
                take(type, number, payload + at, n);
            at += n;
        }
    };

    if (!(s.header.flags & kCompressedSelfContained)) {
        std::memcpy(out, s.ref, static_cast<size_t>(s.size));
        s.SetupComponents();
        walk(true, [&](uint32_t type, uint32_t, const uint8_t *data, size_t n) {
            Component &c = s.comp[type];
            if (c.used)
                s.DeltaBlock(c, data, n);
        });
    }
    walk(false, [&](uint32_t, uint32_t number, const uint8_t *data, size_t n) {
        s.CompleteBlock(uint64_t{number} * kCompressedBlockBytes, data, n);
    });
    // Packed targets, 32-bit ones included, get their rows back in picture order;
    // the planar targets keep the transmitted order.
    // Without room to reorder the rows the picture is not delivered; the reference
    // (kept in transmitted order) stays right for the next frame.
    if ((s.header.flags & kCompressedFields) && !IsPlanarTarget(s.id) && !s.RebuildFields())
        return 0;
    return consumed;
}

}  // namespace imaging
