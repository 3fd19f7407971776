#include <WaitFor.h>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ambry/ByteBuffer.h"
#include "ambry/Net.h"
#include "ambry/Stream.h"

namespace {

using namespace Ambry;

// A readable stream of `size` counting bytes that records the size of every read.
struct Source {
    explicit Source(size_t total) : size(total) {}
    size_t size;
    size_t position = 0;
    std::vector<size_t> requests;
    bool destroyed = false;
};

long SourceRead(CStream *stream, void *data, size_t size)
{
    auto *source = static_cast<Source *>(stream->Context());
    source->requests.push_back(size);
    size_t left = source->size - source->position;
    if (size > left)
        size = left;
    for (size_t i = 0; i < size; ++i)
        static_cast<uint8_t *>(data)[i] = static_cast<uint8_t>(source->position + i);
    source->position += size;
    return static_cast<long>(size);
}

void SourceDestroy(CStream *stream) { static_cast<Source *>(stream->Context())->destroyed = true; }

const StreamOps kSourceOps = {"source", nullptr, SourceRead, nullptr, nullptr, nullptr, nullptr, nullptr, SourceDestroy};

TEST(Stream, SkipReadsThroughTheScratchBlockRule)
{
    struct Case {
        int64_t skip;
        size_t block;
    } cases[] = {{400, 256}, {512, 256}, {513, 513}, {5000, 5000}, {30000, 12000}};
    for (const Case &c : cases) {
        Source source(100000);
        StreamPtr stream(StreamCreate(&kSourceOps, &source, "counting", STREAM_READABLE));
        ASSERT_TRUE(stream);
        EXPECT_EQ(stream->Skip(c.skip), c.skip);
        ASSERT_FALSE(source.requests.empty());
        EXPECT_EQ(source.requests.front(), c.block) << c.skip;
        for (size_t request : source.requests)
            EXPECT_LE(request, c.block);
        EXPECT_EQ(stream->BytesRead(), static_cast<uint64_t>(c.skip));
        EXPECT_EQ(stream->ReadByte(), static_cast<int>(c.skip & 255));  // the next byte follows
    }
    // Past the end: only what was there.
    Source shortSource(700);
    StreamPtr stream(StreamCreate(&kSourceOps, &shortSource, nullptr, STREAM_READABLE));
    EXPECT_EQ(stream->Skip(1000), 700);
    EXPECT_TRUE(stream->EndOfData());
    EXPECT_STREQ(stream->Name(), "");
}

TEST(Stream, ReadAllStopsAtTheLimitOrTheEndInPiecesOfAtMost1024)
{
    Source source(5000);
    StreamPtr stream(StreamCreate(&kSourceOps, &source, "body", STREAM_READABLE));
    CByteBuffer buffer;
    EXPECT_EQ(stream->ReadAll(&buffer, 3000), 3000);
    EXPECT_EQ(buffer.Length(), 3000u);
    for (size_t request : source.requests)
        EXPECT_LE(request, 1024u);
    EXPECT_EQ(stream->ReadAll(&buffer, -1), 2000);
    EXPECT_EQ(buffer.Length(), 5000u);
    const uint8_t *bytes = buffer.Contiguous();
    for (size_t i = 0; i < 5000; ++i)
        ASSERT_EQ(bytes[i], static_cast<uint8_t>(i));
    EXPECT_EQ(stream->ReadAll(&buffer, -1), 0);

    // A buffer at its limit stops the read instead of dropping bytes silently.
    Source more(5000);
    StreamPtr second(StreamCreate(&kSourceOps, &more, "body", STREAM_READABLE));
    CByteBuffer capped;
    capped.SetLimit(1500);
    EXPECT_EQ(second->ReadAll(&capped, -1), 1500);
    EXPECT_EQ(second->BytesRead(), 2048u);  // two pieces read, the second only half kept
}

TEST(Stream, PushBackComesFirstAndDestroyRunsTheStreamsOwnDestroy)
{
    Source source(10);
    CStream *stream = StreamCreate(&kSourceOps, &source, "pb", STREAM_READABLE);
    ASSERT_NE(stream, nullptr);
    uint8_t first[4];
    ASSERT_TRUE(stream->ReadExact(first, 4));
    ASSERT_TRUE(stream->PushBack(first + 2, 2));
    EXPECT_EQ(stream->BytesRead(), 2u);
    uint8_t again[5];
    ASSERT_TRUE(stream->ReadExact(again, 5));
    EXPECT_EQ(std::vector<uint8_t>(again, again + 5), (std::vector<uint8_t>{2, 3, 4, 5, 6}));
    uint8_t tooMany[CStream::kPushBackSize + 1] = {};
    EXPECT_FALSE(stream->PushBack(tooMany, sizeof tooMany));
    EXPECT_EQ(stream->Write("x", 1), -1);  // not writable

    ASSERT_TRUE(stream->PushBack(first, 1));
    stream->Close();
    EXPECT_EQ(stream->PushedBack(), 0u);
    EXPECT_EQ(stream->Read(again, 1), -1);  // closed
    EXPECT_EQ(stream->Skip(1), -1);
    EXPECT_FALSE(source.destroyed);
    StreamDestroy(stream);
    EXPECT_TRUE(source.destroyed);
    StreamDestroy(nullptr);
}

// A stream that moves at most 3 bytes per call, as a slow network does.
struct Trickle {
    std::vector<uint8_t> bytes;
    size_t position = 0;
};

long TrickleRead(CStream *stream, void *data, size_t size)
{
    auto *t = static_cast<Trickle *>(stream->Context());
    size_t n = std::min({size, size_t(3), t->bytes.size() - t->position});
    std::memcpy(data, t->bytes.data() + t->position, n);
    t->position += n;
    return static_cast<long>(n);
}

long TrickleWrite(CStream *stream, const void *data, size_t size)
{
    auto *t = static_cast<Trickle *>(stream->Context());
    size_t n = std::min(size, size_t(3));
    t->bytes.insert(t->bytes.end(), static_cast<const uint8_t *>(data), static_cast<const uint8_t *>(data) + n);
    return static_cast<long>(n);
}

TEST(Stream, ShortReadsAndWritesStillMoveWholeValues)
{
    static const StreamOps kTrickle = {"trickle", nullptr, TrickleRead, TrickleWrite, nullptr, nullptr, nullptr, nullptr, nullptr};
    Trickle t;
    StreamPtr stream(StreamCreate(&kTrickle, &t, "trickle", STREAM_READABLE | STREAM_WRITABLE));
    ASSERT_TRUE(stream->WriteU64(0x1122334455667788ULL));
    ASSERT_TRUE(stream->WriteU32(0xA0B0C0D0));
    ASSERT_TRUE(stream->WriteExact("0123456789", 10));
    EXPECT_EQ(t.bytes.size(), 22u);
    EXPECT_EQ(stream->BytesWritten(), 22u);
    uint64_t v64;
    uint32_t v32;
    ASSERT_TRUE(stream->ReadU64(&v64));
    ASSERT_TRUE(stream->ReadU32(&v32));
    EXPECT_EQ(v64, 0x1122334455667788ULL);
    EXPECT_EQ(v32, 0xA0B0C0D0u);
    EXPECT_EQ(stream->Skip(600), 10);  // the scratch path across short reads, to the end
    EXPECT_FALSE(stream->ReadU32(&v32));
}

bool RefuseOpen(CStream *, const char *name) { return name && std::strcmp(name, "ok") == 0; }

TEST(Stream, AFailedOpenFreesTheContextAndGivesNoStream)
{
    static const StreamOps kRefusing = {"refusing", RefuseOpen, SourceRead, nullptr, nullptr, nullptr, nullptr, nullptr, SourceDestroy};
    Source refused(10);
    EXPECT_EQ(StreamCreate(&kRefusing, &refused, "no", STREAM_READABLE), nullptr);
    EXPECT_TRUE(refused.destroyed);
    Source accepted(10);
    StreamPtr stream(StreamCreate(&kRefusing, &accepted, "ok", STREAM_READABLE));
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->ReadByte(), 0);
    EXPECT_FALSE(accepted.destroyed);
}

