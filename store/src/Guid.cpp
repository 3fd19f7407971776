#include "store/Guid.h"

#include <ambry/Parse.h>

#include <uuid/uuid.h>

#include <cstdio>
#include <cstring>

bool operator==(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

GUID NewGuid()
{
    uuid_t bytes;
    uuid_generate_random(bytes);
    GUID guid;
    static_assert(sizeof(bytes) == sizeof(guid));
    std::memcpy(&guid, bytes, sizeof(guid));
    return guid;
}

void GuidToText(const GUID &g, char text[GUID_TEXT_LENGTH + 1])
{
    std::snprintf(text, GUID_TEXT_LENGTH + 1, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                  g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

namespace {

// Reads `digits` hex digits at text[pos]; false on any other character.
bool ReadHex(const char *text, size_t pos, int digits, uint32_t *out)
{
    uint32_t value = 0;
    for (int i = 0; i < digits; ++i) {
        int d = Ambry::DigitValue(text[pos + i], 16);
        if (d < 0)
            return false;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    *out = value;
    return true;
}

}  // namespace

bool GuidFromText(const char *text, size_t length, GUID *guid)
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (!text || length != GUID_TEXT_LENGTH || text[0] != '{' || text[37] != '}' || text[9] != '-' ||
        text[14] != '-' || text[19] != '-' || text[24] != '-')
        return false;
    GUID g;
    uint32_t v;
    if (!ReadHex(text, 1, 8, &v))
        return false;
    g.Data1 = v;
    if (!ReadHex(text, 10, 4, &v))
        return false;
    g.Data2 = static_cast<uint16_t>(v);
    if (!ReadHex(text, 15, 4, &v))
        return false;
    g.Data3 = static_cast<uint16_t>(v);
    static const size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, kBytePos[i], 2, &v))
            return false;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *guid = g;
    return true;
}

bool GuidFromText(const char *text, GUID *guid)
{
    if (!text)
        return false;
    return GuidFromText(text, std::strlen(text), guid);
}

bool CGuidRecord::Parse(const char *text, CGuidRecord *out)
{
    GUID guid;
    if (!text || !*text || !GuidFromText(text, &guid))
        return false;
    *out = CGuidRecord(guid);
    return true;
}

const char *CGuidRecord::Text() const
{
    if (!m_text[0])
        GuidToText(m_guid, m_text);
    return m_text;
}
