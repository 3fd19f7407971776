// Imaging kernels beside their closest references, on 1920 x 1080 and 640 x 480:
// memcpy of the same bytes for flip, crop and the decoder; libyuv for the YUY2
// conversions, rotations and nearest/box scaling; libswscale's point and area
// algorithms for the pixel resize and the weighted average. Rates in MB/s of
// output bytes.
#include "compare.h"

#include <imaging/Convert.h>
#include <imaging/Decoder.h>
#include <imaging/Encoder.h>
#include <imaging/Scaler.h>
#include <imaging/Simd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libswscale/swscale.h>
}

#ifdef TESSALINE_HAVE_LIBYUV
#include <libyuv/convert_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>
#include <libyuv/rotate_argb.h>
#include <libyuv/scale.h>
#include <libyuv/scale_rgb.h>
#endif

namespace {

using namespace imaging;


std::vector<uint8_t> Noise(size_t size, uint32_t seed)
{
    std::vector<uint8_t> v(size);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < size; i += 4) {
        const uint32_t r = rng();
        std::memcpy(&v[i], &r, std::min<size_t>(4, size - i));
    }
    return v;
}

// A picture with smooth areas and edges, like a desktop capture.
std::vector<uint8_t> Picture(int w, int h, int bytes_per_pixel)
{
    std::vector<uint8_t> v(static_cast<size_t>(w) * h * bytes_per_pixel);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < bytes_per_pixel; ++c)
                v[(static_cast<size_t>(y) * w + x) * bytes_per_pixel + c] =
                    static_cast<uint8_t>(((x / 64 + y / 64) & 1) ? x * (c + 1) + y : 40 * c + 16);
    return v;
}

// One side of a comparison: run() is timed, check() runs once before.
struct Side {
    std::function<void()> run;
    double bytes = 0;
    std::function<bool()> check = [] { return true; };
};

// The reference of the copying kernels: memcpy of the same bytes.
std::function<Side()> MemcpySide(size_t bytes, uint32_t seed)
{
    return [=] {
        auto a = std::make_shared<std::vector<uint8_t>>(Noise(bytes, seed));
        auto b = std::make_shared<std::vector<uint8_t>>(bytes);
        return Side{[=] {
                        std::memcpy(b->data(), a->data(), bytes);
                        benchmark::ClobberMemory();
                    },
                    double(bytes)};
    };
}

void Register(const std::string &name, const std::string &what, std::function<Side()> ours, std::function<Side()> ref)
{
    auto one = [](std::function<Side()> make) {
        return [make](benchmark::State &state) {
            Side side = make();
            if (!side.check()) {
                state.SkipWithError("output check failed");
                return;
            }
            for (auto _ : state)
                side.run();
            bench::ReportRate(state, side.bytes * double(state.iterations()) / 1e6, "MB/s");
        };
    };
    benchmark::RegisterBenchmark((name + "/ours").c_str(), one(std::move(ours)))->UseRealTime();
    benchmark::RegisterBenchmark((name + "/ref:" + what).c_str(), one(std::move(ref)))->UseRealTime();
}

struct Dim {
    int w, h;
    std::string Tag() const { return std::to_string(w) + "x" + std::to_string(h); }
};
const Dim kSizes[] = {{1920, 1080}, {640, 480}};

void FlipAndCrop(const Dim d)
{
    const size_t size = size_t(d.w) * d.h * 3;
    Register("imaging_flip_bgr24/" + d.Tag(), "memcpy",
             [=] {
                 auto buf = std::make_shared<std::vector<uint8_t>>(Noise(size, 1));
                 Side s{[=] { benchmark::DoNotOptimize(FlipRows(buf->data(), d.h, int64_t{d.w} * 3)); }, double(size)};
                 s.check = [=] {
                     const auto before = *buf;
                     return FlipRows(buf->data(), d.h, d.w * 3) && FlipRows(buf->data(), d.h, d.w * 3) && *buf == before;
                 };
                 return s;
             },
             MemcpySide(size, 1));
    const Rect rect{d.w / 8 * 2 & ~3, d.h / 8, d.w / 2, d.h / 2};
    const size_t out_size = size_t(rect.width) * rect.height * 3;
    auto crop = [=] {
        auto src = std::make_shared<std::vector<uint8_t>>(Noise(size, 2));
        auto dst = std::make_shared<std::vector<uint8_t>>(out_size);
        return Side{[=] {
                        FrameBuffer in{src->data(), size, kBgr24, d.w, d.h};
                        FrameBuffer out{dst->data(), out_size, 0, 0, 0};
                        benchmark::DoNotOptimize(Crop(in, out, rect));
                    },
                    double(out_size)};
    };
    // memcpy of the same bytes: the rectangle's rows, one call each.
    Register("imaging_crop_bgr24/" + d.Tag(), "memcpy_rows", crop, [=] {
        auto src = std::make_shared<std::vector<uint8_t>>(Noise(size, 2));
        auto dst = std::make_shared<std::vector<uint8_t>>(out_size);
        const size_t from = (size_t(rect.y) * d.w + rect.x) * 3, stride = size_t(d.w) * 3;
        const size_t row = size_t(rect.width) * 3;
        return Side{[=] {
                        for (int r = 0; r < rect.height; ++r)
                            std::memcpy(dst->data() + r * row, src->data() + from + r * stride, row);
                        benchmark::ClobberMemory();
                    },
                    double(out_size)};
    });
    // The same number of bytes in one piece, with no rows at all: a bound that no
    // rectangle copy reaches where the CPU copies long runs faster than short ones.
    Register("imaging_crop_bgr24_vs_one_block/" + d.Tag(), "memcpy_one_block", crop, [=] {
        auto src = std::make_shared<std::vector<uint8_t>>(Noise(size, 2));
        auto dst = std::make_shared<std::vector<uint8_t>>(out_size);
        const size_t from = size_t(rect.y) * d.w * 3;
        return Side{[=] {
                        std::memcpy(dst->data(), src->data() + from, out_size);
                        benchmark::ClobberMemory();
                    },
                    double(out_size)};
    });
}

