#include "capture/Pipeline.h"

#include "PipelineInternal.h"

#include <imaging/Decoder.h>
#include <imaging/Format.h>
#include <imaging/PlaneScaler.h>
#include <imaging/Planes.h>
#include <imaging/Scaler.h>
#include <options/BitmapCheck.h>
#include <ambry/File.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace Capture {

namespace {

constexpr const char *kScaleModeNames[] = {
    "none",     "pixel_resize", "weighted_average_own", "fast_bilinear",
    "bilinear", "bicubic",      "experimental",         "nearest_neighbour",
    "weighted_average", "luma_bicubic_chroma_bilinear", "sinc", "lanczos",
    "spline",
};

}  // namespace

bool FormatFromOptionName(std::string_view name, PixelFormat *format)
{
    static constexpr struct {
        std::string_view name;
        PixelFormat format;
    } kNames[] = {{"YUY2", PixelFormat::YUY2}, {"UYVY", PixelFormat::UYVY}, {"YV12", PixelFormat::YV12},
                  {"IYUV", PixelFormat::I420}, {"I420", PixelFormat::I420}, {"RGB24", PixelFormat::BGR}};
    for (const auto &entry : kNames) {
        if (entry.name == name) {
            if (format)
                *format = entry.format;
            return true;
        }
    }
    return false;
}

const char *FormatName(PixelFormat format)
{
    switch (format) {
    case PixelFormat::YUY2: return "YUY2";
    case PixelFormat::UYVY: return "UYVY";
    case PixelFormat::YV12: return "YV12";
    case PixelFormat::I420: return "I420";
    case PixelFormat::BGR: return "BGR";
    }
    return "";
}

const char *ScaleModeName(uint32_t code)
{
    return code <= kScaleLast ? kScaleModeNames[code] : "";
}

bool LayoutOf(const OutputShape &want, FrameLayout *layout)
{
    FrameLayout out;
    const int32_t w = want.width, h = want.height;
    const bool planar = want.format == PixelFormat::YV12 || want.format == PixelFormat::I420;
    const bool valid = w >= 2 && w <= kMaxSide && w % 2 == 0 && h >= 1 && h <= kMaxSide && (!planar || h % 2 == 0) &&
                       int(want.format) >= 0 && int(want.format) < kPixelFormatCount;
    if (!valid) {
        if (layout)
            *layout = out;
        return false;
    }
    if (planar) {
        out.planes = 3;
        out.stride[0] = w;
        out.rows[0] = h;
        out.stride[1] = out.stride[2] = w / 2;
        out.rows[1] = out.rows[2] = h / 2;
        out.offset[1] = size_t(w) * size_t(h);
        out.offset[2] = out.offset[1] + size_t(w / 2) * size_t(h / 2);
        out.bytes = out.offset[2] + size_t(w / 2) * size_t(h / 2);
    } else {
        out.planes = 1;
        out.stride[0] = want.format == PixelFormat::BGR ? 3 * w : 2 * w;
        out.rows[0] = h;
        out.bytes = size_t(out.stride[0]) * size_t(h);
    }
    if (layout)
        *layout = out;
    return true;
}

size_t FrameBytes(const OutputShape &want)
{
    FrameLayout layout;
    return LayoutOf(want, &layout) ? layout.bytes : 0;
}

bool IsAcceptedSource(uint32_t format)
{
    // The stream as the device sends it, or its pairs as the grabber library decodes them.
    const uint32_t id = imaging::FormatIdOf(format);
    return imaging::IsStreamFormat(id) || id == imaging::kYuy2 || id == imaging::kUyvy;
}

