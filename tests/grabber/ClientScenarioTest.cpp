// Protocol scenarios against a scripted peer: what the device sends and the exact
// bytes the client must answer.
#include "ScriptedPeer.h"

#include "Client.h"
#include <grabber/Wire.h>

#include <ambry/Net.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

using namespace Grabber;

namespace {

using Bytes = std::vector<uint8_t>;

// Connects a client in the background while the peer greets it.
struct Connected {
    ScriptedPeer peer;
    Client *client = nullptr;

    explicit Connected(uint32_t caps = 0, const ClientCallbacks *cb = nullptr)
    {
        auto pending = std::async(std::launch::async, [&] {
            ConnectOptions o;
            o.timeout_ms = 3000;
            return ConnectClient(0x7F000001u, peer.Port(), o, cb, nullptr);
        });
        if (peer.Accept()) {
            peer.Send(HelloFrame(1, caps));
            hello_answer = peer.ReadFrame();
        }
        client = pending.get();
    }
    ~Connected() { CloseClient(client); }
    Bytes hello_answer;
};


}  // namespace

TEST(ClientScenario, GreetingAnswerAndRequestFraming)
{
    Connected c;
    ASSERT_NE(c.client, nullptr);
    // Status 0, payload u16 1, u16 0, u8 1: a frame length of 10.
    EXPECT_EQ(c.hello_answer, (Bytes{0, 0, 0, 10, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 1}));

    // Our own ids start at 1 and count up.
    EXPECT_EQ(PostRequest(c.client, REQ_PING, {}), 1u);
    EXPECT_EQ(c.peer.ReadFrame(), (Bytes{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 19}));
    EXPECT_EQ(PostRequest(c.client, REQ_SET_DEV_NAME, {'a', 'b'}), 2u);
    EXPECT_EQ(c.peer.ReadFrame(), (Bytes{0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 27, 'a', 'b'}));

    // The device's own ping and an unknown request type.
    c.peer.Send(MessageBuilder::Request(7, REQ_PING).Take());
    EXPECT_EQ(c.peer.ReadFrame(), (Bytes{0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 7, 0}));
    MessageBuilder unknown = MessageBuilder::Request(8, 28);
    unknown.Payload().Zeros(3);
    c.peer.Send(unknown.Take());
    EXPECT_EQ(c.peer.ReadFrame(), (Bytes{0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 8, 3}));
    // A challenge while no login is under way.
    MessageBuilder challenge = MessageBuilder::Request(9, REQ_LOGIN_CHALLENGE);
    challenge.Payload().U8(0);
    challenge.Payload().Zeros(16);
    c.peer.Send(challenge.Take());
    EXPECT_EQ(c.peer.ReadFrame(), (Bytes{0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 9, 1}));
    EXPECT_FALSE(ClientClosed(c.client));
}

TEST(ClientScenario, LoginExchange)
{
    Connected c;
    ASSERT_NE(c.client, nullptr);
    uint8_t digest[16];
    PasswordDigest("secret", digest);
    auto outcome = std::async(std::launch::async, [&] { return BeginLogin(c.client, "admin", digest, 3000); });

    Bytes start = c.peer.ReadFrame();
    ASSERT_EQ(start.size(), 16u);
    EXPECT_EQ(start[15], REQ_LOGIN_START);
    MessageBuilder go_on = MessageBuilder::Reply(IdOf(start), 0);
    go_on.Payload().U8(0);  // a challenge follows
    c.peer.Send(go_on.Take());
    const uint8_t challenge_bytes[] = {9, 8, 7, 6, 5};
    auto challenge = [&] {
        MessageBuilder b = MessageBuilder::Request(40, REQ_LOGIN_CHALLENGE);
        b.Payload().U8(0);
        b.Payload().Bytes(challenge_bytes, sizeof challenge_bytes);
        return b.Take();
    };
    c.peer.Send(challenge());

    // The answer: user name, a zero byte, MD5(challenge || MD5(password) || user).
    Bytes answer = c.peer.ReadFrame();
    uint8_t want[16];
    LoginResponseDigest(challenge_bytes, sizeof challenge_bytes, digest, "admin", want);
    Bytes expected{0, 0, 0, 5 + 6 + 16, 0, 0, 0, 1, 0, 0, 0, 40, 0, 'a', 'd', 'm', 'i', 'n', 0};
    expected.insert(expected.end(), want, want + 16);
    EXPECT_EQ(answer, expected);

    Bytes result_request = c.peer.ReadFrame();
    ASSERT_EQ(result_request.size(), 16u);
    EXPECT_EQ(result_request[15], REQ_LOGIN_RESULT);
    MessageBuilder accepted = MessageBuilder::Reply(IdOf(result_request), 0);
    accepted.Payload().U32(2);
    c.peer.Send(accepted.Take());
    EXPECT_EQ(outcome.get(), OUTCOME_ACCEPTED);

    // Rejected, then a device that says no login is needed.
    auto rejected = std::async(std::launch::async, [&] { return BeginLogin(c.client, "", digest, 3000); });
    start = c.peer.ReadFrame();
    go_on = MessageBuilder::Reply(IdOf(start), 0);
    go_on.Payload().U8(0);
    c.peer.Send(go_on.Take());
    c.peer.Send(challenge());
    c.peer.ReadFrame();
    result_request = c.peer.ReadFrame();
    MessageBuilder no = MessageBuilder::Reply(IdOf(result_request), 0);
    no.Payload().U32(1);
    c.peer.Send(no.Take());
    EXPECT_EQ(rejected.get(), OUTCOME_REJECTED);

    auto open = std::async(std::launch::async, [&] { return BeginLogin(c.client, "", digest, 3000); });
    start = c.peer.ReadFrame();
    MessageBuilder none_needed = MessageBuilder::Reply(IdOf(start), 0);
    none_needed.Payload().U8(1);
    c.peer.Send(none_needed.Take());
    EXPECT_EQ(open.get(), OUTCOME_NOT_NEEDED);

    // Silence: the wait ends with an error at its time-out.
    auto start_time = std::chrono::steady_clock::now();
    EXPECT_EQ(BeginLogin(c.client, "", digest, 200), OUTCOME_ERROR);
    EXPECT_LT(std::chrono::steady_clock::now() - start_time, std::chrono::seconds(2));
}

