// GUID texts and device address texts (numeric hosts only) against arbitrary bytes.
#include "FuzzCheck.h"

#include <store/Device.h>
#include <store/Guid.h>

#include <arpa/inet.h>

#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    GUID guid;
    if (GuidFromText(text, size, &guid)) {
        FuzzCheck(size == GUID_TEXT_LENGTH, "guid text", "accepted a text of the wrong length");
        char back[GUID_TEXT_LENGTH + 1];
        GuidToText(guid, back);
        FuzzCheck(strncasecmp(back, text, GUID_TEXT_LENGTH) == 0, "guid text", "text does not round trip");
        GUID again;
        FuzzCheck(GuidFromText(back, &again) && again == guid, "guid text", "formatted text does not parse");
    }
    std::string address(text, size);
    address = address.c_str();
    AddressRecord record;
    if (ParseDeviceAddressNumeric(address.c_str(), &record)) {
        FuzzCheck(record.family == ADDRESS_FAMILY_INET, "guid text", "family not set");
        FuzzCheck(record.port != 0, "guid text", "port 0 accepted");
        const char *colon = std::strchr(address.c_str(), ':');
        FuzzCheck(colon || ntohs(record.port) == DEFAULT_DEVICE_PORT, "guid text", "port without a colon");
    }
    return 0;
}