namespace {

using imaging::ChromaRows;
using imaging::ConstPlane;
using imaging::Plane;

// Where a picture's rows start, for each plane of an output layout, at pixel
// (x, y) (x and y even where chroma is subsampled).
struct Planes {
    Plane p[3];
};

Planes PlanesOf(uint8_t *base, const FrameLayout &layout, PixelFormat format, int32_t x, int32_t y)
{
    Planes out;
    if (layout.planes == 1) {
        const int bpp = format == PixelFormat::BGR ? 3 : 2;
        out.p[0] = {base + int64_t(y) * layout.stride[0] + int64_t(x) * bpp, layout.stride[0]};
        return out;
    }
    out.p[0] = {base + int64_t(y) * layout.stride[0] + x, layout.stride[0]};
    // I420 keeps U first; YV12 stores V first, so its second plane is V.
    const int u = format == PixelFormat::YV12 ? 2 : 1, v = format == PixelFormat::YV12 ? 1 : 2;
    out.p[1] = {base + layout.offset[u] + int64_t(y / 2) * layout.stride[u] + x / 2, layout.stride[u]};
    out.p[2] = {base + layout.offset[v] + int64_t(y / 2) * layout.stride[v] + x / 2, layout.stride[v]};
    return out;
}

void FillBlack(uint8_t *dst, const FrameLayout &layout, PixelFormat format)
{
    switch (format) {
    case PixelFormat::BGR:
        std::memset(dst, 0, layout.bytes);
        break;
    case PixelFormat::YUY2:
    case PixelFormat::UYVY: {
        const uint8_t pair[2] = {format == PixelFormat::YUY2 ? uint8_t(16) : uint8_t(128),
                                 format == PixelFormat::YUY2 ? uint8_t(128) : uint8_t(16)};
        for (size_t i = 0; i + 1 < layout.bytes; i += 2) {
            dst[i] = pair[0];
            dst[i + 1] = pair[1];
        }
        break;
    }
    case PixelFormat::YV12:
    case PixelFormat::I420:
        std::memset(dst, 16, layout.offset[1]);
        std::memset(dst + layout.offset[1], 128, layout.bytes - layout.offset[1]);
        break;
    }
}

bool IsPlanar(PixelFormat f) { return f == PixelFormat::YV12 || f == PixelFormat::I420; }

// A received picture ready to read: its first row as seen (flip applied).
struct SourceView {
    ConstPlane rows;
    bool rgb = false;        // 24-bit, else packed 4:2:2
    bool red_first = false;  // 24-bit: red in byte 0
    bool uyvy = false;       // 4:2:2: U Y V Y
    int32_t width = 0, height = 0;

