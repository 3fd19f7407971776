// Snapshot decoding: DecodeJpeg beside libjpeg's plain decode of the same 1080p picture
// (default RGB output, top-down rows, the library's memory source).
#include "compare.h"

#include <deviceio/Frame.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

#include "../../tests/deviceio/JpegMaker.h"

namespace {

const std::vector<uint8_t> &Picture1080p()
{
    static const std::vector<uint8_t> jpeg = [] {
        const std::vector<uint8_t> card = TestJpeg::TestCard(1920, 1080);
        return TestJpeg::Encode(card.data(), 1920, 1080, 3, 85);
    }();
    return jpeg;
}

bool PlainDecode(const std::vector<uint8_t> &jpeg, std::vector<uint8_t> &out)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const size_t stride = size_t(cinfo.output_width) * cinfo.output_components;
    out.resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

void Ours(benchmark::State &state)
{
    const std::vector<uint8_t> &jpeg = Picture1080p();
    DecodedPicture check;
    if (!DecodeJpeg(jpeg.data(), jpeg.size(), &check) || check.width != 1920 || check.height != 1080) {
        state.SkipWithError("DecodeJpeg failed on the test picture");
        return;
    }
    for (auto _ : state) {
        DecodedPicture picture;
        benchmark::DoNotOptimize(DecodeJpeg(jpeg.data(), jpeg.size(), &picture));
        benchmark::DoNotOptimize(picture.pixels.get());
    }
    bench::ReportRate(state, double(state.iterations()), "frames/s");
}

void Plain(benchmark::State &state)
{
    const std::vector<uint8_t> &jpeg = Picture1080p();
    std::vector<uint8_t> out;
    for (auto _ : state) {
        PlainDecode(jpeg, out);
        benchmark::DoNotOptimize(out.data());
    }
    bench::ReportRate(state, double(state.iterations()), "frames/s");
}

BENCHMARK(Ours)->Name("deviceio_jpeg_decode_1080p/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Plain)->Name("deviceio_jpeg_decode_1080p/ref:libjpeg")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
