// The capture filter module as the programs that load it see it: its file name beside
// the program, the name of its one export and that export's type.
#pragma once

#include <store/Guid.h>

inline constexpr const char *FILTER_FILE_NAME = "Tessaline.ax";
inline constexpr const char *REGISTER_ENTRY_NAME = "TSLRegisterDevice";

// Writes the category instance keys of clsid (and of audio, when given) with name as
// their friendly name, in one store transaction. 1 when stored, 0 otherwise.
using TSLRegisterDeviceFn = int (*)(const GUID *clsid, const char *name, const GUID *audio);