    SourceView Window(int32_t x, int32_t y, int32_t w, int32_t h) const
    {
        SourceView v = *this;
        v.rows.data = rows.data + int64_t(y) * rows.stride + int64_t(x) * (rgb ? 3 : 2);
        v.width = w;
        v.height = h;
        return v;
    }
};

// Converts a view into output planes of the same size.
void ConvertSame(const SourceView &src, const Planes &out, PixelFormat format)
{
    const int32_t w = src.width, h = src.height;
    switch (format) {
    case PixelFormat::BGR:
        if (src.rgb)
            imaging::Rgb24ToRgb24(src.rows, out.p[0], src.red_first, w, h);
        else
            imaging::Packed422ToRgb24(src.rows, src.uyvy, out.p[0], false, w, h);
        break;
    case PixelFormat::YUY2:
    case PixelFormat::UYVY:
        if (src.rgb)
            imaging::Rgb24ToPacked422(src.rows, src.red_first, out.p[0], format == PixelFormat::UYVY, w, h);
        else
            imaging::Packed422ToPacked422(src.rows, src.uyvy, out.p[0], format == PixelFormat::UYVY, w, h);
        break;
    case PixelFormat::YV12:
    case PixelFormat::I420:
        if (src.rgb)
            imaging::Rgb24ToYuv(src.rows, src.red_first, out.p[0], out.p[1], out.p[2], w, h, ChromaRows::kHalf);
        else
            imaging::Packed422ToYuv(src.rows, src.uyvy, out.p[0], out.p[1], out.p[2], w, h, ChromaRows::kHalf);
        break;
    }
}

uint8_t *Grow(std::vector<uint8_t> &buffer, size_t bytes)
{
    if (buffer.size() < bytes)
        buffer.resize(bytes);
    return buffer.data();
}

// Brings pictures of any accepted kind and size to one output: same size by one
// conversion pass, other sizes by conversion to planes at the source size, then
// resampling, then (for packed outputs) interleaving.
class Converter {
public:
    bool Run(const SourceView &src, const OutputShape &want, const FrameLayout &layout, uint32_t mode, uint8_t *dst)
    {
        if (src.width == want.width && src.height == want.height) {
            ConvertSame(src, PlanesOf(dst, layout, want.format, 0, 0), want.format);
            return true;
        }
        if (mode == kScaleNone)
            return Centre(src, want, layout, dst);
        if (mode == 1 || mode == 2)
            return OwnResample(src, want, layout, mode, dst);
        return Filtered(src, want, layout, mode, dst);
    }

private:
    // The picture's centre at its own size; the rest black.
    bool Centre(const SourceView &src, const OutputShape &want, const FrameLayout &layout, uint8_t *dst)
    {
        FillBlack(dst, layout, want.format);
        const int32_t w = std::min(src.width, want.width) & ~1;
        int32_t h = std::min(src.height, want.height);
        if (IsPlanar(want.format))
            h &= ~1;
        if (w <= 0 || h <= 0)
            return true;
        // Pixel pairs stay pairs; 4:2:0 outputs keep rows in pairs too.
        const int32_t x_align = want.format == PixelFormat::BGR ? ~0 : ~1;
        const int32_t y_align = IsPlanar(want.format) ? ~1 : ~0;
        const int32_t sx = ((src.width - w) / 2) & (src.rgb ? ~0 : ~1), sy = (src.height - h) / 2;
        const int32_t dx = ((want.width - w) / 2) & x_align, dy = ((want.height - h) / 2) & y_align;
        ConvertSame(src.Window(sx, sy, w, h), PlanesOf(dst, layout, want.format, dx, dy), want.format);
        return true;
    }

    // Pixel resize (1) and the own weighted average (2) work on the output's own
    // packed layout; on planes, 2 is the area filter as the scaler has it.
    bool OwnResample(const SourceView &src, const OutputShape &want, const FrameLayout &layout, uint32_t mode,
                     uint8_t *dst)
    {
        if (IsPlanar(want.format)) {
            if (mode == 2)
                return Filtered(src, want, layout, 8, dst);
            const FrameLayout mid = ToPlanar(src, ChromaRows::kHalf);
            const Planes out = PlanesOf(dst, layout, want.format, 0, 0);
            for (int k = 0; k < 3; ++k) {
                imaging::FrameBuffer in{work_.data() + mid.offset[k], size_t(mid.stride[k]) * size_t(mid.rows[k]),
                                        imaging::kLuma8, mid.stride[k], mid.rows[k]};
                // Output planes are tightly packed, so each is one buffer.
                imaging::FrameBuffer o{out.p[k].data, size_t(out.p[k].stride) * size_t(k ? want.height / 2 : want.height),
                                       0, int32_t(out.p[k].stride), k ? want.height / 2 : want.height};
                if (!imaging::PixelResize(in, o))
                    return false;
            }
            return true;
        }
        const uint32_t id = want.format == PixelFormat::BGR    ? imaging::kBgr24
                            : want.format == PixelFormat::YUY2 ? imaging::kYuy2
                                                               : imaging::kUyvy;
        const int32_t w = src.width & ~1, h = src.height;
        const size_t bytes = size_t(imaging::FrameSize(w, h, id));
        OutputShape same{want.format, w, h};
        FrameLayout same_layout;
        if (!LayoutOf(same, &same_layout))
            return false;
        ConvertSame(src.Window(0, 0, w, h), PlanesOf(Grow(work_, bytes), same_layout, want.format, 0, 0), want.format);
        imaging::FrameBuffer in{work_.data(), bytes, id, w, h};
        imaging::FrameBuffer out{dst, layout.bytes, 0, want.width, want.height};
        if (mode == 2 && id == imaging::kBgr24)
            return imaging::WeightedAverage(in, out);
        return imaging::PixelResize(in, out);
    }

