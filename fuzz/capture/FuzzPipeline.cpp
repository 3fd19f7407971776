// What reaches the capture pipeline from outside: frames from a device (any id,
// size and bytes, compressed ones included) and no-signal bitmap files. No
// crash, no over-read, and a refused bitmap leaves a black picture.
#include <capture/Pipeline.h>

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace Capture;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 8)
        return 0;
    // Byte 0: what the bytes are; 1: output format; 2-3: output size; 4-7: the
    // frame's id and size. The rest is the frame or the bitmap.
    static const uint32_t kIds[] = {0x0018, 0x0800, 0x0100, 0x0300, 0x0600, 0x0700, 0x0900, 0x0D00, 0x0200, 0xFFFF};
    const PixelFormat format = PixelFormat(data[1] % kPixelFormatCount);
    const OutputShape want{format, 2 * (1 + data[2] % 48), 2 * (1 + data[3] % 32)};
    const uint32_t id = kIds[data[4] % (sizeof(kIds) / sizeof(kIds[0]))] | (data[5] & 0x80 ? 0x80000000u : 0);
    const PipelineOptions options{uint32_t(data[5] % 13), (data[5] & 0x40) != 0};
    FramePipeline pipeline;
    if (!pipeline.Configure(want, options))
        std::abort();
    std::vector<uint8_t> out(FrameBytes(want));
    const uint8_t *body = data + 8;
    const size_t length = size - 8;
    if (data[0] & 1) {
        const bool taken = pipeline.SetNoSignalBitmap(body, length);
        if (taken != pipeline.HasNoSignalBitmap())
            std::abort();
        pipeline.RenderNoSignal(out.data(), out.size());
        if (!taken && format == PixelFormat::BGR && out[0] != 0)
            std::abort();
        return 0;
    }
    // The frame in a buffer of its own length, so any read past it is caught.
    std::vector<uint8_t> frame(body, body + length);
    const SourceFrame source{frame.data(), frame.size(), id, 1 + data[6] % 96, 1 + data[7] % 64};
    (void)pipeline.Process(source, out.data(), out.size());
    (void)pipeline.Process(source, out.data(), out.size());  // second time: decoder reference and cached filters
    return 0;
}