TEST(ClientScenario, NoLoginCapabilityNeedsNoExchange)
{
    Connected c(CAP_NO_LOGIN);
    ASSERT_NE(c.client, nullptr);
    uint8_t digest[16] = {};
    EXPECT_EQ(BeginLogin(c.client, "", digest, 3000), OUTCOME_NOT_NEEDED);
    EXPECT_TRUE(c.peer.ReadFrame(200).empty());  // nothing was sent
}

TEST(ClientScenario, RepliesAndStatuses)
{
    Connected c;
    ASSERT_NE(c.client, nullptr);
    SetClientRequestTimeout(c.client, 2000);

    auto waited = std::async(std::launch::async, [&] {
        uint32_t value = 0;
        int r = WaitedRequest(
            c.client, REQ_GET_TYPE, {},
            [](Client *, PayloadReader &p, void *ctx) { return p.U32(*static_cast<uint32_t *>(ctx)) ? 1 : 0; },
            &value);
        return std::make_pair(r, value);
    });
    Bytes request = c.peer.ReadFrame();
    ASSERT_EQ(request.size(), 16u);
    // A reply for nobody first (its payload is skipped), then ours.
    MessageBuilder stray = MessageBuilder::Reply(IdOf(request) + 100, 0);
    stray.Payload().Zeros(9);
    c.peer.Send(stray.Take());
    MessageBuilder reply = MessageBuilder::Reply(IdOf(request), 0);
    reply.Payload().U32(18);
    c.peer.Send(reply.Take());
    auto [result, value] = waited.get();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(value, 18u);

    // A non-zero status fails the request and keeps the connection.
    auto failed = std::async(std::launch::async, [&] { return WaitedRequest(c.client, REQ_GET_TYPE, {}, nullptr, nullptr); });
    request = c.peer.ReadFrame();
    c.peer.Send(MessageBuilder::Reply(IdOf(request), 3).Take());
    EXPECT_EQ(failed.get(), 0);
    EXPECT_FALSE(ClientClosed(c.client));

    // No reply at all: 0 after the time-out, connection still open.
    SetClientRequestTimeout(c.client, 200);
    EXPECT_EQ(WaitedRequest(c.client, REQ_GET_TYPE, {}, nullptr, nullptr), 0);
    EXPECT_FALSE(ClientClosed(c.client));
}

TEST(ClientScenario, BadGreetingsEndTheConnection)
{
    for (Bytes greeting : {HelloFrame(1, 0, 5), Bytes{0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 2}}) {
        ScriptedPeer peer;
        auto pending = std::async(std::launch::async, [&] {
            ConnectOptions o;
            o.timeout_ms = 3000;
            return ConnectClient(0x7F000001u, peer.Port(), o, nullptr, nullptr);
        });
        ASSERT_TRUE(peer.Accept());
        peer.Send(greeting);
        Client *c = pending.get();
        // The reader ended before the greeting was answered: closed at once.
        ASSERT_NE(c, nullptr);
        EXPECT_TRUE(ClientClosed(c));
        EXPECT_EQ(PostRequest(c, REQ_PING, {}), 0u);
        CloseClient(c);
    }
}

TEST(ClientScenario, APeerThatStopsReadingEndsTheConnectionAtTheTimeout)
{
    Connected c;
    ASSERT_NE(c.client, nullptr);
    SetClientRequestTimeout(c.client, 300);
    std::vector<uint8_t> block(256 * 1024, 0x42);
    auto start = std::chrono::steady_clock::now();
    // The peer reads nothing: the socket buffers fill and a send stalls.
    for (int i = 0; i < 200 && PostRequest(c.client, REQ_POST_BLOCK, block) != 0; ++i) {
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    for (int i = 0; i < 100 && !ClientClosed(c.client); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ClientClosed(c.client));
}
