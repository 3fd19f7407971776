// UTF-8 <-> UTF-16 at the boundary of the no-signal image path, which the device
// record keeps as 16-bit text while the store and the file system use UTF-8.
#pragma once

#include <string>
#include <string_view>

// Strict: overlong forms, surrogates and code points above U+10FFFF fail.
bool Utf8ToUtf16(std::string_view utf8, std::u16string *out);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);