TEST(Stream, SocketStreamsCarryBigEndianValuesBothWays)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    StreamPtr a(SocketStreamOpen(fds[0], true, "a"));
    StreamPtr b(SocketStreamOpen(fds[1], true, "b"));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(SocketStreamSocket(a.get()), fds[0]);
    ASSERT_TRUE(a->WriteU16(0x1234));
    ASSERT_TRUE(a->WriteU32(0x89ABCDEF));
    ASSERT_TRUE(a->WriteU64(0x0102030405060708ULL));
    uint16_t raw2 = 0xA1B2;
    uint32_t raw4 = 0xC1D2E3F4;
    ASSERT_TRUE(a->WriteRaw2(&raw2));
    ASSERT_TRUE(a->WriteRaw4(&raw4));
    ASSERT_TRUE(a->Flush());
    EXPECT_EQ(a->BytesWritten(), 20u);

    uint8_t wire[14];
    ASSERT_TRUE(b->ReadExact(wire, 14));
    const uint8_t expected[14] = {0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(wire, expected, 14), 0);
    ASSERT_TRUE(b->PushBack(wire, 14));  // not all fits: 14 <= 16 does
    uint16_t v16;
    uint32_t v32;
    uint64_t v64;
    ASSERT_TRUE(b->ReadU16(&v16));
    ASSERT_TRUE(b->ReadU32(&v32));
    ASSERT_TRUE(b->ReadU64(&v64));
    EXPECT_EQ(v16, 0x1234);
    EXPECT_EQ(v32, 0x89ABCDEFu);
    EXPECT_EQ(v64, 0x0102030405060708ULL);
    uint16_t r2;
    uint32_t r4;
    ASSERT_TRUE(b->ReadRaw2(&r2));
    ASSERT_TRUE(b->ReadRaw4(&r4));
    EXPECT_EQ(r2, raw2);
    EXPECT_EQ(r4, raw4);

    // Closing one end: the other reads the end of the data; writes to it fail quietly.
    a.reset();
    EXPECT_EQ(b->ReadByte(), -1);
    EXPECT_TRUE(b->EndOfData());
    EXPECT_FALSE(b->WriteExact("data", 4));
}