#ifdef TESSALINE_HAVE_LIBYUV
void Conversions(const Dim d)
{
    const size_t size = size_t(d.w) * d.h * 2;
    struct Target {
        const char *name;
        uint32_t id;
        size_t out_bytes;
    };
    const Target targets[] = {{"rgb565", kRgb565, size}, {"rgb332", kRgb332, size / 2}};
    // The "_avx2" rows hold the 512-bit kernels back: what processors without them get.
    for (const Target &t : targets)
        for (bool wide : {true, false}) {
            Register(
                std::string("imaging_yuy2_to_") + t.name + (wide ? "" : "_avx2") + "/" + d.Tag(), "libyuv_YUY2ToARGB",
                [=] {
                    // In place: every pass converts the bytes the last one left, which
                    // are as good a YUY2 picture as any.
                    auto work = std::make_shared<std::vector<uint8_t>>(Noise(size, 3));
                    return Side{[=] {
                                    FrameBuffer f{work->data(), size, kYuy2, d.w, d.h};
                                    SetWideVectorsEnabled(wide);
                                    benchmark::DoNotOptimize(ConvertFromYuy2(f, t.id));
                                    SetWideVectorsEnabled(true);
                                },
                                double(size)};
                },
                [=] {
                    auto src = std::make_shared<std::vector<uint8_t>>(Noise(size, 3));
                    auto dst = std::make_shared<std::vector<uint8_t>>(size * 2);
                    return Side{[=] {
                                    libyuv::YUY2ToARGB(src->data(), d.w * 2, dst->data(), d.w * 4, d.w, d.h);
                                    benchmark::ClobberMemory();
                                },
                                double(size)};
                });
        }
    Register("imaging_yuy2_to_uyvy/" + d.Tag(), "libyuv_ARGBShuffle",
             [=] {
                 auto buf = std::make_shared<std::vector<uint8_t>>(Noise(size, 4));
                 return Side{[=] {
                                 FrameBuffer f{buf->data(), size, kYuy2, d.w, d.h};
                                 benchmark::DoNotOptimize(ConvertFromYuy2(f, kUyvy));
                             },
                             double(size)};
             },
             [=] {
                 auto src = std::make_shared<std::vector<uint8_t>>(Noise(size, 4));
                 auto dst = std::make_shared<std::vector<uint8_t>>(size);
                 static const uint8_t kSwap[16] = {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14};
                 return Side{[=] {
                                 libyuv::ARGBShuffle(src->data(), d.w * 2, dst->data(), d.w * 2, kSwap, d.w / 2, d.h);
                                 benchmark::ClobberMemory();
                             },
                             double(size)};
             });
}

