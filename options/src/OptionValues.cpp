#include "options/OptionValues.h"

#include <store/Registry.h>

#include <cmath>
#include <cstring>
#include <string_view>

#include "Utf16.h"

const char *const VIDEO_FORMAT_NAMES[VIDEO_FORMAT_COUNT] = {"YUY2", "UYVY", "YV12", "IYUV", "I420", "RGB24"};

const AudioFormat OFFERED_AUDIO_FORMATS[OFFERED_AUDIO_FORMAT_COUNT] = {
    {1, 16, 11025, 1}, {2, 16, 11025, 1}, {1, 16, 22050, 1}, {2, 16, 22050, 1},
    {1, 16, 44100, 1}, {2, 16, 44100, 1}, {1, 16, 48000, 1}, {2, 16, 48000, 1},
};

namespace {

constexpr const char *kBmpNoSignal = "BMPNoSignal";
constexpr const char *kFixedResolution = "FixedResolution";
constexpr const char *kScaleMode = "ScaleMode";
constexpr const char *kOperationMode = "OperationMode";
constexpr const char *kMaxFps = "MaxFps";
constexpr const char *kColorspace = "Colorspace";
constexpr const char *kForceColorspace = "ForceColorspace";
constexpr const char *kChannels = "Channels";
constexpr const char *kFrequency = "Frequency";
constexpr const char *kBitsPerSample = "BitsPerSample";

// The prefix that marks a stored path as a full one.
constexpr std::u16string_view kFullPathPrefix = u"\\??\\";

constexpr uint32_t kMaxStoredFps = 6000;
constexpr uint32_t kFallbackStoredFps = 3000;

bool StorePath(const std::u16string &path, DirectShowOptions *options)
{
    if (path.size() >= size_t(NO_SIGNAL_PATH_UNITS))
        return false;
    std::memset(options->noSignalImage, 0, sizeof options->noSignalImage);
    std::copy(path.begin(), path.end(), options->noSignalImage);
    return true;
}

}  // namespace

std::string NoSignalPathUtf8(const DirectShowOptions &options)
{
    return Utf16ToUtf8(std::u16string_view(options.noSignalImage,
                                           std::char_traits<char16_t>::length(options.noSignalImage)));
}

bool SetNoSignalPath(DirectShowOptions *options, const std::string &utf8)
{
    std::u16string wide;
    return Utf8ToUtf16(utf8, &wide) && StorePath(wide, options);
}

std::string AudioFormatText(const AudioFormat &format)
{
    return std::to_string(format.frequency) + " Hz, " + (format.channels == 1 ? "Mono" : "Stereo") + ", " +
           std::to_string(format.bitsPerSample) + "-bit";
}

bool DecodeFixedResolution(uint32_t value, DirectShowOptions *options)
{
    if (value == FIXED_RESOLUTION_OFF) {
        options->flags &= ~OPT_FIXED_RESOLUTION;
        return true;
    }
    if (value > 0xFFFF && (value & 0xFFFF) != 0) {
        options->flags |= OPT_FIXED_RESOLUTION;
        options->fixedWidth = int32_t(value >> 16);
        options->fixedHeight = int32_t(value & 0xFFFF);
        return true;
    }
    return false;
}

uint32_t EncodeFixedResolution(const DirectShowOptions &options)
{
    if (!(options.flags & OPT_FIXED_RESOLUTION))
        return FIXED_RESOLUTION_OFF;
    return (uint32_t(options.fixedWidth) << 16) | (uint32_t(options.fixedHeight) & 0xFFFF);
}

bool DecodeNoSignalText(const std::string &text, DirectShowOptions *options)
{
    std::u16string wide;
    if (!Utf8ToUtf16(text, &wide))
        return false;
    std::u16string path;
    if (wide.starts_with(kFullPathPrefix)) {
        path = wide.substr(kFullPathPrefix.size());
    } else if (wide.empty() || wide.find_first_of(u"\\/") != std::u16string::npos) {
        path = wide;
    } else {
        std::u16string folder;
        Utf8ToUtf16(SYSTEM_IMAGE_FOLDER, &folder);
        path = folder + u'/' + wide;
    }
    // A path longer than the field names some other file once cut: ignore it.
    if (!StorePath(path, options))
        return false;
    if (path.empty())
        options->flags &= ~OPT_NO_SIGNAL_IMAGE;
    else
        options->flags |= OPT_NO_SIGNAL_IMAGE;
    return true;
}

std::string EncodeNoSignalText(const DirectShowOptions &options)
{
    if (!(options.flags & OPT_NO_SIGNAL_IMAGE) || options.noSignalImage[0] == 0)
        return std::string();
    return Utf16ToUtf8(kFullPathPrefix) + NoSignalPathUtf8(options);
}

void DecodeOperationMode(uint32_t value, DirectShowOptions *options)
{
    auto follow = [&](uint32_t bit, uint32_t flag) {
        if (value & bit)
            options->flags |= flag;
        else
            options->flags &= ~flag;
    };
    follow(OPMODE_LIMIT_FPS, OPT_LIMIT_FPS);
    follow(OPMODE_FLIP_VERTICAL, OPT_FLIP_VERTICAL);
    follow(OPMODE_FIX_FPS, OPT_FIX_FPS);
}

uint32_t EncodeOperationMode(uint32_t previous, const DirectShowOptions &options)
{
    uint32_t value = previous & ~(OPMODE_LIMIT_FPS | OPMODE_FLIP_VERTICAL | OPMODE_FIX_FPS);
    if (options.flags & OPT_LIMIT_FPS)
        value |= OPMODE_LIMIT_FPS;
    if (options.flags & OPT_FLIP_VERTICAL)
        value |= OPMODE_FLIP_VERTICAL;
    if (options.flags & OPT_FIX_FPS)
        value |= OPMODE_FIX_FPS;
    return value;
}

