#include "ambry/Md5.h"

#include <openssl/evp.h>

namespace Ambry {

bool Md5(const void *data, size_t size, uint8_t digest[MD5_DIGEST_BYTES])
{
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, EVP_md5(), nullptr) != 1)
        return false;
    return length == MD5_DIGEST_BYTES;
}

void Md5ToHex(const uint8_t digest[MD5_DIGEST_BYTES], char text[2 * MD5_DIGEST_BYTES + 1])
{
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < MD5_DIGEST_BYTES; ++i) {
        text[2 * i] = kHex[digest[i] >> 4];
        text[2 * i + 1] = kHex[digest[i] & 15];
    }
    text[2 * MD5_DIGEST_BYTES] = '\0';
}

CMd5::CMd5() { m_ok = Reset(); }

CMd5::~CMd5() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(m_context)); }

bool CMd5::Reset()
{
    if (!m_context)
        m_context = EVP_MD_CTX_new();
    m_ok = m_context && EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(m_context), EVP_md5(), nullptr) == 1;
    return m_ok;
}

bool CMd5::Update(const void *data, size_t size)
{
    if (!m_ok)
        return false;
    m_ok = EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(m_context), data, size) == 1;
    return m_ok;
}

bool CMd5::Final(uint8_t digest[MD5_DIGEST_BYTES])
{
    if (!m_ok)
        return false;
    unsigned int length = 0;
    m_ok = false;  // Reset before the next use
    return EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(m_context), digest, &length) == 1 &&
           length == MD5_DIGEST_BYTES;
}

}  // namespace Ambry
