// MD5 digests (RFC 1321) through libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Ambry {

constexpr size_t MD5_DIGEST_BYTES = 16;

// One-shot digest of size bytes. False only when the digest cannot be computed.
[[nodiscard]] bool Md5(const void *data, size_t size, uint8_t digest[MD5_DIGEST_BYTES]);

// Lower-case hexadecimal text of a digest: 32 characters and a NUL.
void Md5ToHex(const uint8_t digest[MD5_DIGEST_BYTES], char text[2 * MD5_DIGEST_BYTES + 1]);

// Incremental digest over several pieces.
class CMd5 {
public:
    CMd5();
    ~CMd5();
    CMd5(const CMd5 &) = delete;
    CMd5 &operator=(const CMd5 &) = delete;

    // Starts over; false when libcrypto cannot make a context.
    [[nodiscard]] bool Reset();
    [[nodiscard]] bool Update(const void *data, size_t size);
    // Writes the digest; the object must be Reset before it is used again.
    [[nodiscard]] bool Final(uint8_t digest[MD5_DIGEST_BYTES]);

private:
    void *m_context = nullptr;  // EVP_MD_CTX
    bool m_ok = false;
};

}  // namespace Ambry
