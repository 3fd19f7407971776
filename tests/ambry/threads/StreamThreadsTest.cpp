#include <WaitFor.h>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ambry/Stream.h"

namespace {

using namespace Ambry;

// One thread reads while another writes on the same socket stream (a protocol
// client's reader and its keep-alive writer), then a third shuts it down.
TEST(StreamThreads, ReaderAndWriterRunAtOnceAndShutdownWakesTheReader)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    StreamPtr near(SocketStreamOpen(fds[0], true, "near"));
    StreamPtr far(SocketStreamOpen(fds[1], true, "far"));
    constexpr uint32_t kCount = 2000;

    // far echoes every value back, doubled.
    std::thread echo([&] {
        uint32_t v;
        while (far->ReadU32(&v)) {
            if (!far->WriteU32(v * 2))
                break;
        }
    });
    uint64_t sum = 0;
    std::atomic<uint32_t> received{0};
    std::thread reader([&] {
        uint32_t v;
        while (near->ReadU32(&v)) {
            sum += v;
            ++received;
        }
    });
    for (uint32_t i = 1; i <= kCount; ++i)
        ASSERT_TRUE(near->WriteU32(i));
    // Let the replies arrive, then wake the reader by shutting the stream down.
    EXPECT_TRUE(testsupport::WaitFor([&] { return received.load() == kCount; }, 2000));
    EXPECT_TRUE(SocketStreamShutdown(near.get()));
    reader.join();
    echo.join();
    EXPECT_EQ(received.load(), kCount);
    EXPECT_EQ(sum, uint64_t(kCount) * (kCount + 1));
    EXPECT_EQ(near->BytesRead(), 4u * kCount);
}

}  // namespace
