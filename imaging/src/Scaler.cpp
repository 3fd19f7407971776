// The scaler front end: own pixel resize and weighted average, libswscale for
// the other modes, with one cached libswscale context per scaler.
#include "imaging/Scaler.h"


#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace imaging {
namespace {

struct PlaneLayout {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int count = 0;
    int64_t offset[3] = {0, 0, 0};
    int64_t stride[3] = {0, 0, 0};
};

PlaneLayout LayoutFor(uint32_t id, int64_t w, int64_t h)
{
    PlaneLayout p;
    const int64_t half = (w + 1) / 2;
    auto one = [&](AVPixelFormat f, int64_t stride) {
        p.format = f;
        p.count = 1;
        p.stride[0] = stride;
    };
    switch (id) {
    case kRgb4: one(AV_PIX_FMT_RGB4, half); break;
    case kRgb332: one(AV_PIX_FMT_BGR8, w); break;
    case kRgb565: one(AV_PIX_FMT_BGR565LE, 2 * w); break;
    case kRgb24: one(AV_PIX_FMT_RGB24, 3 * w); break;
    case kYuy2: one(AV_PIX_FMT_YUYV422, 2 * w); break;
    case kUyvy: one(AV_PIX_FMT_UYVY422, 2 * w); break;
    case kBgr565: one(AV_PIX_FMT_RGB565LE, 2 * w); break;
    case kLuma8: one(AV_PIX_FMT_GRAY8, w); break;
    case kBgr24: one(AV_PIX_FMT_BGR24, 3 * w); break;
    case kPixel32: one(AV_PIX_FMT_ARGB, 4 * w); break;
    case kPlanarYvu420:
    case kPlanarYuv420:
        p.format = AV_PIX_FMT_YUV420P;
        p.count = 3;
        p.offset[1] = w * h + half * ((h + 1) / 2);
        p.offset[2] = w * h;
        p.stride[0] = w;
        p.stride[1] = p.stride[2] = half;
        break;
    case kNv12:
        p.format = AV_PIX_FMT_NV12;
        p.count = 2;
        p.offset[1] = w * h;
        p.stride[0] = p.stride[1] = w;
        break;
    default:
        break;
    }
    return p;
}

// Rows of one plane layout: chroma planes of the 4:2:0 layouts have half as many.
int64_t PlaneRows(int plane, int64_t height)
{
    return plane > 0 ? (height + 1) / 2 : height;
}

// A frame in separately padded rows: aligned, and with room past every row.
struct PaddedFrame {
    std::vector<uint8_t> storage;
    uint8_t *planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};

    void Prepare(const PlaneLayout &p, int64_t height)
    {
        constexpr int64_t kAlign = 64;
        int64_t offsets[3] = {0, 0, 0};
        int64_t total = kAlign;
        for (int i = 0; i < p.count; ++i) {
            // 4-bit rows get twice their width: room for a byte per pixel.
            const int64_t room = p.format == AV_PIX_FMT_RGB4 ? 2 * p.stride[i] : p.stride[i];
            strides[i] = static_cast<int>((room + 2 * kAlign) & ~(kAlign - 1));
            offsets[i] = total;
            total += strides[i] * (PlaneRows(i, height) + 2);
        }
        if (storage.size() < static_cast<size_t>(total))
            storage.resize(static_cast<size_t>(total));
        uint8_t *base = storage.data();
        base += (kAlign - reinterpret_cast<uintptr_t>(base) % kAlign) % kAlign;
        for (int i = 0; i < p.count; ++i)
            planes[i] = base + offsets[i] - kAlign;
    }
    void Load(const PlaneLayout &p, const uint8_t *data, int64_t height)
    {
        Prepare(p, height);
        for (int i = 0; i < p.count; ++i)
            for (int64_t r = 0; r < PlaneRows(i, height); ++r)
                std::memcpy(planes[i] + r * strides[i], data + p.offset[i] + r * p.stride[i],
                            static_cast<size_t>(p.stride[i]));
    }
    void Store(const PlaneLayout &p, uint8_t *data, int64_t height) const
    {
        for (int i = 0; i < p.count; ++i)
            for (int64_t r = 0; r < PlaneRows(i, height); ++r)
                std::memcpy(data + p.offset[i] + r * p.stride[i], planes[i] + r * strides[i],
                            static_cast<size_t>(p.stride[i]));
    }
};

// Whether libswscale may work on the frame in place: every row a whole multiple of
// 64 bytes (its vector loops then never run past a row, and so never past the
// buffer) and every plane 16-byte aligned. 4-bit pixels are widened to a byte
// each inside libswscale and always go through a copy.
bool UsableInPlace(const PlaneLayout &p, const uint8_t *data)
{
    if (p.format == AV_PIX_FMT_RGB4 || p.count == 0)
        return false;
    for (int i = 0; i < p.count; ++i)
        if (p.stride[i] % 64 != 0 || p.stride[i] > INT32_MAX ||
            reinterpret_cast<uintptr_t>(data + p.offset[i]) % 16 != 0)
            return false;
    return true;
}

