#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ambry/StrBuf.h"

namespace {

using namespace Ambry;

TEST(StrBuf, InlineTextMovesToTheHeapWithoutTruncation)
{
    TStrBuf<_StrBuf16> text;
    EXPECT_TRUE(text.IsInline());
    EXPECT_STREQ(text.c_str(), "");
    ASSERT_TRUE(text.Set("123456789012345"));  // 15 bytes and the NUL: still inline
    EXPECT_TRUE(text.IsInline());
    EXPECT_EQ(text.Capacity(), 16u);
    ASSERT_TRUE(text.AppendChar('6'));
    EXPECT_FALSE(text.IsInline());
    EXPECT_STREQ(text.c_str(), "1234567890123456");
    // capacity * 3 / 2 + 1 = 25 beats the 17 bytes needed.
    EXPECT_EQ(text.Capacity(), 25u);
    const char *tail = "-a-much-longer-tail-that-needs-more-than-the-growth-step";
    ASSERT_TRUE(text.Append(tail));
    EXPECT_EQ(text.Length(), 16u + strlen(tail));
    EXPECT_EQ(text.Capacity(), 16u + strlen(tail) + 1);  // the size needed beats 25 * 3 / 2 + 1
    EXPECT_EQ(std::string(text.c_str()), "1234567890123456-a-much-longer-tail-that-needs-more-than-the-growth-step");

    // Back to a short text: stays on the heap (only reallocated, never returned inline).
    ASSERT_TRUE(text.Set("x"));
    EXPECT_FALSE(text.IsInline());
    EXPECT_STREQ(text.c_str(), "x");
}

TEST(StrBuf, EveryInlineSizeHoldsItsSizeMinusOne)
{
    TStrBuf<_StrBuf32> b32;
    TStrBuf<_StrBuf64> b64;
    TStrBuf<_StrBuf128> b128;
    std::string s(127, 'q');
    ASSERT_TRUE(b32.Set(s.c_str(), 31));
    ASSERT_TRUE(b64.Set(s.c_str(), 63));
    ASSERT_TRUE(b128.Set(s.c_str(), 127));
    EXPECT_TRUE(b32.IsInline() && b64.IsInline() && b128.IsInline());
    ASSERT_TRUE(b128.AppendChar('!'));
    EXPECT_FALSE(b128.IsInline());
    EXPECT_EQ(b128.Length(), 128u);
    EXPECT_EQ(b128.CharAt(127), '!');
}

TEST(StrBuf, EditingOperations)
{
    CStrBuf text("hello world");
    ASSERT_TRUE(text.Insert(5, ","));
    EXPECT_STREQ(text.c_str(), "hello, world");
    ASSERT_TRUE(text.Insert(999, "!"));  // past the end: appended
    EXPECT_STREQ(text.c_str(), "hello, world!");
    text.Erase(5, 1);
    EXPECT_STREQ(text.c_str(), "hello world!");
    text.Erase(5, 1000);
    EXPECT_STREQ(text.c_str(), "hello");
    text.Erase(50, 1);
    EXPECT_STREQ(text.c_str(), "hello");
    EXPECT_EQ(text.FindChar('l'), 2);
    EXPECT_EQ(text.FindLastChar('l'), 3);
    EXPECT_EQ(text.FindChar('z'), -1);
    EXPECT_EQ(text.CharAt(1), 'e');
    EXPECT_EQ(text.CharAt(5), '\0');
    text.Truncate(2);
    EXPECT_STREQ(text.c_str(), "he");
    text.Truncate(10);
    EXPECT_STREQ(text.c_str(), "he");
    EXPECT_TRUE(text == "he");
    EXPECT_FALSE(text == "her");
    text.Clear();
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_TRUE(text == nullptr);  // null compares as empty
    CStrBuf empty;
    EXPECT_EQ(empty.FindLastChar('x'), -1);
    EXPECT_STREQ(empty.c_str(), "");
}

TEST(StrBuf, PiecesOfItselfCanBeAppendedInsertedAndFormatted)
{
    TStrBuf<_StrBuf16> text("abcdefghij");
    ASSERT_TRUE(text.Append(text.c_str()));  // the source moves when the buffer grows
    EXPECT_STREQ(text.c_str(), "abcdefghijabcdefghij");
    ASSERT_TRUE(text.Insert(2, text.c_str() + 10, 3));
    EXPECT_STREQ(text.c_str(), "ababccdefghijabcdefghij");
    ASSERT_TRUE(text.Set(text.c_str() + 20));
    EXPECT_STREQ(text.c_str(), "hij");
    ASSERT_TRUE(text.AppendFormat("<%s>", text.c_str()));
    EXPECT_STREQ(text.c_str(), "hij<hij>");
    ASSERT_TRUE(text.Format("%s%s", text.c_str(), text.c_str()));
    EXPECT_STREQ(text.c_str(), "hij<hij>hij<hij>");
}

TEST(StrBuf, FormatNeverTruncates)
{
    TStrBuf<_StrBuf16> text;
    ASSERT_TRUE(text.Format("%dx%d %.1f Hz", 1920, 1080, 60000 / 1000.0));
    EXPECT_STREQ(text.c_str(), "1920x1080 60.0 Hz");
    EXPECT_FALSE(text.IsInline());
    EXPECT_GE(text.Capacity(), 16u + 100u);  // formatting grows by at least 100

    std::string big(5000, 'z');
    ASSERT_TRUE(text.AppendFormat("[%s]", big.c_str()));
    EXPECT_EQ(text.Length(), 17u + 5002u);
    EXPECT_EQ(std::string(text.c_str()).substr(17), "[" + big + "]");

    CStrBuf replaced("old text that is long");
    ASSERT_TRUE(replaced.Format("%s", ""));
    EXPECT_STREQ(replaced.c_str(), "");
}

TEST(StrBuf, CopiesAreDeepAcrossKinds)
{
    TStrBuf<_StrBuf16> small("a text longer than sixteen");
    CStrBuf heap(small);
    TStrBuf<_StrBuf64> wide(heap);
    TStrBuf<_StrBuf16> copy(small);
    EXPECT_TRUE(heap == small);
    EXPECT_TRUE(wide == small);
    EXPECT_TRUE(wide.IsInline());
    ASSERT_TRUE(small.Set("changed"));
    EXPECT_STREQ(heap.c_str(), "a text longer than sixteen");
    EXPECT_STREQ(copy.c_str(), "a text longer than sixteen");
    heap = small;
    EXPECT_STREQ(heap.c_str(), "changed");
    TStrBuf<_StrBuf16> &alias = small;
    small = alias;  // self-assignment keeps the text
    EXPECT_STREQ(small.c_str(), "changed");
    WStrBuf *base = new CStrBuf("through the base");
    EXPECT_STREQ(base->c_str(), "through the base");
    delete base;  // virtual destructor frees the heap block (ASan checks)
}

}  // namespace
