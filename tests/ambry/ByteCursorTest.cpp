#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ambry/ByteCursor.h"

namespace {

using namespace Ambry;

// Round trip through both writers, then the reader walks off the end of the payload.
TEST(ByteCursor, WritesAndReadsBigEndianWithinBounds)
{
    std::vector<uint8_t> grown;
    BigEndianWriter appender(grown);
    uint8_t fixed[17];
    std::memset(fixed, 0xEE, sizeof fixed);
    BigEndianWriter writer(fixed, 16);
    for (BigEndianWriter *w : {&appender, &writer}) {
        w->U8(0x01);
        w->U16(0x0203);
        w->U32(0x04050607);
        w->Text("abc", 5);
        w->Zeros(2);
        w->U16(0xFFFE);
    }
    const std::vector<uint8_t> expected = {1, 2, 3, 4, 5, 6, 7, 'a', 'b', 'c', 0, 0, 0, 0, 0xFF, 0xFE};
    EXPECT_EQ(grown, expected);
    EXPECT_EQ(std::vector<uint8_t>(fixed, fixed + 16), expected);
    EXPECT_FALSE(writer.Failed());

    // The fixed buffer is full: nothing more is written, not even part of a value.
    writer.U32(0x11223344);
    writer.U8(0x55);
    EXPECT_TRUE(writer.Failed());
    EXPECT_EQ(writer.Size(), 16u);
    EXPECT_EQ(fixed[16], 0xEE);

    BigEndianReader r(expected.data(), expected.size());
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    char text[5];
    ASSERT_TRUE(r.U8(u8) && r.U16(u16) && r.U32(u32) && r.Bytes(text, 5) && r.Skip(2));
    EXPECT_EQ(u8, 1);
    EXPECT_EQ(u16, 0x0203);
    EXPECT_EQ(u32, 0x04050607u);
    EXPECT_EQ(std::string(text, 3), "abc");
    EXPECT_EQ(r.Remaining(), 2u);
    // Four bytes asked of two: the read fails, reads nothing, and every later read fails.
    EXPECT_FALSE(r.U32(u32));
    EXPECT_EQ(u32, 0x04050607u);
    EXPECT_TRUE(r.Failed());
    EXPECT_FALSE(r.U8(u8));
    EXPECT_TRUE(r.SkipRest());
    EXPECT_EQ(r.Remaining(), 0u);
    EXPECT_TRUE(r.Failed());
}

// A text that fills its field carries no terminator; the rest of a field is zeroed.
TEST(ByteCursor, TextFieldsAreCutAndPadded)
{
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);
    BigEndianWriter w(out, sizeof out);
    w.Text("abcdef", 4);
    w.Text(nullptr, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 8), std::string("abcd\0\0\0\0", 8));
}

class ChunkSource : public InputStream {
public:
    explicit ChunkSource(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}
    bool ReadExact(void *buffer, size_t n) override
    {
        if (n > m_bytes.size() - m_pos)
            return false;
        std::memcpy(buffer, m_bytes.data() + m_pos, n);
        m_pos += n;
        return true;
    }
    bool Skip(size_t n) override
    {
        if (n > m_bytes.size() - m_pos)
            return false;
        m_pos += n;
        return true;
    }
    size_t Position() const { return m_pos; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_pos = 0;
};

// A payload on a source: reads never go past the payload's size even when the source
// has more, and a source that runs dry fails the reader for good.
TEST(ByteCursor, ReadsFromASourceUpToThePayloadSize)
{
    ChunkSource source({0xDE, 0xAD, 0xBE, 0xEF, 9, 9, 9, 0x7F});
    BigEndianReader first(source, 6);
    int32_t value = 0;
    ASSERT_TRUE(first.I32(value));
    EXPECT_EQ(value, int32_t(0xDEADBEEF));
    uint32_t u32 = 0;
    EXPECT_FALSE(first.U32(u32));
    EXPECT_EQ(source.Position(), 4u);  // the failed read took nothing from the source
    EXPECT_TRUE(first.SkipRest());
    EXPECT_EQ(source.Position(), 6u);

    BigEndianReader second(source, 4);  // claims more than the source still holds
    uint16_t u16 = 0;
    EXPECT_FALSE(second.U16(u16) && second.U16(u16));
    EXPECT_TRUE(second.Failed());
    EXPECT_EQ(second.Remaining(), 0u);
}

}  // namespace
