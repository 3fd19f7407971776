// Drives the audio node's ring with what a device may send: audio format records
// with any field values, data of any length and split, and the graph taking any
// number of sample frames, in any order. The ring must never hold more than its
// capacity, give more than asked, or read outside what it was given.
#include "AudioRing.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    static const uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
    Capture::AudioRing ring;
    ring.Configure(data[0] % 3, kRates[data[1] % 7], 1 + data[1] % 50);
    std::vector<int16_t> out;
    size_t at = 2;
    while (at < size) {
        const uint8_t op = data[at++];
        const size_t n = at < size ? data[at++] : 0;
        switch (op % 4) {
        case 0: {  // a format record
            Grabber::AudioFormat f;
            f.id = (op & 0x10) ? -1 : 0;
            f.channels = uint8_t(n % 4);
            f.bits = (op & 0x20) ? 8 : 16;
            f.block = uint16_t((op & 0x40) ? n : f.channels * 2);
            f.rate = (op & 0x80) ? uint32_t(n) * 100 : ring.Rate();
            (void)ring.SetDeviceFormat(f);
            break;
        }
        case 1: {  // data, in a buffer of its own so that reads past it are caught
            const size_t take = n < size - at ? n : size - at;
            std::vector<uint8_t> bytes(data + at, data + at + take);
            (void)ring.Put(bytes.data(), bytes.size());
            at += take;
            break;
        }
        case 2:  // a graph cycle
            out.assign(n * ring.Channels(), 0);
            if (ring.Take(out.data(), n) > n)
                std::abort();
            break;
        default:
            (void)ring.Trim(uint32_t(n), uint32_t(op) / 4);
            break;
        }
        if (ring.Frames() > ring.CapacityFrames())
            std::abort();
    }
    return 0;
}
