// Wire codecs and the byte transport, without a network.
#include <grabber/Transport.h>
#include <grabber/Wire.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace Grabber;

namespace {

// Collects what a deflate sink writes.
class VectorSink : public ByteSink {
public:
    bool WriteAll(const void *data, size_t n) override
    {
        auto p = static_cast<const uint8_t *>(data);
        bytes.insert(bytes.end(), p, p + n);
        return true;
    }
    bool Flush() override
    {
        ++flushes;
        return true;
    }
    std::vector<uint8_t> bytes;
    int flushes = 0;
};

std::vector<uint8_t> Hex(std::initializer_list<int> v) { return std::vector<uint8_t>(v.begin(), v.end()); }

}  // namespace

TEST(Wire, RequestIdsWrapToOneAndNeverZero)
{
    uint32_t counter = 0;
    EXPECT_EQ(NextRequestId(counter), 1u);
    counter = 0xFFFFFFFEu;
    EXPECT_EQ(NextRequestId(counter), 0xFFFFFFFFu);
    EXPECT_EQ(NextRequestId(counter), 1u);
}

TEST(Wire, FrameHeadersCarryLengthAfterTheKindField)
{
    MessageBuilder req = MessageBuilder::Request(7, REQ_GRAB);
    req.Payload().U32(0x80000800u);
    EXPECT_EQ(req.Take(), Hex({0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 16, 0x80, 0, 8, 0}));
    EXPECT_EQ(MessageBuilder::Reply(9, 3).Take(), Hex({0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 9, 3}));
    EXPECT_EQ(MessageBuilder::Event(2).Take(), Hex({0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 2}));
}

TEST(Wire, ReadIncomingFrameSkipsOtherKindsAndRejectsShortOrHugeFrames)
{
    std::vector<uint8_t> bytes = Hex({0, 0, 0, 3, 0, 0, 0, 9, 1, 2, 3});  // kind 9: skipped
    auto reply = MessageBuilder::Reply(5, 0);
    reply.Payload().U8(42);
    auto r = reply.Take();
    bytes.insert(bytes.end(), r.begin(), r.end());
    MemorySource src(bytes.data(), bytes.size());
    BufferedInput in(src);
    IncomingFrame f;
    ASSERT_EQ(ReadIncomingFrame(in, f, 100), FRAME_OK);
    EXPECT_EQ(f.kind, KIND_REPLY);
    EXPECT_EQ(f.id, 5u);
    EXPECT_EQ(f.payload, 1u);
    EXPECT_EQ(ReadIncomingFrame(in, f, 100) == FRAME_OK, false);  // the payload byte is not a header

    auto short_request = Hex({0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0});
    MemorySource s2(short_request.data(), short_request.size());
    BufferedInput in2(s2);
    EXPECT_EQ(ReadIncomingFrame(in2, f, 100), FRAME_MALFORMED);

    // A length of 4 GiB is refused before anything is read or allocated.
    auto huge = Hex({0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0, 0, 2});
    MemorySource s3(huge.data(), huge.size());
    BufferedInput in3(s3);
    EXPECT_EQ(ReadIncomingFrame(in3, f, kMaxImageBytes + kGrabHeaderBytes), FRAME_MALFORMED);
}

TEST(Wire, PayloadReaderFailsPastItsEndAndStaysFailed)
{
    uint8_t data[] = {1, 2, 3};
    PayloadReader r(data, sizeof data);
    uint16_t v;
    uint32_t w;
    EXPECT_TRUE(r.U16(v));
    EXPECT_EQ(v, 0x0102);
    EXPECT_FALSE(r.U32(w));
    EXPECT_TRUE(r.Failed());
    uint8_t b;
    EXPECT_FALSE(r.U8(b));
}

TEST(Wire, StateNeedsThirteenBytes)
{
    std::vector<uint8_t> p;
    PayloadWriter w(p);
    EncodeState(w, VideoMode{1920, 1080, 60000}, 3);
    VideoMode mode;
    uint8_t gs = 0;
    PayloadReader full(p.data(), p.size());
    ASSERT_TRUE(DecodeState(full, mode, gs));
    EXPECT_EQ(mode, (VideoMode{1920, 1080, 60000}));
    EXPECT_EQ(gs, 3);
    PayloadReader cut(p.data(), 12);
    EXPECT_FALSE(DecodeState(cut, mode, gs));
    EXPECT_TRUE(cut.Failed());
}

