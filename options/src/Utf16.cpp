#include "Utf16.h"

#include <cstdint>

bool Utf8ToUtf16(std::string_view utf8, std::u16string *out)
{
    std::u16string result;
    result.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = uint8_t(utf8[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F, extra = 1, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F, extra = 2, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07, extra = 3, minimum = 0x10000;
        } else {
            return false;
        }
        if (extra > utf8.size() - i - 1)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto cont = uint8_t(utf8[i + k]);
            if ((cont & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cont & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            result.push_back(char16_t(0xD800 + (cp >> 10)));
            result.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            result.push_back(char16_t(cp));
        }
        i += extra + 1;
    }
    *out = std::move(result);
    return true;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
    std::string result;
    result.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            result.push_back(char(cp));
        } else if (cp < 0x800) {
            result.push_back(char(0xC0 | (cp >> 6)));
            result.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            result.push_back(char(0xE0 | (cp >> 12)));
            result.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            result.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            result.push_back(char(0xF0 | (cp >> 18)));
            result.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            result.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            result.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return result;
}
