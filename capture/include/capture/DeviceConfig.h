// What the capture service publishes: one entry per device that has a video input
// category instance key in the settings store, with everything its node and its
// device connection need, read in one consistent view of the store.
#pragma once

#include "capture/Pipeline.h"

#include <options/CaptureOptions.h>
#include <store/Guid.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Capture {

struct DeviceConfig {
    GUID clsid{};
    std::string clsidText;           // "{...}", upper case
    std::string audioText;           // audio class identifier with an audio instance key, or empty
    std::string nodeName;            // "tessaline-<clsid lower case, no braces>"
    std::string displayName;         // never empty: falls back to the serial number, then the id
    std::string address;             // as stored ("host[:port]")
    std::string serialNumber;
    uint32_t deviceType = 0;
    std::string password;            // unsealed; empty when there is none or it does not open
    bool passwordUnreadable = false; // a stored password that did not open
    DirectShowOptions options;
    int preferredFormat = -1;        // index into VIDEO_FORMAT_NAMES, -1 none
    bool forceFormat = false;
    AudioFormat audio;
};

// Everything that changes what a node offers or how it shapes frames.
bool SameVideoSettings(const DeviceConfig &a, const DeviceConfig &b);
// Everything that changes the device connection.
bool SameConnection(const DeviceConfig &a, const DeviceConfig &b);

// "tessaline-" and the identifier's text in lower case without braces.
std::string NodeNameFor(const GUID &clsid);

// Reads every published device, in the order of the category's instance keys.
// false (and *out untouched) when the store cannot be read at all; a store without
// the category simply publishes nothing.
[[nodiscard]] bool ReadPublishedDevices(std::vector<DeviceConfig> *out);

// The formats a node offers, in order: the preferred one first, only that one when
// it is forced; IYUV and I420 count as one.
std::vector<PixelFormat> OfferedFormats(const DeviceConfig &config);

}  // namespace Capture
