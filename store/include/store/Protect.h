// Data protection bound to the user: libsodium secret-box sealing under a per-user
// key kept in $XDG_DATA_HOME/tessaline/protect.key (default ~/.local/share/...),
// created once, atomically, readable by the user alone.
//
// Blob layout: "TSLP", version 1, description length (2 bytes, little-endian),
// the description (UTF-8), a 24-byte nonce, the sealed bytes (16-byte tag + data).
// A blob that does not open — another user's, another key's, damaged — is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t PROTECT_HEADER_MIN = 4 + 1 + 2 + 24 + 16;

// Seals data; false when the key cannot be had.
[[nodiscard]] bool ProtectData(const void *data, size_t size, const char *description, std::vector<uint8_t> *blob);

// Opens a blob; false when it does not open.
[[nodiscard]] bool UnprotectData(const uint8_t *blob, size_t size, std::vector<uint8_t> *data,
                                 std::string *description = nullptr);

// The parts of a blob, checked for shape only (no key needed).
struct ProtectedBlobView {
    std::string description;
    const uint8_t *nonce = nullptr;  // 24 bytes
    const uint8_t *sealed = nullptr;
    size_t sealedSize = 0;  // tag included
};
[[nodiscard]] bool ParseProtectedBlob(const uint8_t *blob, size_t size, ProtectedBlobView *view);

// The stored form of a password: its bytes with the NUL (an empty password is the
// single byte 0), described as "Tessaline password". Empty when sealing failed.
std::vector<uint8_t> ProtectPassword(const std::string &password);
// The password from its stored form; empty for anything that does not open.
std::string UnprotectPassword(const std::vector<uint8_t> &blob);

// Where the key file lives (for tests).
std::string ProtectKeyPath();
