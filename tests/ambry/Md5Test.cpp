#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "ambry/Md5.h"

namespace {

using namespace Ambry;

std::string Hex(const std::string &text)
{
    uint8_t digest[MD5_DIGEST_BYTES];
    EXPECT_TRUE(Md5(text.data(), text.size(), digest));
    char hex[33];
    Md5ToHex(digest, hex);
    return hex;
}

TEST(Md5, KnownDigestsOneShotAndInPieces)
{
    // The whole test suite of RFC 1321 (appendix A.5).
    const struct {
        const char *text;
        const char *digest;
    } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    CMd5 md5;
    for (const auto &entry : suite) {
        EXPECT_EQ(Hex(entry.text), entry.digest) << '"' << entry.text << '"';
        // Pieces of 1, 2, 3 ... bytes, so some piece straddles the 64-byte block edge.
        ASSERT_TRUE(md5.Reset());
        const size_t length = std::strlen(entry.text);
        for (size_t at = 0, piece = 1; at < length; at += piece, ++piece)
            ASSERT_TRUE(md5.Update(entry.text + at, std::min(piece, length - at)));
        uint8_t digest[MD5_DIGEST_BYTES];
        ASSERT_TRUE(md5.Final(digest));
        char hex[33];
        Md5ToHex(digest, hex);
        EXPECT_STREQ(hex, entry.digest) << '"' << entry.text << "\" in pieces";
        EXPECT_FALSE(md5.Update("x", 1));  // finished: needs a Reset
    }
}

}  // namespace
