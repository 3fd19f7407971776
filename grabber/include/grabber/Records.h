// Records that the grabber library hands to its callers and moves over the wire.
// Plain data, host byte order; the wire codecs (Wire.h) convert field by field.
#pragma once

#include <imaging/Format.h>

#include <cstdint>
#include <vector>

// Picture adjustments are shared with the device I/O classes and the options
// pages, which know them by these global names.
// Bits of VideoAdjustments::flags and AdjustmentRanges::valid_mask.
enum : uint32_t {
    ADJ_HSHIFT = 0x1,
    ADJ_PHASE = 0x2,
    ADJ_OFFSET_GAIN = 0x4,
    ADJ_VSHIFT = 0x8,
    ADJ_PLL = 0x10,
    ADJ_GRAB_FLAGS = 0x20,
};
enum : uint32_t { GRAB_PREFER_WIDE_MODE = 0x20000 };

// The device's picture adjustments.
struct VideoAdjustments {
    uint32_t flags = 0;
    int32_t hshift = 0;
    uint8_t phase = 0;
    uint8_t gain[3] = {};
    uint8_t offset[3] = {};
    int32_t vshift = 0;
    int32_t pll = 0;
    uint32_t grab_flags = 0;
    uint32_t grab_flag_mask = 0;
};

// Ranges reported beside the adjustments.
struct AdjustmentRanges {
    uint32_t leading = 0;
    uint32_t valid_mask = 0;
    int16_t hshift_min = 0, hshift_max = 0;
    int16_t phase_min = 0, phase_max = 0;
    int16_t offset_min = 0, offset_max = 0;
    int16_t gain_min = 0, gain_max = 0;
    int16_t vshift_min = 0, vshift_max = 0;
    int16_t pll_min = 0, pll_max = 0;
};

namespace Grabber {

using ::AdjustmentRanges;
using ::VideoAdjustments;

// Format word: an imaging frame format code (imaging/Format.h names its pixel
// formats): pixel format in bits 0-15, scale mode 16-19, rotation 20-21, bit 30
// no-streaming (always ask the device), bit 31 bottom-up rows.
enum : uint32_t {
    FORMAT_PIXEL_MASK = imaging::kFormatIdMask,
    FORMAT_ROTATION_MASK = imaging::kRotationMask,
    FORMAT_NO_STREAMING = imaging::kRequestDirect,
    FORMAT_BOTTOM_UP = imaging::kBottomUp,
    // What the program's own preview asks for: 24-bit colour, bottom-up rows.
    FORMAT_PREVIEW = FORMAT_BOTTOM_UP | imaging::kBgr24,
};

// Video mode reported by a device. Width 0 means no signal.
struct VideoMode {
    int32_t width = 0;
    int32_t height = 0;
    int32_t refresh_mhz = 0;  // vertical refresh in millihertz
};

inline bool operator==(const VideoMode &a, const VideoMode &b)
{
    return a.width == b.width && a.height == b.height && a.refresh_mhz == b.refresh_mhz;
}

// One entry of a device's mode list (24 bytes on the wire). The library moves the
// fields without interpreting them, except bit 0 of flags (slot in use).
struct ModeEntry {
    uint32_t head = 0;
    uint16_t values[8] = {};
    uint32_t flags = 0;
};

// Mode list: the first 8 entries are the custom slots, the rest the standard modes.
constexpr int kCustomModeSlots = 8;
struct ModeList {
    std::vector<ModeEntry> entries;
};

// A device parameter: identifier and its value in host layout (see Wire.h for the
// per-identifier encoding). Texts are NUL-terminated inside value.
struct Parameter {
    uint32_t id = 0;
    uint8_t value[256] = {};
};

// Audio format carried by audio events and request 29; id -1 means none.
struct AudioFormat {
    int32_t id = -1;
    uint16_t tag = 0;
    uint16_t size = 8;
    uint8_t channels = 0;
    uint8_t bits = 0;
    uint16_t block = 0;
    uint32_t rate = 0;
};

// Rectangle inside a picture: all zero means the whole picture.
struct CropRect {
    uint32_t left = 0, top = 0, width = 0, height = 0;
};

// IPv4 socket address as the platform lays it out: family 2, port and address in
// network byte order, 8 zero bytes.
struct AddressRecord {
    uint16_t family = 0;
    uint16_t port_be = 0;
    uint32_t address_be = 0;
    uint8_t zero[8] = {};
};
static_assert(sizeof(AddressRecord) == 16);

}  // namespace Grabber
