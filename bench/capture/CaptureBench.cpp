// The capture pipeline: frames per second from a received 1920 x 1080 device
// frame to a filled stream buffer, on one core, beside one memcpy of the output
// frame (the least a stream buffer costs). Rates are per second of the thread's
// own processor time: what one core sustains, even on a busy machine.
#include "compare.h"

#include <capture/Pipeline.h>
#include <imaging/Format.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Capture;

constexpr int32_t kWidth = 1920, kHeight = 1080;

// A desktop-like picture: flat areas, gradients and hard edges.
std::vector<uint8_t> Picture(uint32_t id)
{
    const size_t bytes = size_t(imaging::FrameSize(kWidth, kHeight, id));
    std::vector<uint8_t> v(bytes);
    const int bpp = imaging::BitsPerPixel(id) / 8;
    for (int32_t y = 0; y < kHeight; ++y)
        for (int32_t x = 0; x < kWidth; ++x)
            for (int c = 0; c < bpp; ++c)
                v[(size_t(y) * kWidth + size_t(x)) * size_t(bpp) + size_t(c)] =
                    uint8_t(((x / 64 + y / 64) & 1) ? x * (c + 1) + y : 40 * c + 16);
    return v;
}

void Register(const std::string &name, uint32_t source_id, const OutputShape &want, const PipelineOptions &options)
{
    const size_t out_bytes = FrameBytes(want);
    auto ours = [=](benchmark::State &state) {
        const std::vector<uint8_t> picture = Picture(source_id);
        FramePipeline pipeline;
        std::vector<uint8_t> out(out_bytes);
        const SourceFrame frame{picture.data(), picture.size(), source_id, kWidth, kHeight};
        if (!pipeline.Configure(want, options) || !pipeline.Process(frame, out.data(), out.size())) {
            state.SkipWithError("the pipeline refused the frame");
            return;
        }
        for (auto _ : state) {
            benchmark::DoNotOptimize(pipeline.Process(frame, out.data(), out.size()));
            benchmark::ClobberMemory();
        }
        bench::ReportRate(state, double(state.iterations()), "frames/s");
    };
    auto ref = [=](benchmark::State &state) {
        std::vector<uint8_t> a(out_bytes, 7), b(out_bytes);
        for (auto _ : state) {
            std::memcpy(b.data(), a.data(), out_bytes);
            benchmark::ClobberMemory();
        }
        bench::ReportRate(state, double(state.iterations()), "frames/s");
    };
    benchmark::RegisterBenchmark((name + "/ours").c_str(), ours);
    benchmark::RegisterBenchmark((name + "/ref:memcpy_output").c_str(), ref);
}

const bool registered = [] {
    const OutputShape full{PixelFormat::BGR, kWidth, kHeight};
    Register("capture_passthrough_bgr", imaging::kBgr24, full, {});
    Register("capture_flip", imaging::kBgr24, full, {kScaleNone, true});
    Register("capture_yuy2_to_i420", imaging::kYuy2, {PixelFormat::I420, kWidth, kHeight}, {});
    Register("capture_bgr_to_yuy2", imaging::kBgr24, {PixelFormat::YUY2, kWidth, kHeight}, {});
    // The modes the options page offers, in its slider's order.
    for (uint32_t mode : {1u, 3u, 8u, 4u, 9u, 5u, 11u, 12u, 10u})
        Register(std::string("capture_scale_") + ScaleModeName(mode), imaging::kBgr24,
                 {PixelFormat::BGR, 1280, 720}, {mode, false});
    return true;
}();

}  // namespace