float DecodeMaxFps(uint32_t value)
{
    if (value == 0 || value > kMaxStoredFps)
        value = kFallbackStoredFps;
    return float(value) / 100.0f;
}

uint32_t EncodeMaxFps(float rate)
{
    const double hundredths = std::trunc(double(rate) * 100.0);
    // Negative and non-finite rates have no stored form: they take the fallback
    // like 0 does, instead of wrapping around to a huge value.
    if (!std::isfinite(hundredths) || hundredths <= 0.0 || hundredths > double(kMaxStoredFps))
        return kFallbackStoredFps;
    return uint32_t(hundredths);
}

float RateWithoutStoredValue(float current)
{
    if (!(current >= MIN_FRAME_RATE && current <= MAX_FRAME_RATE))
        return DEFAULT_FRAME_RATE;
    return current;
}

int VideoFormatIndex(const std::string &name)
{
    for (int i = 0; i < VIDEO_FORMAT_COUNT; ++i) {
        if (name == VIDEO_FORMAT_NAMES[i])
            return i;
    }
    return -1;
}

void CorrectAudioFormat(AudioFormat *format)
{
    if (format->channels == 0 || format->channels > 2)
        format->channels = 2;
    switch (format->frequency) {
    case 8000:
    case 11025:
    case 16000:
    case 22050:
    case 32000:
    case 44100:
    case 48000:
        break;
    default:
        format->frequency = 22050;
    }
    if (format->bitsPerSample != 16)
        format->bitsPerSample = 16;
    format->valid = 1;
}

void ReadDirectShowOptions(StoreKey *videoKey, DirectShowOptions *options)
{
    if (!videoKey)
        return;
    std::string text;
    if (ReadText(videoKey, kBmpNoSignal, &text))
        DecodeNoSignalText(text, options);
    uint32_t value = 0;
    if (ReadDword(videoKey, kFixedResolution, &value))
        DecodeFixedResolution(value, options);
    if (ReadDword(videoKey, kScaleMode, &value))
        options->scaleMode = DecodeScaleMode(value);
    if (ReadDword(videoKey, kOperationMode, &value))
        DecodeOperationMode(value, options);
    if (ReadDword(videoKey, kMaxFps, &value))
        options->maxFps = DecodeMaxFps(value);
    else
        options->maxFps = RateWithoutStoredValue(options->maxFps);
}

bool WriteDirectShowOptions(StoreKey *videoKey, const DirectShowOptions &options)
{
    bool ok = WriteText(videoKey, kBmpNoSignal, EncodeNoSignalText(options).c_str());
    ok = WriteDword(videoKey, kFixedResolution, EncodeFixedResolution(options)) && ok;
    ok = WriteDword(videoKey, kScaleMode, uint32_t(options.scaleMode)) && ok;
    uint32_t previous = 0;
    if (!ReadDword(videoKey, kOperationMode, &previous))
        previous = 0;
    ok = WriteDword(videoKey, kOperationMode, EncodeOperationMode(previous, options)) && ok;
    ok = WriteDword(videoKey, kMaxFps, EncodeMaxFps(options.maxFps)) && ok;
    return ok;
}

void ReadCaptureFormats(CaptureFormatOptions *options)
{
    std::string name;
    if (options->videoKey && ReadText(options->videoKey, kColorspace, &name))
        options->preferredFormat = VideoFormatIndex(name);
    uint32_t value = 0;
    if (options->videoKey && ReadDword(options->videoKey, kForceColorspace, &value) && value != 0)
        options->captureFlags |= CAPTURE_FORCE_FORMAT;
    if (!options->audioKey)
        return;
    if (ReadDword(options->audioKey, kChannels, &value))
        options->audio.channels = uint16_t(value & 0xFFFF);
    if (ReadDword(options->audioKey, kFrequency, &value))
        options->audio.frequency = value;
    if (ReadDword(options->audioKey, kBitsPerSample, &value))
        options->audio.bitsPerSample = uint16_t(value & 0xFFFF);
    CorrectAudioFormat(&options->audio);
}

bool WriteCaptureFormats(const CaptureFormatOptions &options)
{
    bool ok = true;
    if (options.preferredFormat >= 0 && options.preferredFormat < VIDEO_FORMAT_COUNT) {
        ok = WriteText(options.videoKey, kColorspace, VIDEO_FORMAT_NAMES[options.preferredFormat]);
    } else if (ValueExists(options.videoKey, kColorspace)) {
        ok = DeleteValue(options.videoKey, kColorspace);
    }
    ok = WriteDword(options.videoKey, kForceColorspace, (options.captureFlags & CAPTURE_FORCE_FORMAT) ? 1 : 0) && ok;
    if (!options.audioKey)
        return ok;
    const bool audioOk = WriteDword(options.audioKey, kChannels, options.audio.channels) &&
                         WriteDword(options.audioKey, kFrequency, options.audio.frequency) &&
                         WriteDword(options.audioKey, kBitsPerSample, options.audio.bitsPerSample);
    return ok && audioOk;
}

namespace {

void CodecWrite(HKEY key, const DirectShowOptions &options)
{
    (void)WriteDirectShowOptions(key, options);
}

const DirectShowOptionsCodec kCodec = {&ReadDirectShowOptions, &CodecWrite};

}  // namespace

void InstallDirectShowOptionsCodec()
{
    SetDirectShowOptionsCodec(&kCodec);
}