TEST(Wire, AdjustmentBlockAndRecordLayout)
{
    VideoAdjustments a;
    a.flags = ADJ_HSHIFT | ADJ_PLL;
    a.hshift = -5;
    a.phase = 17;
    a.gain[0] = 1, a.gain[1] = 2, a.gain[2] = 3;
    a.offset[0] = 4, a.offset[1] = 5, a.offset[2] = 6;
    a.vshift = 9;
    a.pll = -300;
    a.grab_flags = GRAB_PREFER_WIDE_MODE;
    a.grab_flag_mask = GRAB_PREFER_WIDE_MODE;
    AdjustmentRanges r;
    r.leading = 1;
    r.valid_mask = 0x3F;
    r.hshift_min = -100, r.hshift_max = 100;
    r.phase_min = 0, r.phase_max = 31;
    r.offset_min = 0, r.offset_max = 127;
    r.gain_min = 0, r.gain_max = 255;
    r.vshift_min = -50, r.vshift_max = 50;
    r.pll_min = -500, r.pll_max = 500;

    std::vector<uint8_t> block;
    PayloadWriter w(block);
    EncodeAdjustmentBlock(w, a, r);
    ASSERT_EQ(block.size(), kAdjustmentBlockBytes);
    // Word 6 is the horizontal shift, the u16 at 56+4 the sampling phase.
    EXPECT_EQ(Hex({block[20], block[21], block[22], block[23]}), Hex({0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_EQ(block[60], 0);
    EXPECT_EQ(block[61], 17);

    VideoAdjustments a2;
    AdjustmentRanges r2;
    PayloadReader rd(block.data(), block.size());
    ASSERT_TRUE(DecodeAdjustmentBlock(rd, a2, r2));
    // Field by field: the records have padding that a byte compare would read.
    auto expectSame = [](const VideoAdjustments &x, const VideoAdjustments &y) {
        EXPECT_EQ(x.flags, y.flags);
        EXPECT_EQ(x.hshift, y.hshift);
        EXPECT_EQ(x.phase, y.phase);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(x.gain[i], y.gain[i]);
            EXPECT_EQ(x.offset[i], y.offset[i]);
        }
        EXPECT_EQ(x.vshift, y.vshift);
        EXPECT_EQ(x.pll, y.pll);
        EXPECT_EQ(x.grab_flags, y.grab_flags);
        EXPECT_EQ(x.grab_flag_mask, y.grab_flag_mask);
    };
    expectSame(a, a2);
    EXPECT_EQ(std::memcmp(&r, &r2, sizeof r), 0);
    PayloadReader shorter(block.data(), 81);
    EXPECT_FALSE(DecodeAdjustmentBlock(shorter, a2, r2));

    std::vector<uint8_t> record;
    PayloadWriter rw(record);
    EncodeAdjustmentRecord(rw, a);
    ASSERT_EQ(record.size(), kAdjustmentRecordBytes);
    EXPECT_EQ(record[25], 17);  // phase, a byte sent as u16
    VideoAdjustments a3;
    PayloadReader rr(record.data(), record.size());
    ASSERT_TRUE(DecodeAdjustmentRecord(rr, a3));
    expectSame(a, a3);
}

TEST(Wire, ParameterValuesFollowTheirDescriptors)
{
    EXPECT_EQ(ParamTypeOf(0), PT_U16);
    EXPECT_EQ(ParamTypeOf(18), PT_TEXT);
    EXPECT_EQ(ParamTypeOf(14), PT_INDEXED_MODE);
    for (uint32_t unsupported : {2u, 4u, 25u, 26u, 28u, 1000u})
        EXPECT_EQ(ParamTypeOf(unsupported), PT_NONE) << unsupported;

    // Every supported type survives a round trip.
    std::mt19937 rng(7);
    for (uint32_t id = 0; id <= 27; ++id) {
        uint8_t type = ParamTypeOf(id);
        if (type == PT_NONE)
            continue;
        uint8_t value[256];
        for (uint8_t &b : value)
            b = static_cast<uint8_t>('a' + rng() % 26);
        if (type == PT_TEXT)
            value[40] = 0;
        std::vector<uint8_t> wire;
        PayloadWriter w(wire);
        ASSERT_TRUE(EncodeParamValue(w, type, value));
        uint8_t back[256];
        PayloadReader r(wire.data(), wire.size());
        ASSERT_TRUE(DecodeParamValue(r, type, back)) << id;
        EXPECT_EQ(r.Remaining(), 0u) << id;
        std::vector<uint8_t> again;
        PayloadWriter w2(again);
        EncodeParamValue(w2, type, back);
        EXPECT_EQ(wire, again) << id;
    }
    // A text is cut at 255 bytes and always terminated.
    std::vector<uint8_t> long_text(300, 'x');
    uint8_t out[256];
    PayloadReader r(long_text.data(), long_text.size());
    ASSERT_TRUE(DecodeParamValue(r, PT_TEXT, out));
    EXPECT_EQ(std::strlen(reinterpret_cast<char *>(out)), 255u);
}

TEST(Wire, AudioFormatWithForeignTagIsSkipped)
{
    std::vector<uint8_t> p = Hex({0, 1, 0, 3, 9, 9, 9, 0xAA});
    PayloadReader r(p.data(), p.size());
    AudioFormat f;
    ASSERT_TRUE(DecodeAudioFormat(r, f));
    EXPECT_EQ(f.id, -1);
    EXPECT_EQ(r.Remaining(), 1u);
}

TEST(Wire, RateIsSixteenDotSixteen)
{
    EXPECT_EQ(RateToFixed(25.0), 25u << 16);
    EXPECT_EQ(RateToFixed(0.5), 0x8000u);
    EXPECT_EQ(RateToFixed(-3), 0u);
    EXPECT_DOUBLE_EQ(RateFromFixed(0x18000), 1.5);
}

TEST(Wire, LoginDigestIsMd5OfChallengePasswordDigestAndUser)
{
    // Worked by hand: MD5("") and MD5("secret"), then
    // MD5(00 01 02 FF 80 || MD5("secret") || "adm").
    const uint8_t kEmpty[16] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    const uint8_t kSecret[16] = {0x5e, 0xbe, 0x22, 0x94, 0xec, 0xd0, 0xe0, 0xf0,
                                 0x8e, 0xab, 0x76, 0x90, 0xd2, 0xa6, 0xee, 0x69};
    const uint8_t kAnswer[16] = {0xee, 0x3d, 0xe1, 0x6c, 0xdf, 0x64, 0x4c, 0x8e,
                                 0x2d, 0x0c, 0xb7, 0x14, 0xe1, 0xe6, 0xb6, 0x9c};
    uint8_t empty[16];
    PasswordDigest(nullptr, empty);
    EXPECT_EQ(std::memcmp(empty, kEmpty, 16), 0);
    uint8_t secret[16];
    PasswordDigest("secret", secret);
    EXPECT_EQ(std::memcmp(secret, kSecret, 16), 0);
    const uint8_t challenge[] = {0, 1, 2, 0xFF, 0x80};
    uint8_t got[16];
    LoginResponseDigest(challenge, sizeof challenge, kSecret, "adm", got);
    EXPECT_EQ(std::memcmp(got, kAnswer, 16), 0);
}

TEST(Transport, CompressedStreamRoundTripWithSyncFlushes)
{
    VectorSink sink;
    DeflateSink deflate(sink);
    std::vector<std::vector<uint8_t>> messages;
    std::mt19937 rng(3);
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> m(1 + rng() % 70000);
        for (size_t k = 0; k < m.size(); ++k)
            m[k] = static_cast<uint8_t>(k % 13 == 0 ? rng() : k);
        ASSERT_TRUE(deflate.WriteAll(m.data(), m.size()));
        ASSERT_TRUE(deflate.Flush());
        messages.push_back(std::move(m));
    }
    ASSERT_TRUE(deflate.Finish());
    ASSERT_GE(sink.bytes.size(), 10u);
    EXPECT_EQ(Hex({sink.bytes[0], sink.bytes[1], sink.bytes[2], sink.bytes[9]}), Hex({0x1F, 0x8B, 0x08, 0x0B}));

    MemorySource src(sink.bytes.data(), sink.bytes.size());
    InflateSource inflate(src);
    ASSERT_TRUE(inflate.Open());
    BufferedInput in(inflate);
    for (const auto &m : messages) {
        std::vector<uint8_t> got(m.size());
        ASSERT_TRUE(in.ReadExact(got.data(), got.size()));
        ASSERT_EQ(got, m);
    }
    uint8_t extra;
    EXPECT_FALSE(in.ReadExact(&extra, 1));
    EXPECT_EQ(inflate.Crc(), deflate.Crc());
}

TEST(Transport, InflateChecksAndSkipsHeaderFields)
{
    // Header with extra field, name and header CRC announced, then an empty stream.
    VectorSink body;
    {
        DeflateSink d(body);
        ASSERT_TRUE(d.Finish());
    }
    std::vector<uint8_t> stream = Hex({0x1F, 0x8B, 8, 0x04 | 0x08 | 0x02, 0, 0, 0, 0, 0, 0x0B, 2, 0, 'x', 'y', 'n',
                                       0, 0xAB, 0xCD});
    stream.insert(stream.end(), body.bytes.begin() + 10, body.bytes.end());
    MemorySource ok_src(stream.data(), stream.size());
    InflateSource ok(ok_src);
    EXPECT_TRUE(ok.Open());
    uint8_t b;
    EXPECT_EQ(ok.ReadSome(&b, 1), 0);

    for (auto bad : {Hex({0x1F, 0x8C, 8, 0, 0, 0, 0, 0, 0, 0x0B}), Hex({0x1F, 0x8B, 9, 0, 0, 0, 0, 0, 0, 0x0B}),
                     Hex({0x1F, 0x8B, 8, 0x20, 0, 0, 0, 0, 0, 0x0B}), Hex({0x1F, 0x8B, 8})}) {
        MemorySource s(bad.data(), bad.size());
        InflateSource in(s);
        EXPECT_FALSE(in.Open());
    }
}
