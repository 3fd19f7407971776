#include <gtest/gtest.h>

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
    // The test suite of RFC 1321.
    EXPECT_EQ(Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    const std::string digits =
        "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    EXPECT_EQ(Hex(digits), "57edf4a22be3c955ac49da2e2107b67a");

    CMd5 md5;
    for (size_t i = 0; i < digits.size(); i += 7)
        ASSERT_TRUE(md5.Update(digits.data() + i, std::min<size_t>(7, digits.size() - i)));
    uint8_t digest[MD5_DIGEST_BYTES];
    ASSERT_TRUE(md5.Final(digest));
    char hex[33];
    Md5ToHex(digest, hex);
    EXPECT_STREQ(hex, "57edf4a22be3c955ac49da2e2107b67a");
    EXPECT_FALSE(md5.Update("x", 1));  // finished: needs a Reset
    ASSERT_TRUE(md5.Reset());
    ASSERT_TRUE(md5.Update("abc", 3));
    ASSERT_TRUE(md5.Final(digest));
    Md5ToHex(digest, hex);
    EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
