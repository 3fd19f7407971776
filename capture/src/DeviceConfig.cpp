// Reading the published devices from the settings store.
#include "capture/DeviceConfig.h"

#include <options/OptionValues.h>
#include <store/Protect.h>
#include <store/Registry.h>

#include <cctype>
#include <cstring>

namespace Capture {
namespace {

constexpr const char *kVideoInstances = "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance";
constexpr const char *kAudioInstances = "CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance";

bool HasAudioInstance(const std::string &text)
{
    if (text.empty())
        return false;
    CKey key(OpenKey(HKEY_CLASSES_ROOT, (std::string(kAudioInstances) + "\\" + text).c_str(), KEY_READ));
    return bool(key);
}

void ReadDevice(const GUID &clsid, DeviceConfig *config)
{
    char text[GUID_TEXT_LENGTH + 1];
    GuidToText(clsid, text);
    config->clsid = clsid;
    config->clsidText = text;
    config->nodeName = NodeNameFor(clsid);

    CKey device(OpenKey(HKEY_CLASSES_ROOT, (std::string("CLSID\\") + text).c_str(), KEY_READ));
    std::string human;
    if (device) {
        (void)ReadText(device.get(), nullptr, &config->displayName);
        (void)ReadText(device.get(), "HumanEnteredName", &human);
        std::string audio;
        GUID audioId;
        if (ReadText(device.get(), "AudioGUID", &audio) && GuidFromText(audio.c_str(), &audioId)) {
            char audioText[GUID_TEXT_LENGTH + 1];
            GuidToText(audioId, audioText);
            if (HasAudioInstance(audioText))
                config->audioText = audioText;
        }
        CKey server(OpenKey(device.get(), "ServerParameters", KEY_READ));
        if (server) {
            (void)ReadText(server.get(), "Address", &config->address);
            (void)ReadText(server.get(), "SerialNumber", &config->serialNumber);
            (void)ReadDword(server.get(), "DeviceType", &config->deviceType);
            std::vector<uint8_t> sealed;
            if (ReadBinary(server.get(), "Password", &sealed) && !sealed.empty()) {
                std::vector<uint8_t> plain;
                if (UnprotectData(sealed.data(), sealed.size(), &plain)) {
                    plain.push_back(0);
                    config->password = reinterpret_cast<const char *>(plain.data());
                } else {
                    config->passwordUnreadable = true;
                }
            }
        }
        CKey video(OpenKey(device.get(), "VideoParameters", KEY_READ));
        CKey audioKey(OpenKey(device.get(), "AudioParameters", KEY_READ));
        if (video)
            ReadDirectShowOptions(video.get(), &config->options);
        CaptureFormatOptions formats;
        formats.videoKey = video.get();
        formats.audioKey = audioKey.get();
        ReadCaptureFormats(&formats);
        config->preferredFormat = formats.preferredFormat;
        config->forceFormat = (formats.captureFlags & CAPTURE_FORCE_FORMAT) != 0 && formats.preferredFormat >= 0;
        config->audio = formats.audio;
    }
    if (config->displayName.empty())
        config->displayName = human;
    if (config->displayName.empty())
        config->displayName = config->serialNumber;
    if (config->displayName.empty())
        config->displayName = text;
}

}  // namespace

std::string NodeNameFor(const GUID &clsid)
{
    char text[GUID_TEXT_LENGTH + 1];
    GuidToText(clsid, text);
    std::string name = "tessaline-";
    for (size_t i = 1; i + 1 < GUID_TEXT_LENGTH; ++i)
        name += char(std::tolower(static_cast<unsigned char>(text[i])));
    return name;
}

bool SameVideoSettings(const DeviceConfig &a, const DeviceConfig &b)
{
    const DirectShowOptions &x = a.options, &y = b.options;
    return x.flags == y.flags && x.fixedWidth == y.fixedWidth && x.fixedHeight == y.fixedHeight &&
           x.scaleMode == y.scaleMode && x.maxFps == y.maxFps &&
           std::memcmp(x.noSignalImage, y.noSignalImage, sizeof x.noSignalImage) == 0 &&
           a.preferredFormat == b.preferredFormat && a.forceFormat == b.forceFormat;
}

bool SameConnection(const DeviceConfig &a, const DeviceConfig &b)
{
    return a.address == b.address && a.password == b.password && a.passwordUnreadable == b.passwordUnreadable;
}

bool ReadPublishedDevices(std::vector<DeviceConfig> *out)
{
    std::vector<DeviceConfig> devices;
    {
        CStoreTransaction view(CStoreTransaction::Mode::Read);
        if (!view.Active())
            return false;
        CKey instances(OpenKey(HKEY_CLASSES_ROOT, kVideoInstances, KEY_READ));
        if (!instances) {
            if (StoreLastError() != STORE_ERROR_FILE_NOT_FOUND)
                return false;
        } else {
            std::string name;
            for (uint32_t i = 0; StoreEnumKey(instances.get(), i, &name); ++i) {
                GUID id;
                if (!GuidFromText(name.c_str(), &id))
                    continue;
                bool seen = false;
                for (const DeviceConfig &d : devices)
                    seen = seen || d.clsid == id;
                if (seen)
                    continue;
                DeviceConfig config;
                ReadDevice(id, &config);
                devices.push_back(std::move(config));
            }
            if (StoreLastError() != STORE_ERROR_NO_MORE_ITEMS)
                return false;
        }
    }
    *out = std::move(devices);
    return true;
}

std::vector<PixelFormat> OfferedFormats(const DeviceConfig &config)
{
    std::vector<PixelFormat> formats;
    auto add = [&formats](int index) {
        PixelFormat f;
        if (!FormatFromOptionName(VIDEO_FORMAT_NAMES[index], &f))
            return;
        for (PixelFormat g : formats)
            if (g == f)
                return;
        formats.push_back(f);
    };
    if (config.preferredFormat >= 0 && config.preferredFormat < VIDEO_FORMAT_COUNT) {
        add(config.preferredFormat);
        if (config.forceFormat)
            return formats;
    }
    for (int i = 0; i < VIDEO_FORMAT_COUNT; ++i)
        add(i);
    return formats;
}

}  // namespace Capture