TEST(Stream, ClosingASocketStreamWakesAReaderInAnotherThread)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    CStream *reader = SocketStreamOpen(fds[0], true, "reader");
    long got = 0;
    std::atomic<pid_t> readerId{0};
    std::thread blocked([&] {
        readerId = testsupport::CurrentThreadId();
        char byte;
        got = reader->Read(&byte, 1);
    });
    ASSERT_TRUE(testsupport::WaitFor([&] { return readerId.load() != 0; }));
    EXPECT_TRUE(testsupport::WaitUntilBlocked(readerId.load()));
    EXPECT_TRUE(SocketStreamShutdown(reader));
    blocked.join();
    EXPECT_EQ(got, 0);
    StreamDestroy(reader);
    close(fds[1]);
}

TEST(Stream, FileAndMemoryStreams)
{
    char path[] = "/tmp/ambry-stream-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        StreamPtr out(FileStreamOpen(path, "wb"));
        ASSERT_TRUE(out);
        EXPECT_FALSE(out->IsReadable());
        ASSERT_TRUE(out->WriteU32(0xDEADBEEF));
        ASSERT_TRUE(out->WriteExact("tail", 4));
        EXPECT_STREQ(out->Name(), path);
    }
    {
        StreamPtr in(FileStreamOpen(path, "rb"));
        ASSERT_TRUE(in);
        EXPECT_EQ(in->Skip(2), 2);  // the file's own skip
        EXPECT_EQ(in->ReadByte(), 0xBE);
        EXPECT_EQ(in->Skip(100), 5);  // only what is there
        EXPECT_EQ(in->ReadByte(), -1);
        EXPECT_TRUE(in->EndOfData());
    }
    EXPECT_EQ(FileStreamOpen("/nonexistent/dir/file", "rb"), nullptr);
    unlink(path);

    static const uint8_t kBytes[] = {0, 1, 0, 0, 0, 2};
    StreamPtr memory(MemoryStreamOpen(kBytes, sizeof kBytes, "mem"));
    uint16_t a;
    uint32_t b;
    ASSERT_TRUE(memory->ReadU16(&a));
    ASSERT_TRUE(memory->ReadU32(&b));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2u);
    EXPECT_FALSE(memory->ReadU16(&a));  // short read fails
    EXPECT_TRUE(memory->EndOfData());
}

}  // namespace
