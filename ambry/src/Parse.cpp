#include "ambry/Parse.h"

#include <locale.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace Ambry {
namespace {

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

const char *SkipSpace(const char *p)
{
    while (IsSpace(*p))
        ++p;
    return p;
}

// The "C" locale, so a decimal point is "." whatever the process locale says.
locale_t CLocale()
{
    static locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

int DigitValue(char c, int base)
{
    int value = 99;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'z')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

bool ParseUnsigned(const char *text, int base, uint32_t *value)
{
    if (!text || base < 0 || base == 1 || base > 36)
        return false;
    if (std::strchr(text, '-'))
        return false;  // a minus sign anywhere fails
    const char *p = SkipSpace(text);
    if (base == 0) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0) {
            base = 16;
            p += 2;
        } else if (p[0] == '0') {
            base = 8;
        } else {
            base = 10;
        }
    } else if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2], 16) >= 0) {
        p += 2;
    }
    if (DigitValue(*p, base) < 0)
        return false;  // no digits
    uint64_t result = 0;
    for (int digit; (digit = DigitValue(*p, base)) >= 0;) {
        result = result * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (result >= 0xFFFFFFFFull)
            return false;  // 4294967295 and above fail
        ++p;
    }
    if (*SkipSpace(p) != '\0')
        return false;
    if (value)
        *value = static_cast<uint32_t>(result);
    return true;
}

bool ParseUInt16(const char *text, int base, uint16_t *value)
{
    uint32_t wide;
    if (!ParseUnsigned(text, base, &wide) || wide > 0xFFFF)
        return false;
    if (value)
        *value = static_cast<uint16_t>(wide);
    return true;
}

bool ParseDouble(const char *text, double *value)
{
    if (!text)
        return false;
    const char *p = SkipSpace(text);
    if (*p == '\0')
        return false;
    // Only decimal notation: no "inf", "nan" or hexadecimal forms.
    for (const char *q = p; *q && !IsSpace(*q); ++q) {
        if (!std::strchr("0123456789+-.eE", *q))
            return false;
    }
    char *end = nullptr;
    errno = 0;
    double result = strtod_l(p, &end, CLocale());
    if (end == p)
        return false;
    if (errno == ERANGE && std::fabs(result) == HUGE_VAL)
        return false;
    if (!std::isfinite(result) || *SkipSpace(end) != '\0')
        return false;
    if (value)
        *value = result;
    return true;
}

bool ParseFloat(const char *text, float *value)
{
    double wide;
    if (!ParseDouble(text, &wide) || std::fabs(wide) > std::numeric_limits<float>::max())
        return false;
    if (value)
        *value = static_cast<float>(wide);
    return true;
}

}  // namespace Ambry
