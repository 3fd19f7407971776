// HTTP snapshots against a real server on 127.0.0.1: what we send, what we accept, and
// that a device that redirects, stalls or streams forever cannot hold us.
#include <deviceio/Frame.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "JpegMaker.h"

namespace {

// Serves one response per connection, chosen by the test, and keeps the requests.
class HttpServer {
public:
    using Responder = std::function<void(int fd)>;

    explicit HttpServer(Responder responder) : m_responder(std::move(responder))
    {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int on = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(m_listen, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(m_listen, 8) != 0)
            return;
        socklen_t len = sizeof sa;
        getsockname(m_listen, reinterpret_cast<sockaddr *>(&sa), &len);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~HttpServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        close(m_listen);
    }
    std::string Url(const char *path = "/vw1.jpg") const
    {
        return "http://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::string LastRequest()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_request;
    }
    bool Stopping() const { return m_stop; }

private:
    void Serve()
    {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                continue;
            std::string request;
            char buf[1024];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                request.append(buf, size_t(n));
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_request = request;
            }
            m_responder(fd);
            close(fd);
        }
    }

    Responder m_responder;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::string m_request;
};

void SendAll(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        p += n;
        size -= size_t(n);
    }
}

void SendResponse(int fd, const char *status, const std::vector<uint8_t> &body)
{
    std::string head = std::string("HTTP/1.1 ") + status + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    SendAll(fd, head.data(), head.size());
    SendAll(fd, body.data(), body.size());
}

std::vector<uint8_t> CardJpeg(int w, int h)
{
    const std::vector<uint8_t> rgb = TestJpeg::TestCard(w, h);
    return TestJpeg::Encode(rgb.data(), w, h, 3, 85);
}

}  // namespace

TEST(FetchUrl, SnapshotBecomesAFrameAndTheRequestIsUncachedWithOurAgent)
{
    const std::vector<uint8_t> jpeg = CardJpeg(160, 120);
    HttpServer server([&](int fd) { SendResponse(fd, "200 OK", jpeg); });
    Ambry::Ref<CFrame> frame = FetchJpegFrame(server.Url().c_str());
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Width(), 160);
    EXPECT_EQ(frame->Height(), 120);
    VideoMode mode;
    EXPECT_FALSE(frame->GetFrameMode(&mode));
    const std::string request = server.LastRequest();
    EXPECT_NE(request.find("GET /vw1.jpg HTTP/1.1\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("User-Agent: Ambry 1.68\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("Cache-Control: no-cache\r\n"), std::string::npos) << request;
}

TEST(FetchUrl, FailuresGiveNoFrame)
{
    const std::vector<uint8_t> jpeg = CardJpeg(16, 16);
    {
        HttpServer server([&](int fd) { SendResponse(fd, "404 Not Found", jpeg); });
        EXPECT_FALSE(FetchJpegFrame(server.Url().c_str()));
    }
    {
        // A redirect is not followed, and its body is not taken for the picture.
        HttpServer server([&](int fd) {
            std::string r = "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:9/x.jpg\r\nContent-Length: " +
                            std::to_string(jpeg.size()) + "\r\n\r\n";
            SendAll(fd, r.data(), r.size());
            SendAll(fd, jpeg.data(), jpeg.size());
        });
        EXPECT_FALSE(FetchUrl(server.Url().c_str()));
    }
    {
        HttpServer server([&](int fd) { SendResponse(fd, "200 OK", {}); });
        std::unique_ptr<CUrlStream> stream = FetchUrl(server.Url().c_str());
        ASSERT_TRUE(stream);
        uint8_t b[4];
        EXPECT_EQ(stream->Read(b, sizeof b), 0);
        EXPECT_FALSE(FetchJpegFrame(server.Url().c_str()));
    }
    {
        std::vector<uint8_t> junk(5000, 0x42);
        HttpServer server([&](int fd) { SendResponse(fd, "200 OK", junk); });
        EXPECT_FALSE(FetchJpegFrame(server.Url().c_str()));
    }
    EXPECT_FALSE(FetchUrl(nullptr));
    EXPECT_FALSE(FetchUrl("file:///etc/passwd"));
}

TEST(FetchUrl, StreamReadsTheBodyInChunks)
{
    std::vector<uint8_t> body(2500);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = uint8_t(i * 13);
    HttpServer server([&](int fd) { SendResponse(fd, "200 OK", body); });
    std::unique_ptr<CUrlStream> stream = FetchUrl(server.Url().c_str());
    ASSERT_TRUE(stream);
    std::vector<uint8_t> got;
    uint8_t chunk[1024];
    long n;
    while ((n = stream->Read(chunk, sizeof chunk)) > 0) {
        EXPECT_LE(n, 1024);
        got.insert(got.end(), chunk, chunk + n);
    }
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, body);
}

TEST(FetchUrl, EndlessAndStalledBodiesAreCutOff)
{
    FetchLimits limits;
    limits.max_body_bytes = 64 * 1024;
    limits.stall_timeout_ms = 1000;
    limits.total_timeout_ms = 5000;
    {
        // Streams without end and without a length.
        HttpServer server([&](int fd) {
            const char *head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n\r\n";
            SendAll(fd, head, strlen(head));
            std::vector<uint8_t> block(16 * 1024, 0xAB);
            for (int i = 0; i < 1000 && !server.Stopping(); ++i)
                if (send(fd, block.data(), block.size(), MSG_NOSIGNAL) <= 0)
                    break;
        });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(FetchUrl(server.Url().c_str(), limits));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
    }
    {
        // Announces more than the cap.
        HttpServer server([&](int fd) {
            const char *head = "HTTP/1.1 200 OK\r\nContent-Length: 999999999\r\n\r\n";
            SendAll(fd, head, strlen(head));
        });
        EXPECT_FALSE(FetchUrl(server.Url().c_str(), limits));
    }
    {
        // Sends its header, then nothing.
        HttpServer server([&](int fd) {
            const char *head = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nabc";
            SendAll(fd, head, strlen(head));
            for (int i = 0; i < 60 && !server.Stopping(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        });
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(FetchUrl(server.Url().c_str(), limits));
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(4500));
    }
}
