// The decoder of the device's compressed stream frames (ids 0x0600, 0x0700,
// 0x0900, 0x0D00). A frame is a 64-byte header of sixteen little-endian words and
// a payload of 1024-byte blocks carrying either byte deltas against the last
// complete picture or complete sample data. One decoder per grabber handle keeps
// that reference picture between frames; not shared between threads.
#pragma once

#include "imaging/Format.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace imaging {

constexpr size_t kCompressedHeaderBytes = 64;
constexpr size_t kCompressedBlockBytes = 1024;

// Header flags.
constexpr uint32_t kCompressedPassMask = 0x03;
constexpr uint32_t kCompressedFields = 0x04;
constexpr uint32_t kCompressedSelfContained = 0x10;

struct CompressedHeader {
    uint32_t width = 0;          // offset 12
    uint32_t height = 0;         // offset 16
    uint32_t flags = 0;          // offset 32
    uint32_t format = 0;         // offset 36
    uint32_t payload_length = 0; // offset 40
};

// Reads the header; false when fewer than 64 bytes are given.
[[nodiscard]] bool ParseCompressedHeader(const uint8_t *frame, size_t length, CompressedHeader &header);

// Default uncompressed id of a compressed frame (0 when the header is missing or
// its id is not a compressed one).
[[nodiscard]] uint32_t DecodedId(const uint8_t *frame, size_t length);
// Header flag 0x10.
[[nodiscard]] bool IsSelfContained(const uint8_t *frame, size_t length);
// Default uncompressed id for a compressed id; 0 for others.
[[nodiscard]] uint32_t DefaultTargetFor(uint32_t compressed_id);
// Whether `target_id` may be decoded from `compressed_id`.
[[nodiscard]] bool IsAcceptedTarget(uint32_t compressed_id, uint32_t target_id);

class FrameDecoder {
public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder &) = delete;
    FrameDecoder &operator=(const FrameDecoder &) = delete;

    // True and the target set when `requested_id` can be decoded from the frame's
    // compressed id; otherwise false and the target becomes that id's default.
    [[nodiscard]] bool ChooseTarget(const uint8_t *frame, size_t length, uint32_t requested_id);
    // The id frames are decoded to (0 before the first choice or decode).
    [[nodiscard]] uint32_t TargetId() const;

    // Bytes of one decoded frame for this header and the current target (its
    // default when the target does not fit the frame); 0 when unknown or oversize.
    [[nodiscard]] uint64_t OutputSize(const uint8_t *frame, size_t length) const;

    // Decodes one frame into `out`. Returns the bytes consumed (header plus
    // payload), 0 when nothing was decoded: short header, output too small,
    // oversize frame, pass count other than 1 or 2.
    [[nodiscard]] size_t Decode(const uint8_t *frame, size_t length, uint8_t *out, size_t out_size);

    // Drops the reference picture (the next delta frame applies to zeros).
    void Reset();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace imaging