// The planes of a frame used in place.
struct InPlace {
    uint8_t *planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};

    InPlace(const PlaneLayout &p, uint8_t *data)
    {
        for (int i = 0; i < p.count; ++i) {
            planes[i] = data + p.offset[i];
            strides[i] = static_cast<int>(p.stride[i]);
        }
    }
};

}  // namespace

int SwsFlagForMode(uint32_t mode)
{
    switch (mode) {
    case 3: return SWS_FAST_BILINEAR;
    case 4: return SWS_BILINEAR;
    case 5: return SWS_BICUBIC;
    case 6: return SWS_X;
    case 7: return SWS_POINT;
    case 8: return SWS_AREA;
    case 9: return SWS_BICUBLIN;
    case 10: return SWS_SINC;
    case 11: return SWS_LANCZOS;
    case 12: return SWS_SPLINE;
    default: return 0;
    }
}

struct Scaler::State {
    PaddedFrame src_copy, dst_copy;
    int32_t src_width = 0, src_height = 0;
    int32_t dst_width = 0, dst_height = 0;
    uint32_t format = 0;
    SwsContext *context = nullptr;
    uint64_t builds = 0;

    void Drop()
    {
        if (context)
            sws_freeContext(context);
        context = nullptr;
    }
    ~State() { Drop(); }
};

Scaler::Scaler() : state_(std::make_unique<State>()) {}
Scaler::~Scaler() = default;

uint64_t Scaler::ContextBuilds() const { return state_->builds; }

bool Scaler::Scale(const FrameBuffer &src, FrameBuffer &dst)
{
    State &s = *state_;
    const int bits = BitsPerPixel(src.format);
    uint32_t code = src.format;
    const uint32_t id = FormatIdOf(code);
    if (src.width != s.src_width || src.height != s.src_height || dst.width != s.dst_width ||
        dst.height != s.dst_height || code != s.format) {
        s.Drop();
        s.src_width = src.width;
        s.src_height = src.height;
        s.dst_width = dst.width;
        s.dst_height = dst.height;
        s.format = code;
    }
    // Compressed and unknown ids have no frame size: nothing could be copied or resampled.
    if (bits == 0 || IsCompressed(code) || FrameSize(2, 2, code) == 0 || !src.data || !dst.data)
        return false;
    if (src.width <= 0 || (src.width & 1) || src.height <= 0 || dst.width <= 0 || (dst.width & 1) ||
        dst.height <= 0)
        return false;
    const bool planar = IsPlanar420(id) || id == kNv12;
    if (planar && ((src.height & 1) || (dst.height & 1)))
        return false;
    if (planar || id == kPixel32) {
        const uint32_t mode = ScaleModeOf(code);
        const uint32_t swapped = mode == 1 ? 7 : (mode == 2 ? 8 : mode);
        code = (code & ~kScaleModeMask) | (swapped << kScaleModeShift);
        s.format = code;
    }
    const uint64_t src_need = static_cast<uint64_t>(bits) * static_cast<uint64_t>(src.width) / 8 *
                              static_cast<uint64_t>(src.height);
    const uint64_t dst_need = static_cast<uint64_t>(bits) * static_cast<uint64_t>(dst.width) / 8 *
                              static_cast<uint64_t>(dst.height);
    if (src.size < src_need || dst.size < dst_need)
        return false;
    dst.format = src.format & 0x8030FFFFu;
    if (src.width == dst.width && src.height == dst.height) {
        std::memcpy(dst.data, src.data, static_cast<size_t>(FrameSize(src.width, src.height, id)));
        return true;
    }
    const uint32_t mode = ScaleModeOf(code);
    if (mode == 2)
        return WeightedAverage(src, dst) || PixelResize(src, dst);
    if (mode < 3 || mode > 12)
        return PixelResize(src, dst);

    const PlaneLayout in = LayoutFor(id, src.width, src.height);
    const PlaneLayout out = LayoutFor(id, dst.width, dst.height);
    if (in.format == AV_PIX_FMT_NONE)
        return false;
    if (!s.context) {
        s.context = sws_getContext(src.width, src.height, in.format, dst.width, dst.height, out.format,
                                   SwsFlagForMode(mode), nullptr, nullptr, nullptr);
        if (!s.context)
            return false;
        ++s.builds;
    }
    if (UsableInPlace(in, src.data) && UsableInPlace(out, dst.data)) {
        const InPlace from(in, src.data), to(out, dst.data);
        return sws_scale(s.context, from.planes, from.strides, 0, src.height, to.planes, to.strides) == dst.height;
    }
    // libswscale reads and writes a little past the end of short rows. Otherwise it
    // works on padded copies so it never touches bytes outside the caller's buffers.
    s.src_copy.Load(in, src.data, src.height);
    s.dst_copy.Prepare(out, dst.height);
    const int rows = sws_scale(s.context, s.src_copy.planes, s.src_copy.strides, 0, src.height,
                               s.dst_copy.planes, s.dst_copy.strides);
    if (rows != dst.height)
        return false;
    s.dst_copy.Store(out, dst.data, dst.height);
    return true;
}

}  // namespace imaging
