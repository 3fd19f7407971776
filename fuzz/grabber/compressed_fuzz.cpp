// The compressed transport's reader on arbitrary bytes: header check, inflate, then
// frames read from the inflated stream as the client reads them.
#include <grabber/Transport.h>
#include <grabber/Wire.h>

#include <cstddef>
#include <cstdint>

using namespace Grabber;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MemorySource source(data, size);
    InflateSource inflate(source);
    if (!inflate.Open())
        return 0;
    BufferedInput in(inflate, 4096);
    for (int frames = 0; frames < 1000; ++frames) {
        IncomingFrame f;
        if (ReadIncomingFrame(in, f, kMaxControlPayload) != FRAME_OK)
            break;
        PayloadReader payload(in, f.payload);
        VideoMode mode;
        uint8_t state;
        if (f.kind == KIND_REPLY)
            DecodeState(payload, mode, state);
        if (!payload.SkipRest())
            break;
    }
    return 0;
}
