// The compressed-frame decoder with one allocation failing at each point of a short
// stream (key frame, delta, key frame, delta; rows sent as two fields): the frame
// whose allocation failed is not delivered (Decode gives 0), nothing else breaks, and
// the pictures after it come out exact (only a delta right after a failed first
// frame has no reference and applies to zeros, as after Reset).
#include "FaultWalk.h"

#include <imaging/Decoder.h>
#include <imaging/Encoder.h>

#include <algorithm>
#include <random>
#include <vector>

using namespace imaging;

namespace {

std::vector<uint8_t> Picture(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::vector<uint8_t> picture(size);
    std::generate(picture.begin(), picture.end(), [&] { return uint8_t(random()); });
    return picture;
}

TEST(DecoderFaults, AFailedAllocationDropsOneFrameAndTheStreamGoesOn)
{
    const uint32_t w = 48, h = 31;
    const size_t size = size_t(w) * h * 3;
    EncodeOptions fields;
    fields.fields = true;
    FrameEncoder encoder;
    std::vector<std::vector<uint8_t>> pictures, frames;
    std::vector<bool> key;
    for (uint32_t i = 0; i < 4; ++i) {
        pictures.push_back(Picture(size, i + 1));
        const bool self_contained = i % 2 == 0;
        frames.push_back(self_contained ? encoder.EncodeSelfContained(pictures[i].data(), w, h, kCompressedBgr24, fields)
                                        : encoder.EncodeDelta(pictures[i].data(), w, h, kCompressedBgr24, fields));
        ASSERT_FALSE(frames.back().empty());
        key.push_back(self_contained);
    }

    const uint64_t walked = WalkFaults(Ambry::FaultKind::Alloc, [&](FaultRun &run) {
        FrameDecoder decoder;
        std::vector<uint8_t> out(size);
        int failed_at = -1;
        for (size_t i = 0; i < frames.size(); ++i) {
            std::fill(out.begin(), out.end(), 0xEE);
            const size_t used = decoder.Decode(frames[i].data(), frames[i].size(), out.data(), out.size());
            if (used == 0) {
                EXPECT_EQ(failed_at, -1) << "only the frame whose allocation failed is dropped";
                failed_at = int(i);
                continue;
            }
            EXPECT_EQ(used, frames[i].size());
            const bool without_reference = failed_at == 0 && i == 1;
            if (!without_reference) {
                EXPECT_EQ(out, pictures[i]) << "frame " << i << " after a failure at frame " << failed_at;
            }
        }
        EXPECT_EQ(run.Disarm(), failed_at >= 0);
    });
    EXPECT_GE(walked, 4u) << "the reference and the field copies are the decoder's allocations";
}

}  // namespace