void Rotations(const Dim d)
{
    const size_t luma = size_t(d.w) * d.h;
    for (bool ninety : {true, false}) {
        const std::string turn = ninety ? "rotate90" : "rotate180";
        Register("imaging_" + turn + "_luma/" + d.Tag(), "libyuv_RotatePlane",
                 [=] {
                     auto src = std::make_shared<std::vector<uint8_t>>(Noise(luma, 5));
                     auto dst = std::make_shared<std::vector<uint8_t>>(luma);
                     return Side{[=] {
                                     FrameBuffer in{src->data(), luma, kLuma8, d.w, d.h};
                                     FrameBuffer out{dst->data(), luma, 0, 0, 0};
                                     if (ninety)
                                         benchmark::DoNotOptimize(Rotate90(in, out, true));
                                     else
                                         benchmark::DoNotOptimize(Rotate180(in));
                                 },
                                 double(luma)};
                 },
                 [=] {
                     auto src = std::make_shared<std::vector<uint8_t>>(Noise(luma, 5));
                     auto dst = std::make_shared<std::vector<uint8_t>>(luma);
                     return Side{[=] {
                                     libyuv::RotatePlane(src->data(), d.w, dst->data(), ninety ? d.h : d.w, d.w, d.h,
                                                         ninety ? libyuv::kRotate90 : libyuv::kRotate180);
                                     benchmark::ClobberMemory();
                                 },
                                 double(luma)};
                 });
        Register("imaging_" + turn + "_argb/" + d.Tag(), "libyuv_ARGBRotate",
                 [=] {
                     auto src = std::make_shared<std::vector<uint8_t>>(Noise(luma * 4, 6));
                     auto dst = std::make_shared<std::vector<uint8_t>>(luma * 4);
                     return Side{[=] {
                                     FrameBuffer in{src->data(), luma * 4, kPixel32, d.w, d.h};
                                     FrameBuffer out{dst->data(), luma * 4, 0, 0, 0};
                                     if (ninety)
                                         benchmark::DoNotOptimize(Rotate90(in, out, true));
                                     else
                                         benchmark::DoNotOptimize(Rotate180(in));
                                 },
                                 double(luma * 4)};
                 },
                 [=] {
                     auto src = std::make_shared<std::vector<uint8_t>>(Noise(luma * 4, 6));
                     auto dst = std::make_shared<std::vector<uint8_t>>(luma * 4);
                     return Side{[=] {
                                     libyuv::ARGBRotate(src->data(), d.w * 4, dst->data(), (ninety ? d.h : d.w) * 4,
                                                        d.w, d.h, ninety ? libyuv::kRotate90 : libyuv::kRotate180);
                                     benchmark::ClobberMemory();
                                 },
                                 double(luma * 4)};
                 });
    }
    const size_t planar = luma * 3 / 2;
    Register("imaging_rotate90_i420/" + d.Tag(), "libyuv_I420Rotate",
             [=] {
                 auto src = std::make_shared<std::vector<uint8_t>>(Noise(planar, 7));
                 auto dst = std::make_shared<std::vector<uint8_t>>(planar);
                 return Side{[=] {
                                 FrameBuffer in{src->data(), planar, kPlanarYuv420, d.w, d.h};
                                 FrameBuffer out{dst->data(), planar, 0, 0, 0};
                                 benchmark::DoNotOptimize(Rotate90(in, out, false));
                             },
                             double(planar)};
             },
             [=] {
                 auto src = std::make_shared<std::vector<uint8_t>>(Noise(planar, 7));
                 auto dst = std::make_shared<std::vector<uint8_t>>(planar);
                 return Side{[=] {
                                 uint8_t *s = src->data(), *o = dst->data();
                                 const size_t q = luma / 4;
                                 libyuv::I420Rotate(s, d.w, s + luma, d.w / 2, s + luma + q, d.w / 2, o, d.h,
                                                    o + luma, d.h / 2, o + luma + q, d.h / 2, d.w, d.h,
                                                    libyuv::kRotate270);
                                 benchmark::ClobberMemory();
                             },
                             double(planar)};
             });
}
#endif