    // Modes 3-12: the filters of libswscale, run plane by plane.
    bool Filtered(const SourceView &src, const OutputShape &want, const FrameLayout &layout, uint32_t mode,
                  uint8_t *dst)
    {
        if (want.format == PixelFormat::BGR) {
            const int32_t w = src.width & ~1, h = src.height;
            const size_t plane = size_t(w) * size_t(h);
            uint8_t *p = Grow(work_, 3 * plane);
            // Byte order B, G, R: the middle plane is green whichever comes first.
            Plane bgr[3] = {{p, w}, {p + plane, w}, {p + 2 * plane, w}};
            if (src.rgb) {
                imaging::SplitRgb24(src.rows, src.red_first ? bgr[2] : bgr[0], bgr[1], src.red_first ? bgr[0] : bgr[2],
                                    w, h);
            } else {
                uint8_t *packed = Grow(packed_, 3 * plane);
                imaging::Packed422ToRgb24(src.rows, src.uyvy, {packed, 3 * w}, false, w, h);
                imaging::SplitRgb24({packed, 3 * w}, bgr[0], bgr[1], bgr[2], w, h);
            }
            const size_t out_plane = size_t(want.width) * size_t(want.height);
            uint8_t *o = Grow(scaled_, 3 * out_plane);
            // Mode 9 treats green as luma (bicubic) and blue and red as chroma (bilinear).
            if (!main_.Configure(w, h, want.width, want.height, mode, imaging::PlaneSiting::kFull) ||
                (mode == 9 && !side_.Configure(w, h, want.width, want.height, 4, imaging::PlaneSiting::kFull)))
                return false;
            for (int k = 0; k < 3; ++k) {
                imaging::PlaneScaler &scaler = k == 1 || mode != 9 ? main_ : side_;
                if (!scaler.Run(bgr[k], {o + k * out_plane, want.width}))
                    return false;
            }
            imaging::MergeRgb24({o, want.width}, {o + out_plane, want.width}, {o + 2 * out_plane, want.width},
                                {dst, int64_t(layout.stride[0])}, want.width, want.height);
            return true;
        }
        const bool planar = IsPlanar(want.format);
        const ChromaRows rows = planar ? ChromaRows::kHalf : ChromaRows::kFull;
        const FrameLayout mid = ToPlanar(src, rows);
        const imaging::PlaneSiting siting = planar ? imaging::PlaneSiting::kChroma420 : imaging::PlaneSiting::kChroma422;
        const int32_t cw = want.width / 2, ch = planar ? want.height / 2 : want.height;
        if (!main_.Configure(mid.stride[0], mid.rows[0], want.width, want.height, mode, imaging::PlaneSiting::kFull) ||
            !side_.Configure(mid.stride[1], mid.rows[1], cw, ch, mode, siting))
            return false;
        Planes out;
        if (planar) {
            out = PlanesOf(dst, layout, want.format, 0, 0);
        } else {
            const size_t luma = size_t(want.width) * size_t(want.height), chroma = size_t(cw) * size_t(ch);
            uint8_t *o = Grow(scaled_, luma + 2 * chroma);
            out.p[0] = {o, want.width};
            out.p[1] = {o + luma, cw};
            out.p[2] = {o + luma + chroma, cw};
        }
        for (int k = 0; k < 3; ++k) {
            imaging::PlaneScaler &scaler = k == 0 ? main_ : side_;
            if (!scaler.Run({work_.data() + mid.offset[k], mid.stride[k]}, out.p[k]))
                return false;
        }
        if (!planar)
            imaging::YuvToPacked422(out.p[0], out.p[1], out.p[2], {dst, int64_t(layout.stride[0])},
                                    want.format == PixelFormat::UYVY, want.width, want.height, ChromaRows::kFull);
        return true;
    }

