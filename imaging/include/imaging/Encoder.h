// The encoder of compressed stream frames, the counterpart of FrameDecoder: it
// emits self-contained frames (complete data) and delta frames (byte deltas with
// run counts against the last self-contained picture). Used by the appliance
// simulator and by tests and benchmarks of the decoder.
#pragma once

#include "imaging/Format.h"

#include <cstdint>
#include <vector>

namespace imaging {

struct EncodeOptions {
    uint32_t passes = 1;  // 1 or 2
    bool fields = false;  // send the even rows first, then the odd rows
};

class FrameEncoder {
public:
    // `picture` is width x height in the default layout of `compressed_id`
    // (0x0600: 0x0018, 0x0900: 0x0800, 0x0700: YUY2, 0x0D00: UYVY). Returns the
    // frame (header and payload); empty when the id, the sizes or the options are
    // not encodable. A self-contained frame becomes the reference of later deltas.
    [[nodiscard]] std::vector<uint8_t> EncodeSelfContained(const uint8_t *picture, uint32_t width, uint32_t height,
                                                           uint32_t compressed_id, const EncodeOptions &options);
    // Deltas against the reference (zeros before any self-contained frame, as in
    // a fresh decoder). The reference stays as it is.
    [[nodiscard]] std::vector<uint8_t> EncodeDelta(const uint8_t *picture, uint32_t width, uint32_t height,
                                                   uint32_t compressed_id, const EncodeOptions &options);

private:
    std::vector<uint8_t> reference_;  // transmitted row order
};

}  // namespace imaging
