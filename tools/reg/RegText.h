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
// transaction or nothing.
#pragma once

#include <store/Registry.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace RegText {

// Largest import file and largest value accepted.
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

// Appends the export text of a key and its subkeys (depth first, creation order).
// false when the key does not exist.
bool ExportKey(HKEY root, const std::string &path, std::string *out);

}  // namespace RegText
