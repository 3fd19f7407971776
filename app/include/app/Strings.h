// The application's entries of the string table.
#pragma once

inline constexpr unsigned IDS_DOC_TEMPLATE = 128;
inline constexpr unsigned IDS_VERSION = 129;
inline constexpr unsigned IDS_APP_TITLE = 57344;
inline constexpr unsigned IDS_NO_HELP = 40001;
inline constexpr unsigned IDS_SPLIT_TRACKING = 40002;

// Registers the texts (once per process; later calls do nothing).
void RegisterApplicationStrings();