    // The picture as Y, U, V planes at its own size (even width, and even height
    // for 4:2:0) in work_.
    FrameLayout ToPlanar(const SourceView &src, ChromaRows chroma)
    {
        const int32_t w = src.width & ~1, h = chroma == ChromaRows::kHalf ? src.height & ~1 : src.height;
        const int32_t ch = chroma == ChromaRows::kHalf ? h / 2 : h;
        FrameLayout mid;
        mid.planes = 3;
        mid.stride[0] = w;
        mid.rows[0] = h;
        mid.stride[1] = mid.stride[2] = w / 2;
        mid.rows[1] = mid.rows[2] = ch;
        mid.offset[1] = size_t(w) * size_t(h);
        mid.offset[2] = mid.offset[1] + size_t(w / 2) * size_t(ch);
        mid.bytes = mid.offset[2] + size_t(w / 2) * size_t(ch);
        uint8_t *p = Grow(work_, mid.bytes);
        const Plane y{p, w}, u{p + mid.offset[1], w / 2}, v{p + mid.offset[2], w / 2};
        if (src.rgb)
            imaging::Rgb24ToYuv(src.rows, src.red_first, y, u, v, w, h, chroma);
        else
            imaging::Packed422ToYuv(src.rows, src.uyvy, y, u, v, w, h, chroma);
        return mid;
    }

    imaging::PlaneScaler main_, side_;
    std::vector<uint8_t> work_, packed_, scaled_;
};

}  // namespace

struct FramePipeline::State {
    OutputShape want;
    PipelineOptions options;
    FrameLayout layout;
    bool configured = false;
    Converter live;
    imaging::FrameDecoder decoder;
    std::vector<uint8_t> decoded;
    // The no-signal picture: the bitmap as top-down 24-bit pixels, and the frame
    // made from it for the current output (made once per configuration).
    DecodedBitmap bitmap;
    std::vector<uint8_t> no_signal;
    bool no_signal_ready = false;
};

FramePipeline::FramePipeline() : state_(std::make_unique<State>()) {}
FramePipeline::~FramePipeline() = default;

bool FramePipeline::Configure(const OutputShape &want, const PipelineOptions &options)
{
    FrameLayout layout;
    if (!LayoutOf(want, &layout) || options.scale_mode > kScaleLast)
        return false;
    State &s = *state_;
    s.no_signal_ready = s.no_signal_ready && s.configured && want.format == s.want.format &&
                        want.width == s.want.width && want.height == s.want.height &&
                        options.scale_mode == s.options.scale_mode;
    s.want = want;
    s.options = options;
    s.layout = layout;
    s.configured = true;
    return true;
}

const OutputShape &FramePipeline::Output() const { return state_->want; }
const PipelineOptions &FramePipeline::Options() const { return state_->options; }

bool FramePipeline::Process(const SourceFrame &frame, uint8_t *dst, size_t dst_size)
{
    State &s = *state_;
    if (!s.configured || !dst || dst_size < s.layout.bytes || !frame.data || !IsAcceptedSource(frame.format))
        return false;
    uint32_t id = imaging::FormatIdOf(frame.format);
    bool bottom_up = imaging::IsBottomUp(frame.format);
    const uint8_t *data = frame.data;
    size_t size = frame.size;
    int64_t width = frame.width, height = frame.height;
    if (imaging::IsCompressed(id)) {
        imaging::CompressedHeader header;
        if (!imaging::ParseCompressedHeader(frame.data, frame.size, header) ||
            !s.decoder.ChooseTarget(frame.data, frame.size, imaging::DefaultTargetFor(id)))
            return false;
        width = header.width;
        height = header.height;
        const uint64_t out = s.decoder.OutputSize(frame.data, frame.size);
        if (out == 0 || width > kMaxSide || height > kMaxSide)
            return false;
        if (s.decoder.Decode(frame.data, frame.size, Grow(s.decoded, size_t(out)), size_t(out)) == 0)
            return false;
        id = s.decoder.TargetId();
        data = s.decoded.data();
        size = size_t(out);
        bottom_up = false;
    }
    if (width < 2 || height < 2 || width > kMaxSide || height > kMaxSide)
        return false;
    const uint64_t needed = imaging::FrameSize(width, height, id);
    if (needed == 0 || size < needed)
        return false;
    SourceView view;
    view.rgb = id == imaging::kRgb24 || id == imaging::kBgr24;
    view.red_first = id == imaging::kRgb24;
    view.uyvy = id == imaging::kUyvy;
    view.width = int32_t(width);
    view.height = int32_t(height);
    const int64_t stride = int64_t(imaging::PackedRowBytes(width, id));
    if (bottom_up != s.options.flip)
        view.rows = {data + (height - 1) * stride, -stride};
    else
        view.rows = {data, stride};
    if (!view.rgb)
        view.width &= ~1;
    return s.live.Run(view, s.want, s.layout, s.options.scale_mode, dst);
}

