// PipeWire and SPA headers (their inline code is not clean under our warnings), and
// the parameter objects the nodes offer.
#pragma once

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

#include "capture/Pipeline.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Capture {

spa_video_format SpaFormat(PixelFormat format);
bool FromSpaFormat(uint32_t spa, PixelFormat *format);

// Room for the parameter objects of one negotiation step.
struct PodBuffer {
    uint8_t bytes[8192];
};

// EnumFormat entries: one with the choice of every offered format first (read by
// consumers that look at the first entry only), then one fixed entry per format
// (for consumers that skip entries holding a choice of formats).
std::vector<const spa_pod *> BuildFormatParams(PodBuffer &buffer, const std::vector<PixelFormat> &formats,
                                               int32_t width, int32_t height, uint32_t rate_num, uint32_t rate_den);
// The properties a node takes from its device's record (name, serial number,
// address), set again after the record changed. Thread loop locked.
void UpdateDeviceProperties(pw_stream *stream, const std::string &displayName, const std::string &serialNumber,
                            const std::string &address);

// Buffers (our own memfd memory, one block) and a header meta for timestamps.
std::vector<const spa_pod *> BuildBufferParams(PodBuffer &buffer, size_t frame_bytes, int32_t stride);

}  // namespace Capture
