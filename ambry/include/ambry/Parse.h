// Numbers from text. Leading white space is skipped; after the number only white
// space may follow. Results are written only on success.
#pragma once

#include <cstdint>

namespace Ambry {

// The value of c as a digit of base (2..36: '0'-'9', then 'a'-'z' or 'A'-'Z' from 10
// up), or -1 when c is not one of that base's digits.
[[nodiscard]] int DigitValue(char c, int base);

// base 0: decimal, hexadecimal after "0x"/"0X", octal after a leading 0; otherwise
// 2..36. A minus or plus sign anywhere fails; so does a value above 4294967294
// (4294967295 is reserved as "no value").
[[nodiscard]] bool ParseUnsigned(const char *text, int base, uint32_t *value);
// As ParseUnsigned, and values above 65535 fail.
[[nodiscard]] bool ParseUInt16(const char *text, int base, uint16_t *value);
// A decimal real number (strtod syntax, no "inf"/"nan"); an overflowing value fails.
[[nodiscard]] bool ParseDouble(const char *text, double *value);
// As ParseDouble, and the value must be finite as a float.
[[nodiscard]] bool ParseFloat(const char *text, float *value);

}  // namespace Ambry