// Scaling to half size and to 1.5 times, ours through the scaler front end.
void Scaling(const Dim d)
{
    struct Job {
        const char *name;
        Dim to;
    };
    const Job jobs[] = {{"half", {d.w / 2, d.h / 2}}, {"up1.5", {d.w * 3 / 2, d.h * 3 / 2}}};
    for (const Job &job : jobs) {
        const Dim to = job.to;
        const size_t out_size = size_t(to.w) * to.h * 3;
        auto ours = [=](uint32_t id, uint32_t mode) {
            return [=] {
                const int bytes = BitsPerPixel(id) / 8;
                const size_t in_bytes = size_t(d.w) * d.h * bytes, out_bytes = size_t(to.w) * to.h * bytes;
                auto src = std::make_shared<std::vector<uint8_t>>(Picture(d.w, d.h, bytes));
                auto dst = std::make_shared<std::vector<uint8_t>>(out_bytes);
                auto scaler = std::make_shared<Scaler>();
                return Side{[=] {
                                FrameBuffer in{src->data(), in_bytes, id | mode << kScaleModeShift, d.w, d.h};
                                FrameBuffer out{dst->data(), out_bytes, 0, to.w, to.h};
                                benchmark::DoNotOptimize(scaler->Scale(in, out));
                            },
                            double(out_bytes)};
            };
        };
        auto sws = [=](AVPixelFormat format, int bytes, int flag) {
            return [=] {
                const size_t out_bytes = size_t(to.w) * to.h * bytes;
                auto src = std::make_shared<std::vector<uint8_t>>(Picture(d.w, d.h, bytes));
                auto dst = std::make_shared<std::vector<uint8_t>>(out_bytes);
                std::shared_ptr<SwsContext> ctx(
                    sws_getContext(d.w, d.h, format, to.w, to.h, format, flag, nullptr, nullptr, nullptr),
                    sws_freeContext);
                return Side{[=] {
                                const uint8_t *in[4] = {src->data(), nullptr, nullptr, nullptr};
                                uint8_t *out[4] = {dst->data(), nullptr, nullptr, nullptr};
                                const int is[4] = {d.w * bytes, 0, 0, 0}, os[4] = {to.w * bytes, 0, 0, 0};
                                sws_scale(ctx.get(), in, is, 0, d.h, out, os);
                                benchmark::ClobberMemory();
                            },
                            double(out_bytes)};
            };
        };
        const std::string tag = std::string(job.name) + "/" + d.Tag();
        Register("imaging_pixel_resize_bgr24_" + tag, "swscale_POINT", ours(kBgr24, 1),
                 sws(AV_PIX_FMT_BGR24, 3, SWS_POINT));
        Register("imaging_pixel_resize_yuy2_" + tag, "swscale_POINT", ours(kYuy2, 1),
                 sws(AV_PIX_FMT_YUYV422, 2, SWS_POINT));
        // Modes 3-12 go through libswscale on padded copies: this shows what they cost.
        Register("imaging_scaler_bilinear_bgr24_" + tag, "swscale_BILINEAR", ours(kBgr24, 4),
                 sws(AV_PIX_FMT_BGR24, 3, SWS_BILINEAR));
        Register("imaging_weighted_average_bgr24_" + tag, "swscale_AREA", ours(kBgr24, 2),
                 sws(AV_PIX_FMT_BGR24, 3, SWS_AREA));
#ifdef TESSALINE_HAVE_LIBYUV
        auto yuv = [=](libyuv::FilterMode mode) {
            return [=] {
                auto src = std::make_shared<std::vector<uint8_t>>(Picture(d.w, d.h, 3));
                auto dst = std::make_shared<std::vector<uint8_t>>(out_size);
                return Side{[=] {
                                libyuv::RGBScale(src->data(), d.w * 3, d.w, d.h, dst->data(), to.w * 3, to.w, to.h,
                                                 mode);
                                benchmark::ClobberMemory();
                            },
                            double(out_size)};
            };
        };
        Register("imaging_nearest_bgr24_" + tag, "libyuv_RGBScale_None", ours(kBgr24, 1), yuv(libyuv::kFilterNone));
        Register("imaging_box_bgr24_" + tag, "libyuv_RGBScale_Box", ours(kBgr24, 2), yuv(libyuv::kFilterBox));
#endif
    }
}

void Decoding(const Dim d)
{
    struct Stream {
        const char *name;
        uint32_t id;
        int bytes_per_pixel;
    };
    const Stream streams[] = {{"bgr24", kCompressedBgr24, 3}, {"yuy2", kCompressedYuv, 2}};
    for (const Stream &st : streams) {
        const size_t out_size = size_t(d.w) * d.h * st.bytes_per_pixel;
        Register(std::string("imaging_decode_selfcontained_") + st.name + "/" + d.Tag(), "memcpy",
                 [=] {
                     auto picture = std::make_shared<std::vector<uint8_t>>(Picture(d.w, d.h, st.bytes_per_pixel));
                     FrameEncoder encoder;
                     const auto encoded = encoder.EncodeSelfContained(picture->data(), uint32_t(d.w), uint32_t(d.h),
                                                                      st.id, EncodeOptions{});
                     auto frame = std::make_shared<std::vector<uint8_t>>(encoded.begin(), encoded.end());
                     auto out = std::make_shared<std::vector<uint8_t>>(out_size);
                     auto decoder = std::make_shared<FrameDecoder>();
                     Side s{[=] {
                                benchmark::DoNotOptimize(
                                    decoder->Decode(frame->data(), frame->size(), out->data(), out->size()));
                            },
                            double(out_size)};
                     s.check = [=] {
                         return decoder->Decode(frame->data(), frame->size(), out->data(), out->size()) ==
                                    frame->size() &&
                                *out == *picture;
                     };
                     return s;
                 },
                 MemcpySide(out_size, 9));
    }
}

const bool registered = [] {
    for (const Dim &d : kSizes) {
        FlipAndCrop(d);
#ifdef TESSALINE_HAVE_LIBYUV
        Conversions(d);
        Rotations(d);
#endif
        Scaling(d);
        Decoding(d);
    }
    return true;
}();

}  // namespace
