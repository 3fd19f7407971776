// Preview frames: 24-bit pictures with bottom-up rows in blue-green-red byte order,
// the JPEG snapshot decoder, the HTTP fetch behind it, and the fitting arithmetic the
// user interface paints with.
#pragma once

#include <ambry/RefCount.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A video mode: width 0 means no signal. The refresh is in millihertz.
struct VideoMode {
    int32_t width = 0;
    int32_t height = 0;
    int32_t refresh = 0;
};

// "%dx%d %.1f Hz" with the refresh divided by 1000.0.
[[nodiscard]] std::string FormatVideoMode(const VideoMode &mode);

// Something the user interface makes from a frame's pixels once (a pixmap) and keeps
// with the frame. Released with the frame, by whichever thread drops the last reference.
class CFrameCache {
public:
    virtual ~CFrameCache() = default;
};

// One still picture. Pixels: Height() rows of Width() * 3 bytes without gaps, the
// bottom row first, each pixel blue, green, red. Immutable once made.
class CFrame : public CRefCountObj {
public:
    int32_t Width() const { return m_width; }
    int32_t Height() const { return m_height; }
    size_t PixelBytes() const { return static_cast<size_t>(m_width) * static_cast<size_t>(m_height) * 3; }

    // The video mode the picture was taken in; false when the frame does not know it.
    virtual bool GetFrameMode(VideoMode *mode) = 0;
    // The pixel rows (PixelBytes() bytes).
    virtual const uint8_t *GetPixels() = 0;

    // The drawing cache; touched only on the user-interface thread.
    CFrameCache *Cache() const { return m_cache.get(); }
    void SetCache(std::unique_ptr<CFrameCache> cache) { m_cache = std::move(cache); }

protected:
    CFrame(int32_t width, int32_t height) : m_width(width), m_height(height) {}

private:
    int32_t m_width;
    int32_t m_height;
    std::unique_ptr<CFrameCache> m_cache;
};

// A frame over a decoded picture it owns.
class CFrameJPEG final : public CFrame {
public:
    CFrameJPEG(std::unique_ptr<uint8_t[]> pixels, int32_t width, int32_t height)
        : CFrame(width, height), m_pixels(std::move(pixels))
    {
    }
    bool GetFrameMode(VideoMode *) override { return false; }
    const uint8_t *GetPixels() override { return m_pixels.get(); }

private:
    std::unique_ptr<uint8_t[]> m_pixels;
};

// A decoded JPEG picture: bottom-up blue-green-red rows.
struct DecodedPicture {
    std::unique_ptr<uint8_t[]> pixels;
    int32_t width = 0;
    int32_t height = 0;
    int32_t warnings = 0;  // decoder warnings (a picture that ended early has one)
};

// Largest picture DecodeJpeg accepts (pixels); a header announcing more is refused
// before anything is allocated.
inline constexpr uint64_t MAX_JPEG_PIXELS = 4096ull * 4096ull;

// Decodes a JPEG held in memory. A picture that ends early is completed by the decoder
// (with the warning "Premature end of JPEG file"); grey-scale pictures come out as
// three equal components. False for corrupt data, a 0 x 0 picture or an oversized one.
[[nodiscard]] bool DecodeJpeg(const uint8_t *bytes, size_t count, DecodedPicture *out);

// HTTP transfer limits.
struct FetchLimits {
    long connect_timeout_ms = 5000;   // to establish the connection
    long stall_timeout_ms = 10000;    // a transfer slower than 1 byte/s this long ends
    long total_timeout_ms = 30000;    // the whole transfer
    size_t max_body_bytes = 16u << 20;
};

// A fetched body to be read. Read: bytes read, 0 at the end, -1 on error.
class CUrlStream {
public:
    virtual ~CUrlStream() = default;
    virtual long Read(uint8_t *buffer, size_t count) = 0;
};

// Fetches `url` over HTTP (agent "Ambry 1.68", nothing cached, redirects not
// followed). None when the transfer fails, times out, exceeds the body cap or the
// server answers with anything but 200.
[[nodiscard]] std::unique_ptr<CUrlStream> FetchUrl(const char *url, const FetchLimits &limits = {});

// Fetches "http://a.b.c.d/vw1.jpg" (host-order address) and decodes it into a frame.
[[nodiscard]] Ambry::Ref<CFrame> FetchSnapshotFrame(uint32_t host_address, const FetchLimits &limits = {});
// The same for any URL (tests point it at a local server's port).
[[nodiscard]] Ambry::Ref<CFrame> FetchJpegFrame(const char *url, const FetchLimits &limits = {});

// Where a frame lands inside a target rectangle with its aspect ratio kept.
struct FrameRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// Fits a frame_width x frame_height picture into the rectangle (left, top, right,
// bottom). False when the rectangle or the frame is empty: draw the outline only.
[[nodiscard]] bool FitFrame(int left, int top, int right, int bottom, int frame_width, int frame_height,
                            FrameRect *out);
