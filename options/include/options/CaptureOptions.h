// Per-device capture options: the DirectShow source options kept in the device
// record, and the capture format preferences read from the store when the options
// sheet opens. Both live as separate values under the device's "VideoParameters"
// and "AudioParameters" keys, where the capture filter reads them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <store/DirectShowOptions.h>

// Scale mode codes: 0 = no scaling, 1..12 the resampling algorithms.
inline constexpr int32_t SCALE_MODE_NONE = 0;
inline constexpr int32_t SCALE_MODE_LAST = 12;

// The frame-rate limit the DirectShow page keeps to.
inline constexpr float MIN_FRAME_RATE = 0.01f;
inline constexpr float MAX_FRAME_RATE = 60.0f;
// Rate used when the stored one is missing or unusable.
inline constexpr float DEFAULT_FRAME_RATE = 30.0f;

// Where bare no-signal image names (no folder in them) are looked up: the installed
// prefix's share/tessaline, which the build passes in.
#ifdef TESSALINE_SYSTEM_IMAGE_FOLDER
inline constexpr const char *SYSTEM_IMAGE_FOLDER = TESSALINE_SYSTEM_IMAGE_FOLDER;
#else
inline constexpr const char *SYSTEM_IMAGE_FOLDER = "/usr/share/tessaline";
#endif

// The no-signal image path as UTF-8 (unpaired surrogates become U+FFFD).
std::string NoSignalPathUtf8(const DirectShowOptions &options);
// Sets the path from UTF-8 text. false, leaving the field unchanged, when the text is
// not valid UTF-8 or does not fit the field.
bool SetNoSignalPath(DirectShowOptions *options, const std::string &utf8);

// ---- capture formats ----

inline constexpr int VIDEO_FORMAT_COUNT = 6;
// "YUY2", "UYVY", "YV12", "IYUV", "I420", "RGB24", in list order.
extern const char *const VIDEO_FORMAT_NAMES[VIDEO_FORMAT_COUNT];
// Bit of CaptureFormatOptions::captureFlags: offer no format but the preferred one.
inline constexpr uint32_t CAPTURE_FORCE_FORMAT = 0x1;

struct AudioFormat {
    uint16_t channels = 2;  // 1 mono, 2 stereo
    uint16_t bitsPerSample = 16;
    uint32_t frequency = 22050;  // hertz
    uint32_t valid = 1;
};
inline bool operator==(const AudioFormat &a, const AudioFormat &b)
{
    return a.channels == b.channels && a.bitsPerSample == b.bitsPerSample && a.frequency == b.frequency &&
           a.valid == b.valid;
}

// The audio formats offered, in list order.
inline constexpr int OFFERED_AUDIO_FORMAT_COUNT = 8;
extern const AudioFormat OFFERED_AUDIO_FORMATS[OFFERED_AUDIO_FORMAT_COUNT];
// "22050 Hz, Stereo, 16-bit".
std::string AudioFormatText(const AudioFormat &format);

struct CaptureFormatOptions {
    int preferredFormat = -1;  // index into VIDEO_FORMAT_NAMES, -1 = no preference
    uint32_t captureFlags = 0;
    AudioFormat audio;
    uint32_t applied = 0;
    HKEY videoKey = nullptr;  // "VideoParameters", not owned
    HKEY audioKey = nullptr;  // "AudioParameters" or none, not owned
};
