// The frame pipeline of a published camera: turns each frame received from a
// device into one frame of the format and size the stream negotiated, and fills
// the stream with the no-signal picture (the stored bitmap, or black) while no
// live picture is there.
//
// One pipeline per stream; not shared between threads. Nothing here throws or
// allocates per frame once the pipeline is configured (the scratch buffers grow
// when a larger source arrives).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Capture {

// What a node offers, in the names PipeWire uses.
enum class PixelFormat : int {
    YUY2,  // packed 4:2:2, bytes Y0 U Y1 V
    UYVY,  // packed 4:2:2, bytes U Y0 V Y1
    YV12,  // planar 4:2:0: Y, then V, then U
    I420,  // planar 4:2:0: Y, then U, then V
    BGR,   // packed, three bytes per pixel, blue first
};
inline constexpr int kPixelFormatCount = 5;

// The Capture page's names "YUY2", "UYVY", "YV12", "IYUV", "I420", "RGB24"
// (exact, case-sensitive) → YUY2, UYVY, YV12, I420, I420, BGR. false for any
// other name.
[[nodiscard]] bool FormatFromOptionName(std::string_view name, PixelFormat *format);
// "YUY2", "UYVY", "YV12", "I420", "BGR".
[[nodiscard]] const char *FormatName(PixelFormat format);

// Largest side a stream may have.
inline constexpr int32_t kMaxSide = 8192;

struct OutputShape {
    PixelFormat format = PixelFormat::BGR;
    int32_t width = 0;
    int32_t height = 0;
};

// Where the planes of a frame lie in its buffer (rows tightly packed). Packed
// formats have one plane.
struct FrameLayout {
    int planes = 0;
    size_t offset[3] = {};
    int32_t stride[3] = {};  // bytes per row
    int32_t rows[3] = {};
    size_t bytes = 0;        // the whole frame
};

// An output is valid with an even width of 2..kMaxSide and a height of 1..kMaxSide,
// even for YV12 and I420. false (layout zeroed) otherwise.
[[nodiscard]] bool LayoutOf(const OutputShape &want, FrameLayout *layout);
// Bytes of one frame; 0 when the output is not valid.
[[nodiscard]] size_t FrameBytes(const OutputShape &want);

// Scale mode codes as the options store them.
inline constexpr uint32_t kScaleNone = 0;  // no resampling: the picture is centred, cut or bordered in black
inline constexpr uint32_t kScaleLast = 12;

struct PipelineOptions {
    // How a picture of another size than the output is brought to it: 0 keeps
    // its pixels (centred, cut or bordered in black), 1..12 resample with the
    // algorithm of that code.
    uint32_t scale_mode = kScaleNone;
    bool flip = false;  // turn the picture upside down
};

// The scale mode name used in logs and benchmark lines ("pixel_resize",
// "fast_bilinear", ...); "none" for 0, "" for codes above 12.
[[nodiscard]] const char *ScaleModeName(uint32_t code);

// A frame as the grabber library hands it over.
struct SourceFrame {
    const uint8_t *data = nullptr;
    size_t size = 0;        // bytes readable at data
    uint32_t format = 0;    // format word: pixel format id in bits 0-15, bit 31 bottom-up rows
    int32_t width = 0;      // ignored for compressed ids (their header gives the size)
    int32_t height = 0;
};

// The ids Process accepts: 0x0018 (red first), 0x0800 (blue first), 0x0100
// (YUY2), 0x0300 (UYVY), and the compressed 0x0600, 0x0700, 0x0900, 0x0D00,
// decoded here.
[[nodiscard]] bool IsAcceptedSource(uint32_t format);

class FramePipeline {
public:
    FramePipeline();
    ~FramePipeline();
    FramePipeline(const FramePipeline &) = delete;
    FramePipeline &operator=(const FramePipeline &) = delete;

    // Sets the output and how pictures are brought to it. false, keeping the
    // previous configuration, for an invalid output or a scale mode above 12.
    [[nodiscard]] bool Configure(const OutputShape &want, const PipelineOptions &options);
    [[nodiscard]] const OutputShape &Output() const;
    [[nodiscard]] const PipelineOptions &Options() const;

    // Turns one received frame into one output frame in dst (at least
    // FrameBytes(Output()) bytes). false when the frame cannot be used (unknown
    // id, size out of range, fewer bytes than its size needs, damaged compressed
    // frame, not configured, dst too small): dst then holds no picture, and the
    // caller sends the no-signal picture instead.
    [[nodiscard]] bool Process(const SourceFrame &frame, uint8_t *dst, size_t dst_size);

    // Fills dst with the no-signal picture: the bitmap scaled to the output size
    // (with the configured mode, bilinear when that is 0), or black. Does nothing
    // when dst is too small or the pipeline is not configured.
    void RenderNoSignal(uint8_t *dst, size_t dst_size);

    // Takes the no-signal bitmap from a file (UTF-8 path). Only a file that passes
    // the options' bitmap check and has an even width is taken; false otherwise,
    // and the no-signal picture becomes black.
    [[nodiscard]] bool LoadNoSignalBitmap(const std::string &path);
    // The same from bytes held in memory.
    [[nodiscard]] bool SetNoSignalBitmap(const uint8_t *data, size_t size);
    void ClearNoSignalBitmap();
    [[nodiscard]] bool HasNoSignalBitmap() const;

    // Forgets the compressed stream's reference picture (after a reconnection).
    void ResetDecoder();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Capture