void FramePipeline::RenderNoSignal(uint8_t *dst, size_t dst_size)
{
    State &s = *state_;
    if (!s.configured || !dst || dst_size < s.layout.bytes)
        return;
    if (s.bitmap.width == 0) {
        FillBlack(dst, s.layout, s.want.format);
        return;
    }
    if (!s.no_signal_ready) {
        SourceView view;
        view.rgb = true;
        view.width = s.bitmap.width;
        view.height = s.bitmap.height;
        view.rows = {s.bitmap.pixels.data(), int64_t(s.bitmap.width) * 3};
        const uint32_t mode = s.options.scale_mode == kScaleNone ? 4 : s.options.scale_mode;
        uint8_t *frame = Grow(s.no_signal, s.layout.bytes);
        Converter still;  // its scratch goes once the picture is made
        if (!still.Run(view, s.want, s.layout, mode, frame))
            FillBlack(frame, s.layout, s.want.format);
        s.no_signal_ready = true;
    }
    std::memcpy(dst, s.no_signal.data(), s.layout.bytes);
}

bool FramePipeline::SetNoSignalBitmap(const uint8_t *data, size_t size)
{
    State &s = *state_;
    ClearNoSignalBitmap();
    BitmapSize checked;
    if (!ValidateBitmapBytes(data, size, &checked) || checked.width % 2 != 0 || checked.width > kMaxSide ||
        checked.height > kMaxSide)
        return false;
    DecodedBitmap bitmap;
    if (!DecodeBitmap(data, size, &bitmap) || bitmap.width != checked.width || bitmap.height != checked.height)
        return false;
    s.bitmap = std::move(bitmap);
    return true;
}

bool FramePipeline::LoadNoSignalBitmap(const std::string &path)
{
    ClearNoSignalBitmap();
    // One open of a regular file of bounded size, so a FIFO or a device named by the
    // stored path neither blocks nor is read without end; the bytes read are what
    // SetNoSignalBitmap checks.
    constexpr uint64_t kMaxFileBytes = uint64_t(kMaxSide) * kMaxSide * 4 + 4096;
    uint64_t size = 0;
    const int fd = Ambry::FileOpenRegular(path.c_str(), kMaxFileBytes, &size);
    if (fd < 0)
        return false;
    std::vector<uint8_t> bytes;
    bool read = false;
    try {
        bytes.resize(static_cast<size_t>(size));
        read = Ambry::FileReadExact(fd, bytes.data(), bytes.size());
    } catch (const std::bad_alloc &) {
        read = false;
    }
    ::close(fd);
    return read && SetNoSignalBitmap(bytes.data(), bytes.size());
}

void FramePipeline::ClearNoSignalBitmap()
{
    state_->bitmap = DecodedBitmap{};
    state_->no_signal_ready = false;
}

bool FramePipeline::HasNoSignalBitmap() const { return state_->bitmap.width != 0; }

void FramePipeline::ResetDecoder() { state_->decoder.Reset(); }

}  // namespace Capture
