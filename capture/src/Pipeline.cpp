#include "capture/Pipeline.h"

#include <imaging/Format.h>

#include <cstring>

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

bool LayoutOf(const OutputSpec &spec, FrameLayout *layout)
{
    FrameLayout out;
    const int32_t w = spec.width, h = spec.height;
    const bool planar = spec.format == PixelFormat::YV12 || spec.format == PixelFormat::I420;
    const bool valid = w >= 2 && w <= kMaxSide && w % 2 == 0 && h >= 1 && h <= kMaxSide && (!planar || h % 2 == 0) &&
                       int(spec.format) >= 0 && int(spec.format) < kPixelFormatCount;
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
        out.stride[0] = spec.format == PixelFormat::BGR ? 3 * w : 2 * w;
        out.rows[0] = h;
        out.bytes = size_t(out.stride[0]) * size_t(h);
    }
    if (layout)
        *layout = out;
    return true;
}

size_t FrameBytes(const OutputSpec &spec)
{
    FrameLayout layout;
    return LayoutOf(spec, &layout) ? layout.bytes : 0;
}

bool IsAcceptedSource(uint32_t format)
{
    switch (imaging::FormatIdOf(format)) {
    case imaging::kRgb24:
    case imaging::kBgr24:
    case imaging::kYuy2:
    case imaging::kUyvy:
    case imaging::kCompressed24:
    case imaging::kCompressedYuv:
    case imaging::kCompressedBgr24:
    case imaging::kCompressedUyvy:
        return true;
    default:
        return false;
    }
}

struct FramePipeline::State {
    OutputSpec spec;
    PipelineOptions options;
    FrameLayout layout;
    bool configured = false;
};

FramePipeline::FramePipeline() : state_(std::make_unique<State>()) {}
FramePipeline::~FramePipeline() = default;

bool FramePipeline::Configure(const OutputSpec &spec, const PipelineOptions &options)
{
    FrameLayout layout;
    if (!LayoutOf(spec, &layout) || options.scale_mode > kScaleLast)
        return false;
    state_->spec = spec;
    state_->options = options;
    state_->layout = layout;
    state_->configured = true;
    return true;
}

const OutputSpec &FramePipeline::Output() const { return state_->spec; }
const PipelineOptions &FramePipeline::Options() const { return state_->options; }

bool FramePipeline::Process(const SourceFrame &frame, uint8_t *dst, size_t dst_size)
{
    const State &s = *state_;
    if (!s.configured || !dst || dst_size < s.layout.bytes || !frame.data)
        return false;
    if (imaging::FormatIdOf(frame.format) == imaging::kBgr24 && s.spec.format == PixelFormat::BGR &&
        frame.width == s.spec.width && frame.height == s.spec.height && !imaging::IsBottomUp(frame.format) &&
        !s.options.flip && frame.size >= s.layout.bytes) {
        std::memcpy(dst, frame.data, s.layout.bytes);
        return true;
    }
    return false;
}

void FramePipeline::RenderNoSignal(uint8_t *dst, size_t dst_size)
{
    const State &s = *state_;
    if (!s.configured || !dst || dst_size < s.layout.bytes)
        return;
    switch (s.spec.format) {
    case PixelFormat::BGR:
        std::memset(dst, 0, s.layout.bytes);
        break;
    case PixelFormat::YUY2:
    case PixelFormat::UYVY: {
        const uint8_t pair[4] = {16, 128, 16, 128};
        const size_t first = s.spec.format == PixelFormat::YUY2 ? 0 : 1;
        for (size_t i = 0; i < s.layout.bytes; i += 2) {
            dst[i] = pair[first];
            dst[i + 1] = pair[first + 1];
        }
        break;
    }
    case PixelFormat::YV12:
    case PixelFormat::I420:
        std::memset(dst, 16, s.layout.offset[1]);
        std::memset(dst + s.layout.offset[1], 128, s.layout.bytes - s.layout.offset[1]);
        break;
    }
}

bool FramePipeline::LoadNoSignalBitmap(const std::string &) { return false; }
bool FramePipeline::SetNoSignalBitmap(const uint8_t *, size_t) { return false; }
void FramePipeline::ClearNoSignalBitmap() {}
bool FramePipeline::HasNoSignalBitmap() const { return false; }
void FramePipeline::ResetDecoder() {}

}  // namespace Capture
