// The stand-in capture filter's registration entry point.
#include <capture/Wake.h>
#include <filter/Filter.h>
#include <store/Registry.h>

#include <string>
#include <type_traits>

namespace {

constexpr const char *kVideoInputCategory = "CLSID\\{860BB310-5D01-11d0-BD3B-00A0C911CE86}\\Instance\\";
constexpr const char *kAudioInputCategory = "CLSID\\{33D9A762-90C8-11D0-BD43-00A0C911CE86}\\Instance\\";
constexpr const char *kLegacyFilterCategory = "CLSID\\{083863F1-70DE-11d0-BD40-00A0C911CE86}\\Instance\\";

bool WriteInstance(const char *category, const GUID &id, const char *name)
{
    char text[GUID_TEXT_LENGTH + 1];
    GuidToText(id, text);
    CKey key(CreateKeyPath(HKEY_CLASSES_ROOT, (std::string(category) + text).c_str()));
    return key && WriteText(key.get(), "FriendlyName", name) && WriteText(key.get(), "CLSID", text);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int TSLRegisterDevice(const GUID *clsid, const char *name,
                                                                        const GUID *audio)
{
    if (!clsid)
        return 0;
    if (!name)
        name = "";
    int result = 0;
    {
        CStoreTransaction transaction;
        if (transaction.Active()) {
            bool ok = WriteInstance(kVideoInputCategory, *clsid, name) &&
                      WriteInstance(kLegacyFilterCategory, *clsid, name);
            if (ok && audio)
                ok = WriteInstance(kAudioInputCategory, *audio, name);
            result = ok && transaction.Commit() ? 1 : 0;
        }
    }
    // The host program may run for days: hold no connection between registrations.
    StoreClose();
    // A running capture service publishes the device now rather than at its next look.
    if (result)
        (void)Capture::WakeCaptureService();
    return result;
}

static_assert(std::is_same_v<decltype(&TSLRegisterDevice), TSLRegisterDeviceFn>);

// The module's own copy of the store code keeps no connection once it is unloaded.
__attribute__((destructor)) static void CloseStoreAtUnload() { StoreShutdown(); }
