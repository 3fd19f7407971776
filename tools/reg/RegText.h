// The text side of tessaline-reg: key paths with their root, the REGEDIT4-style
// export format, and the parser of import files.
//
// Import text:
//   REGEDIT4                      (or "Windows Registry Editor Version 5.00")
//   [HKEY_CURRENT_USER\Path]      create the key
//   [-HKEY_CLASSES_ROOT\Path]     delete the key with its subkeys
//   "Name"="text"  @="default"    REG_SZ (\\, \", \n and \r escaped)
//   "Name"=dword:0000000a         REG_DWORD
//   "Name"=hex:01,02,...          REG_BINARY; hex(n): any type; a line may end in '\'
//   "Name"=-                      delete the value
//   ; comment
// Parsing never touches the store; ApplyImport applies everything in one
// transaction or nothing. Key paths deeper than STORE_MAX_KEY_DEPTH, key names "."
// and "..", NUL bytes in names and values over MAX_VALUE_BYTES are refused.
//
// Queries and exports read under one store view (CStoreReadTransaction), so an
// import running beside them is seen whole or not at all, and walk the key tree
// with a stack of their own, never by recursion.
#pragma once

#include <store/Registry.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace RegText {

// Largest import file and largest value of any type accepted (texts count their NUL).
inline constexpr size_t MAX_IMPORT_BYTES = 64u << 20;
inline constexpr size_t MAX_VALUE_BYTES = 1u << 20;

enum class OpKind { CreateKey, DeleteKey, SetValue, DeleteValue };

struct Op {
    OpKind kind = OpKind::CreateKey;
    HKEY root = nullptr;
    std::string path;  // below the root
    std::string name;  // value name ("" = default value)
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
    int line = 0;
};

struct ParseError {
    int line = 0;
    std::string message;
};

// "HKEY_CURRENT_USER\a\b" (or HKCU, HKEY_CLASSES_ROOT, HKCR) → root and "a\b".
[[nodiscard]] bool ParseKeyPath(std::string_view text, HKEY *root, std::string *path);
const char *RootName(HKEY root);
// The full name of a key: root name, and "\path" when path is not empty.
std::string FullKeyName(HKEY root, const std::string &path);

// Parses an import file. false with the first error (line numbers from 1).
[[nodiscard]] bool ParseImport(std::string_view text, std::vector<Op> *ops, ParseError *error);

// Applies parsed operations in one transaction. false (nothing changed) with a message.
[[nodiscard]] bool ApplyImport(const std::vector<Op> &ops, std::string *error);

// One value line of the export format (with its newline).
std::string FormatValue(const std::string &name, uint32_t type, const std::vector<uint8_t> &data);

// What a walk could not show: keys deeper than STORE_MAX_KEY_DEPTH (left by older
// versions), which it does not enter, and the first store error that cut it short.
struct WalkReport {
    size_t deepKeys = 0;
    long error = STORE_ERROR_SUCCESS;
    bool Complete() const { return deepKeys == 0 && error == STORE_ERROR_SUCCESS; }
};

// Visits root\path and, when recursive, every key below it, depth first in creation
// order, each with its path below the root. false when root\path does not exist.
bool WalkKeys(HKEY root, const std::string &path, bool recursive,
              const std::function<void(HKEY key, const std::string &path, WalkReport *report)> &visit,
              WalkReport *report);

// Appends the export text of a key and its subkeys (depth first, creation order).
// false when the key does not exist.
bool ExportKey(HKEY root, const std::string &path, std::string *out, WalkReport *report);

// Appends what "query" shows of a key: its values, then its subkeys' names, or with
// recursive every key below it in full. false when the key does not exist.
bool QueryKey(HKEY root, const std::string &path, bool recursive, std::string *out, WalkReport *report);

// Appends what "query /v" shows of one value. false when the key or value does not exist.
bool QueryValue(HKEY root, const std::string &path, const std::string &name, std::string *out);

}  // namespace RegText
