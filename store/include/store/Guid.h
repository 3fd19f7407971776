// GUIDs as the settings store names things with them, and the record that caches
// a GUID's text form.
//
// Text form: "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}" from the fields,
// 38 characters. Parsing accepts exactly that braced form (hex digits in either case).
#pragma once

#include <cstddef>
#include <cstdint>

// Laid out as on Windows; fields in native byte order.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes");

inline constexpr size_t GUID_TEXT_LENGTH = 38;

bool operator==(const GUID &a, const GUID &b);

// A fresh random GUID from libuuid.
[[nodiscard]] GUID NewGuid();

// Writes the 38-character text form and a NUL into text (39 bytes).
void GuidToText(const GUID &guid, char text[GUID_TEXT_LENGTH + 1]);

// Parses exactly the braced form. false (and *guid untouched) for anything else,
// including null text and texts with anything before or after.
[[nodiscard]] bool GuidFromText(const char *text, GUID *guid);
// The same over a counted text (need not be NUL-terminated).
[[nodiscard]] bool GuidFromText(const char *text, size_t length, GUID *guid);

// A GUID with its cached text form (made on first use).
class CGuidRecord {
public:
    CGuidRecord() = default;
    explicit CGuidRecord(const GUID &guid) : m_guid(guid) {}

    // A record with a fresh random GUID.
    [[nodiscard]] static CGuidRecord Create() { return CGuidRecord(NewGuid()); }
    // Parses text; false for null, empty or malformed text.
    [[nodiscard]] static bool Parse(const char *text, CGuidRecord *out);

    const GUID &Guid() const { return m_guid; }
    // The 38-character upper-case braced text. Not thread-safe on first use: owners
    // call it under their own lock.
    const char *Text() const;

private:
    GUID m_guid{};
    mutable char m_text[GUID_TEXT_LENGTH + 1] = {};
};
