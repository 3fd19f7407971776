#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

#include "ambry/Parse.h"

namespace {

using namespace Ambry;

TEST(Parse, UnsignedBasesPrefixesAndWhiteSpace)
{
    struct Case {
        const char *text;
        int base;
        uint32_t value;
    } cases[] = {
        {"  0x1F  ", 0, 31}, {"017", 0, 15}, {"0", 0, 0}, {"\t42\n", 10, 42},
        {"ff", 16, 255}, {"0XfF", 16, 255}, {"4294967294", 10, 4294967294u}, {"z", 36, 35},
    };
    for (const Case &c : cases) {
        uint32_t v = 0;
        EXPECT_TRUE(ParseUnsigned(c.text, c.base, &v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(Parse, DigitsEndAtTheBaseAndAtTheNeighboursOfTheirRanges)
{
    EXPECT_EQ(DigitValue('0', 2), 0);
    EXPECT_EQ(DigitValue('9', 10), 9);
    EXPECT_EQ(DigitValue('a', 16), 10);
    EXPECT_EQ(DigitValue('F', 16), 15);
    EXPECT_EQ(DigitValue('Z', 36), 35);
    for (char c : {'2', 'a', 'G', 'g'})
        EXPECT_EQ(DigitValue(c, c == '2' ? 2 : c == 'a' ? 10 : 16), -1) << c;
    for (char c : {'/', ':', '@', '[', '`', '{', ' ', '\0', '\x80'})
        EXPECT_EQ(DigitValue(c, 36), -1) << int(c);
}

TEST(Parse, UnsignedRejectsSignsJunkAndOverflowWithoutTouchingTheResult)
{
    const char *bad[] = {
        "-1", "1-", " - 5", "+5", "", "   ", "12abc", "12 3", "0x", "0x 1", "09", "0xG",
        "4294967295", "4294967296", "99999999999999999999", "1.5",
    };
    for (const char *text : bad) {
        uint32_t v = 777;
        EXPECT_FALSE(ParseUnsigned(text, 0, &v)) << '"' << text << '"';
        EXPECT_EQ(v, 777u) << text;
    }
    uint32_t v = 0;
    EXPECT_FALSE(ParseUnsigned("12", 1, &v));
    EXPECT_FALSE(ParseUnsigned("12", 37, &v));
    EXPECT_FALSE(ParseUnsigned(nullptr, 10, &v));
    EXPECT_FALSE(ParseUnsigned("8", 8, &v));
}

TEST(Parse, SixteenBitValues)
{
    uint16_t port = 1;
    EXPECT_TRUE(ParseUInt16(" 5557 ", 0, &port));
    EXPECT_EQ(port, 5557);
    EXPECT_TRUE(ParseUInt16("65535", 10, &port));
    EXPECT_EQ(port, 65535);
    port = 9;
    EXPECT_FALSE(ParseUInt16("70000", 0, &port));
    EXPECT_FALSE(ParseUInt16("65536", 10, &port));
    EXPECT_FALSE(ParseUInt16("-1", 10, &port));
    EXPECT_EQ(port, 9);
}

TEST(Parse, RealsAcceptOnlyFiniteDecimalNumbers)
{
    double d = 0;
    EXPECT_TRUE(ParseDouble("  2.5  ", &d));
    EXPECT_EQ(d, 2.5);
    EXPECT_TRUE(ParseDouble("-1e3", &d));
    EXPECT_EQ(d, -1000.0);
    EXPECT_TRUE(ParseDouble("1e-400", &d));  // underflow is not overflow
    EXPECT_GE(d, 0.0);
    d = 4;
    for (const char *text : {"1e999", "-1e999", "inf", "nan", "", "  ", "2.5x", "2.5 3", "0x10", "1,5"})
        EXPECT_FALSE(ParseDouble(text, &d)) << text;
    EXPECT_EQ(d, 4.0);

    float f = 0;
    EXPECT_TRUE(ParseFloat("29.97", &f));
    EXPECT_FLOAT_EQ(f, 29.97f);
    EXPECT_TRUE(ParseFloat("3e38", &f));
    f = 1;
    EXPECT_FALSE(ParseFloat("1e39", &f));  // fine as a double, not as a float
    EXPECT_EQ(f, 1.0f);
}

TEST(Parse, RealsIgnoreTheProcessLocale)
{
    // A widget toolkit may switch the process to the user's locale; "2.5" must stay 2.5.
    const char *old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr ||
                    std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
    double d = 0;
    EXPECT_TRUE(ParseDouble("2.5", &d));
    EXPECT_EQ(d, 2.5);
    std::setlocale(LC_NUMERIC, saved.c_str());
    if (!switched)
        GTEST_SKIP() << "no comma-decimal locale installed";
}

}  // namespace
