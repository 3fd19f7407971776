// GUID texts and device address texts (numeric hosts only) against arbitrary bytes.
#include <store/Device.h>
#include <store/Guid.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "guid text fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    GUID guid;
    if (GuidFromText(text, size, &guid)) {
        Check(size == GUID_TEXT_LENGTH, "accepted a text of the wrong length");
        char back[GUID_TEXT_LENGTH + 1];
        GuidToText(guid, back);
        Check(strncasecmp(back, text, GUID_TEXT_LENGTH) == 0, "text does not round trip");
        GUID again;
        Check(GuidFromText(back, &again) && again == guid, "formatted text does not parse");
    }
    std::string address(text, size);
    address = address.c_str();
    AddressRecord record;
    if (ParseDeviceAddressNumeric(address.c_str(), &record)) {
        Check(record.family == ADDRESS_FAMILY_INET, "family not set");
        Check(record.port != 0, "port 0 accepted");
        const char *colon = std::strchr(address.c_str(), ':');
        Check(colon || ntohs(record.port) == DEFAULT_DEVICE_PORT, "port without a colon");
    }
    return 0;
}
