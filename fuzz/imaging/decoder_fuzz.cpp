// Compressed stream frames from the network: headers, block lists and payloads of
// any shape, decoded to every target id, twice on one decoder so the second frame
// works against the reference the first one left.
//
// Input: byte 0 picks the requested target, byte 1 bit 0 shrinks the header's
// width and height to small values (deep coverage of the block walks), bit 1 makes
// the output buffer one byte short; the rest is the frame.
#include "imaging/Decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const uint32_t kTargets[] = {0,      imaging::kRgb24, imaging::kBgr24, imaging::kPixel32, imaging::kYuy2,
                             imaging::kUyvy, imaging::kPlanarYvu420, imaging::kPlanarYuv420, imaging::kLuma8,
                             0x0E00};

void DecodeOnce(imaging::FrameDecoder &decoder, const uint8_t *frame, size_t length, uint32_t target, bool short_out)
{
    (void)decoder.ChooseTarget(frame, length, target);
    const uint64_t size = decoder.OutputSize(frame, length);
    // Sizes beyond a megabyte are still checked, against a small buffer (large
    // outputs only slow the search down).
    const size_t out_size = size > (1u << 20) ? 64 : static_cast<size_t>(size) - (short_out && size ? 1 : 0);
    std::vector<uint8_t> out(out_size ? out_size : 1);
    const size_t used = decoder.Decode(frame, length, out.data(), out_size);
    if (used > length)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint32_t target = kTargets[data[0] % (sizeof(kTargets) / sizeof(kTargets[0]))];
    const bool small = data[1] & 1, short_out = data[1] & 2;
    std::vector<uint8_t> frame(data + 2, data + size);
    if (small && frame.size() >= imaging::kCompressedHeaderBytes) {
        frame[12] = static_cast<uint8_t>(frame[12] % 64);
        std::memset(&frame[13], 0, 3);
        frame[16] = static_cast<uint8_t>(frame[16] % 48);
        std::memset(&frame[17], 0, 3);
    }
    imaging::FrameDecoder decoder;
    DecodeOnce(decoder, frame.data(), frame.size(), target, short_out);
    DecodeOnce(decoder, frame.data(), frame.size(), target, false);
    return 0;
}
