#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "ambry/ByteBuffer.h"
#include "ambry/Random.h"

namespace {

using namespace Ambry;

std::string ReadAllOf(CByteBuffer &buffer)
{
    std::string out(buffer.Length(), '\0');
    EXPECT_EQ(buffer.Read(out.data(), out.size()), out.size());
    return out;
}

TEST(ByteBuffer, WrapsAroundAndKeepsOrder)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.Ensure(8));
    EXPECT_EQ(buffer.Capacity(), 8u);
    EXPECT_EQ(buffer.Append("abcdef", 6, false), 6u);
    char out[8];
    EXPECT_EQ(buffer.Read(out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
    // "ef" sits at 4..5; six more bytes wrap to the start and fill the ring.
    EXPECT_EQ(buffer.Append("ghijkl", 6, false), 6u);
    EXPECT_EQ(buffer.Length(), 8u);
    EXPECT_EQ(buffer.Space(), 0u);
    EXPECT_EQ(buffer.Append("x", 1, false), 0u);  // full, no growth allowed
    char peek[8];
    EXPECT_EQ(buffer.Peek(peek, 8), 8u);
    EXPECT_EQ(std::string(peek, 8), "efghijkl");

    // The contiguous view rotates the block; the bytes keep their order.
    const uint8_t *start = buffer.Contiguous();
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(start), 8), "efghijkl");
    EXPECT_EQ(ReadAllOf(buffer), "efghijkl");
    EXPECT_TRUE(buffer.IsEmpty());
}

TEST(ByteBuffer, GrowthDoublesOrTakesWhatIsNeededAndMovesDataToTheStart)
{
    CByteBuffer buffer;
    ASSERT_TRUE(buffer.Ensure(10));
    EXPECT_EQ(buffer.Append("0123456789", 10), 10u);
    char skip[7];
    buffer.Read(skip, 7);
    EXPECT_EQ(buffer.Append("ABCDEF", 6), 6u);  // wraps: 9 bytes in a ring of 10
    EXPECT_EQ(buffer.Capacity(), 10u);
    EXPECT_EQ(buffer.Append("GHIJ", 4), 4u);  // needs 13: twice 10 wins
    EXPECT_EQ(buffer.Capacity(), 20u);
    EXPECT_EQ(buffer.Contiguous(), buffer.Contiguous());
    ASSERT_TRUE(buffer.Ensure(100));  // needed beats twice
    EXPECT_EQ(buffer.Capacity(), 100u);
    EXPECT_EQ(ReadAllOf(buffer), "789ABCDEFGHIJ");
}

TEST(ByteBuffer, LimitCapsGrowthAndAppendStoresOnlyWhatFits)
{
    CByteBuffer buffer;
    buffer.SetLimit(12);
    ASSERT_TRUE(buffer.Ensure(8));
    EXPECT_EQ(buffer.Append("abcdefgh", 8), 8u);
    // Twice 8 is over the limit: the ring grows to the limit and stores 4 of 6.
    EXPECT_EQ(buffer.Append("ijklmn", 6), 4u);
    EXPECT_EQ(buffer.Capacity(), 12u);
    EXPECT_EQ(buffer.Length(), 12u);
    EXPECT_FALSE(buffer.Ensure(13));
    EXPECT_EQ(buffer.Capacity(), 12u);
    ASSERT_TRUE(buffer.Ensure(13, true));  // allowed past the limit: exactly what is asked
    EXPECT_EQ(buffer.Capacity(), 13u);
    EXPECT_EQ(ReadAllOf(buffer), "abcdefghijkl");
}

TEST(ByteBuffer, WrappedMemoryReadOnlyViewsAndShrink)
{
    char storage[6] = {'u', 'v', 'w', 'x', 'y', 'z'};
    CByteBuffer full;
    full.WrapFull(storage, sizeof storage, false);
    EXPECT_EQ(full.Length(), 6u);
    EXPECT_EQ(full.Append("!", 1), 1u);  // grows into a block of its own
    EXPECT_TRUE(full.OwnsBlock());
    EXPECT_EQ(full.Capacity(), 12u);
    EXPECT_EQ(std::string(storage, 6), "uvwxyz");  // the caller's memory is untouched
    EXPECT_EQ(ReadAllOf(full), "uvwxyz!");

    CByteBuffer empty;
    empty.WrapEmpty(storage, sizeof storage, false);
    EXPECT_EQ(empty.Append("12345678", 8, false), 6u);  // no growth: what fits
    EXPECT_EQ(std::string(storage, 6), "123456");

    static const char kText[] = "read only";
    CByteBuffer view;
    view.WrapReadOnly(kText, 9);
    EXPECT_TRUE(view.IsReadOnly());
    EXPECT_EQ(view.Append("x", 1), 0u);
    EXPECT_FALSE(view.Ensure(100));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(view.Contiguous()), 9), "read only");
    view.Clear();
    EXPECT_EQ(view.Length(), 0u);

    // An owned block is freed with the buffer (ASan checks) and can shrink.
    void *block = std::malloc(64);
    CByteBuffer owned;
    owned.WrapEmpty(block, 64, true);
    EXPECT_EQ(owned.Append("abc", 3), 3u);
    ASSERT_TRUE(owned.Shrink());
    EXPECT_EQ(owned.Capacity(), 3u);
    EXPECT_EQ(owned.Length(), 3u);
    size_t length = 0;
    uint8_t *detached = owned.Detach(&length);
    ASSERT_NE(detached, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(detached), length), "abc");
    std::free(detached);
    EXPECT_EQ(owned.Capacity(), 0u);
}

TEST(ByteBuffer, AgreesWithADequeUnderRandomTraffic)
{
    CRandom random(99);
    CByteBuffer buffer;
    buffer.SetLimit(300);
    std::deque<uint8_t> reference;
    uint8_t next = 0;
    for (int step = 0; step < 5000; ++step) {
        size_t n = random.Next(7);
        if (random.Next(1)) {
            uint8_t data[128];
            for (size_t i = 0; i < n; ++i)
                data[i] = next++;
            size_t stored = buffer.Append(data, n, random.Next(1) != 0);
            ASSERT_LE(stored, n);
            next = static_cast<uint8_t>(next - (n - stored));
            reference.insert(reference.end(), data, data + stored);
        } else {
            uint8_t data[128];
            size_t got = buffer.Read(data, n);
            ASSERT_EQ(got, std::min(n, reference.size()));
            for (size_t i = 0; i < got; ++i) {
                ASSERT_EQ(data[i], reference.front());
                reference.pop_front();
            }
        }
        ASSERT_EQ(buffer.Length(), reference.size());
        ASSERT_LE(buffer.Capacity(), 300u);
        if (step % 97 == 0 && !reference.empty()) {
            const uint8_t *view = buffer.Contiguous();
            for (size_t i = 0; i < reference.size(); ++i)
                ASSERT_EQ(view[i], reference[i]);
        }
    }
}

}  // namespace
