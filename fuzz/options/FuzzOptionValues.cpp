// Stored option values as another program may have left them: the 32-bit values
// and the texts go through the same rules the device list loader applies.
#include <options/OptionValues.h>
#include <options/PageRules.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t value = 0;
    if (size >= 4)
        std::memcpy(&value, data, 4);
    const std::string text(reinterpret_cast<const char *>(data), size);

    DirectShowOptions options;
    if (DecodeFixedResolution(value, &options) && (options.flags & OPT_FIXED_RESOLUTION)) {
        // What was read writes back unchanged.
        if (EncodeFixedResolution(options) != value)
            std::abort();
    }
    options.scaleMode = DecodeScaleMode(value);
    DecodeOperationMode(value, &options);
    if (EncodeOperationMode(value, options) != value)
        std::abort();
    options.maxFps = DecodeMaxFps(value);
    if (!(options.maxFps > 0.0f && options.maxFps <= 60.0f))
        std::abort();

    if (DecodeNoSignalText(text, &options)) {
        // The path always ends inside its field.
        if (std::char_traits<char16_t>::length(options.noSignalImage) >= size_t(NO_SIGNAL_PATH_UNITS))
            std::abort();
        DirectShowOptions again;
        if (!DecodeNoSignalText(EncodeNoSignalText(options), &again) && options.noSignalImage[0] != 0)
            std::abort();
    }
    (void)VideoFormatIndex(text);
    if (auto rate = ParseFrameRate(text, ',')) {
        const float clamped = ClampFrameRate(*rate);
        if (!(clamped >= MIN_FRAME_RATE && clamped <= MAX_FRAME_RATE))
            std::abort();
        (void)FrameRateText(clamped, ',');
        (void)EncodeMaxFps(clamped);
    }
    AudioFormat audio{uint16_t(value), uint16_t(value >> 16), value, 0};
    CorrectAudioFormat(&audio);
    if (audio.channels < 1 || audio.channels > 2 || audio.bitsPerSample != 16 || audio.valid != 1)
        std::abort();
    return 0;
}
