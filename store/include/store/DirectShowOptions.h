// The per-device DirectShow source options as a device record holds them, and the
// hook through which the option-values code reads and writes them in a device's
// "VideoParameters" key.
#pragma once

#include <store/Registry.h>

#include <cstdint>

// Option flags.
enum DirectShowOptionFlags : uint32_t {
    OPT_FIXED_RESOLUTION = 0x1,
    OPT_NO_SIGNAL_IMAGE = 0x2,
    OPT_LIMIT_FPS = 0x4,
    OPT_FIX_FPS = 0x8,
    OPT_FLIP_VERTICAL = 0x10,
};

inline constexpr int NO_SIGNAL_PATH_UNITS = 260;  // including the terminator
inline constexpr int32_t DEFAULT_SCALE_MODE = 3;

struct DirectShowOptions {
    int32_t fixedWidth = 0;
    int32_t fixedHeight = 0;
    char16_t noSignalImage[NO_SIGNAL_PATH_UNITS] = {};  // UTF-16, NUL-terminated
    int32_t scaleMode = DEFAULT_SCALE_MODE;
    float maxFps = 0.0f;
    uint32_t flags = 0;
};

// Reads and writes the option values of one "VideoParameters" key. Installed once
// at start-up by the option-values library (before devices are loaded); until then
// devices keep their defaults and write no option values.
struct DirectShowOptionsCodec {
    // Loads the values present in key; missing or bad values keep what *options holds.
    void (*read)(HKEY key, DirectShowOptions *options);
    // Writes every value of options into key.
    void (*write)(HKEY key, const DirectShowOptions &options);
};

// Installs the codec (nullptr removes it). The codec must outlive every device.
void SetDirectShowOptionsCodec(const DirectShowOptionsCodec *codec);
const DirectShowOptionsCodec *GetDirectShowOptionsCodec();
