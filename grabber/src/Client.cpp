// The grabber client connection: connect, reader thread, requests, login, keep-alive.
#include "Client.h"

#include <ambry/Clock.h>
#include <ambry/Event.h>
#include <ambry/Mutex.h>
#include <ambry/Net.h>
#include <ambry/NetworkWait.h>
#include <ambry/Thread.h>
#include <ambry/Trace.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <climits>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <list>
#include <memory>
#include <mutex>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <thread>
#include <unordered_map>
#include <unistd.h>

namespace Grabber {

namespace {

// Completion of a waited request: the reader stores the result, then marks the
// entry done; the futex is woken only when the caller went to sleep on it.
enum : uint32_t { kPendingOpen = 0, kPendingDone = 1, kPendingSleeping = 2 };

// One step of a spin-wait: tells the processor that this thread only watches a
// flag, so a sibling hardware thread gets the core; plain busy-waiting elsewhere.
inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
    __asm__ __volatile__("yield" ::: "memory");
#endif
}

struct Pending {
    uint32_t id = 0;
    bool waiting = false;
    ParseFn parse = nullptr;
    CompletionFn complete = nullptr;
    void *context = nullptr;
    uint32_t max_reply = kMaxControlPayload;
    std::atomic<uint32_t> state{kPendingOpen};
    int result = 0;

    void Complete(int value)
    {
        result = value;
        if (state.exchange(kPendingDone, std::memory_order_acq_rel) == kPendingSleeping)
            ::syscall(SYS_futex, &state, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
    }

    bool Done() const { return state.load(std::memory_order_acquire) == kPendingDone; }

    // Waits for Complete, watching the flag for spin_us before sleeping on it;
    // timeout_ms < 0 waits without limit. True once completed.
    bool Await(int timeout_ms, int spin_us)
    {
        auto now = std::chrono::steady_clock::now();
        auto spin_until = now + std::chrono::microseconds(spin_us);
        for (int i = 0; spin_us > 0 && !Done(); ++i) {
            if ((i & 15) == 15) {
                now = std::chrono::steady_clock::now();
                if (now >= spin_until)
                    break;
                std::this_thread::yield();
            }
            CpuRelax();
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            uint32_t seen = kPendingOpen;
            if (!state.compare_exchange_strong(seen, kPendingSleeping, std::memory_order_acq_rel) &&
                seen == kPendingDone)
                return true;
            timespec ts{};
            timespec *limit = nullptr;
            if (timeout_ms >= 0) {
                auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0)
                    return Done();
                ts.tv_sec = time_t(left.count() / 1000000000);
                ts.tv_nsec = long(left.count() % 1000000000);
                limit = &ts;
            }
            ::syscall(SYS_futex, &state, FUTEX_WAIT_PRIVATE, kPendingSleeping, limit, nullptr, 0);
        }
    }
};

// Most replies come back within tens of microseconds, and then watching the flag
// saves the caller a sleep and a wake-up. While replies are slower (a busy peer or
// processor), spinning only takes the processor from the threads that would answer:
// the spin halves with every slow reply and returns in full with a quick one.
constexpr int kSpinMicroseconds = 50;

struct PendingLogin {
    char user[32] = {};
    uint8_t password_digest[16] = {};
    uint32_t start_id = 0;   // request 20
    uint32_t result_id = 0;  // request 21, 0 until the challenge is answered
    bool answered = false;
    int outcome = OUTCOME_ERROR;
    Ambry::CEvent event;
};

}  // namespace

struct Client {
    bool compressed = false;
    int fd = -1;
    std::unique_ptr<Transport> transport;
    std::atomic<uint32_t> capabilities{0};
    const ClientCallbacks *callbacks = nullptr;
    std::atomic<void *> owner{nullptr};

    Ambry::CMutex write_lock;  // guards the fields that name it; held while a frame is written
    Ambry::CEvent ready;
    bool closed TSL_GUARDED_BY(write_lock) = false;
    uint32_t id_counter TSL_GUARDED_BY(write_lock) = 0;
    std::list<std::shared_ptr<PendingLogin>> logins TSL_GUARDED_BY(write_lock);
    uint16_t version[3] TSL_GUARDED_BY(write_lock) = {};
    uint8_t extra TSL_GUARDED_BY(write_lock) = 0;
    std::atomic<int> request_timeout_ms{10000};
    std::atomic<int> spin_us{kSpinMicroseconds};
    std::unordered_map<uint32_t, std::shared_ptr<Pending>> pending TSL_GUARDED_BY(write_lock);

    std::thread reader;
    uint32_t peer_address = 0;
    uint16_t peer_port = 0;
};

// ---- Keep-alive -------------------------------------------------------------------

namespace {

bool SendFrame(Client *c, const std::vector<uint8_t> &bytes);

class KeepAlive {
public:
    // A process may exit with connections still open: stop the thread rather than
    // let a running std::thread be destroyed (which ends the process with abort).
    ~KeepAlive() { RemoveAll(); }

    void Add(Client *c)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_clients.push_back(c);
        if (!m_thread.joinable()) {
            // A thread being stopped may not have seen its stop yet: the new one gets
            // its own run number, so that stop stays in force for the old one.
            const uint64_t run = ++m_run;
            m_thread = Ambry::StartThread("TSLKeepAlive", [this, run] { Run(run); });
        }
    }

    void Remove(Client *c)
    {
        std::thread stopped;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_clients.remove(c);
            if (m_clients.empty() && m_thread.joinable()) {
                ++m_run;
                m_wake.notify_all();
                stopped = std::move(m_thread);
            }
        }
        if (stopped.joinable())
            stopped.join();
    }

    void RemoveAll()
    {
        std::thread stopped;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_clients.clear();
            ++m_run;
            m_wake.notify_all();
            stopped = std::move(m_thread);
        }
        if (stopped.joinable())
            stopped.join();
    }

    void SetPeriod(int period_ms)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_period_ms = period_ms > 0 ? period_ms : 10000;
        m_wake.notify_all();
    }

    std::atomic<int> users{0};

private:
    // Runs until m_run moves past `run`.
    void Run(uint64_t run)
    {
        std::unique_lock<std::mutex> lock(m_lock);
        auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_period_ms);
        while (m_run == run) {
            if (m_wake.wait_until(lock, next) != std::cv_status::timeout) {
                // Stopped, or the period changed: never wait longer than one period.
                next = std::min(next, std::chrono::steady_clock::now() + std::chrono::milliseconds(m_period_ms));
                continue;
            }
            if (m_run != run)
                break;
            for (Client *c : m_clients) {
                Ambry::CLock client_lock(c->write_lock);
                if (c->closed)
                    continue;
                uint32_t id = NextRequestId(c->id_counter);
                (void)SendFrame(c, MessageBuilder::Request(id, REQ_PING).Take());
            }
            next = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_period_ms);
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::list<Client *> m_clients;
    std::thread m_thread;
    uint64_t m_run = 0;  // the running thread's number; moving it on stops that thread
    int m_period_ms = 10000;
};

KeepAlive &TheKeepAlive()
{
    static KeepAlive keep_alive;
    return keep_alive;
}

// Creates a stream socket with keep-alive and no delay and connects it, within
// timeout_ms when positive. -1 on failure (the socket routines say why).
int ConnectSocket(uint32_t address, uint16_t port, int timeout_ms, const std::atomic<bool> *cancel)
{
    Ambry::CSocket s(Ambry::SocketCreate(Ambry::SOCKET_STREAM));
    if (!s.IsValid())
        return -1;
    Ambry::SocketSetKeepAlive(s.Get(), true);
    Ambry::SocketSetNoDelay(s.Get(), true);
    bool ok = timeout_ms > 0 || cancel
                  ? Ambry::SocketConnectUntil(s.Get(), address, port,
                                              timeout_ms > 0 ? Ambry::ClockMonotonic() + timeout_ms : 0, cancel)
                  : Ambry::SocketConnect(s.Get(), address, port);
    return ok ? s.Release() : -1;
}

// ---- Sending ------------------------------------------------------------------------

std::vector<uint8_t> BuildRequestBytes(uint32_t id, uint32_t type, const std::vector<uint8_t> &payload)
{
    MessageBuilder b = MessageBuilder::Request(id, type);
    b.Payload().Bytes(payload.data(), payload.size());
    return b.Take();
}

// Sends one whole frame; the transport serialises writers, so no client lock is
// needed. A frame that could not go out whole leaves the stream unusable: the
// connection ends, and the reader releases every waiter.
bool SendFrame(Client *c, const std::vector<uint8_t> &bytes)
{
    if (c->transport->Send(bytes))
        return true;
    ::shutdown(c->fd, SHUT_RDWR);
    return false;
}

// ---- Login handling (reader thread) ---------------------------------------------------

// Registers a request whose reply goes to `complete`; its id.
uint32_t AddPendingLocked(Client *c, CompletionFn complete, void *context) TSL_REQUIRES(c->write_lock)
{
    c->write_lock.AssertHeld();
    const uint32_t id = NextRequestId(c->id_counter);
    auto entry = std::make_shared<Pending>();
    entry->id = id;
    entry->complete = complete;
    entry->context = context;
    c->pending[id] = entry;
    return id;
}

std::shared_ptr<PendingLogin> FindLoginLocked(Client *c, uint32_t start_id, uint32_t result_id)
    TSL_REQUIRES(c->write_lock)
{
    c->write_lock.AssertHeld();
    for (auto &l : c->logins)
        if ((start_id && l->start_id == start_id) || (result_id && l->result_id == result_id))
            return l;
    return nullptr;
}

bool OnLoginStartReply(Client *c, uint32_t id, uint8_t, uint32_t, PayloadReader &payload, void *)
{
    uint8_t answer = 0;
    bool have = payload.U8(answer);
    Ambry::CLock lock(c->write_lock);
    auto login = FindLoginLocked(c, id, 0);
    if (!have) {
        if (login) {
            login->outcome = OUTCOME_ERROR;
            login->event.Set();
        }
        return false;
    }
    if (login && answer != 0) {
        login->outcome = answer == 1 ? OUTCOME_NOT_NEEDED : OUTCOME_ERROR;
        login->event.Set();
    }
    return true;
}

bool OnLoginResultReply(Client *c, uint32_t id, uint8_t status, uint32_t, PayloadReader &payload, void *)
{
    uint32_t answer = 0;
    bool have = status == 0 && payload.U32(answer);
    Ambry::CLock lock(c->write_lock);
    auto login = FindLoginLocked(c, 0, id);
    if (!login)
        return true;
    if (!have)
        login->outcome = OUTCOME_ERROR;
    else if (answer == 1)
        login->outcome = OUTCOME_REJECTED;
    else if (answer == 2)
        login->outcome = OUTCOME_ACCEPTED;
    else
        login->outcome = OUTCOME_ERROR;
    login->event.Set();
    return true;
}

bool OnChallenge(Client *c, const IncomingFrame &frame, PayloadReader &payload)
{
    uint8_t status = 1;
    if (!payload.U8(status) || status != 0)
        return false;
    size_t size = payload.Remaining();
    if (size > kMaxChallengeBytes)
        return false;
    uint8_t challenge[kMaxChallengeBytes];
    if (!payload.Bytes(challenge, size))
        return false;

    Ambry::CLock lock(c->write_lock);
    std::shared_ptr<PendingLogin> login;
    for (auto &l : c->logins)
        if (!l->answered) {
            login = l;
            break;
        }
    if (!login)
    {
        (void)SendFrame(c, MessageBuilder::Reply(frame.id, STATUS_UNEXPECTED_CHALLENGE).Take());
        return true;
    }

    uint8_t digest[16];
    LoginResponseDigest(challenge, size, login->password_digest, login->user, digest);
    MessageBuilder reply = MessageBuilder::Reply(frame.id, STATUS_OK);
    reply.Payload().Bytes(login->user, std::strlen(login->user));
    reply.Payload().U8(0);
    reply.Payload().Bytes(digest, 16);
    (void)SendFrame(c, reply.Take());
    login->answered = true;
    if (c->closed)
        return true;
    const uint32_t id = AddPendingLocked(c, OnLoginResultReply, nullptr);
    login->result_id = id;
    (void)SendFrame(c, BuildRequestBytes(id, REQ_LOGIN_RESULT, {}));
    return true;
}

// ---- Reader thread ------------------------------------------------------------------

bool HandleRequest(Client *c, const IncomingFrame &frame, PayloadReader &payload)
{
    if (frame.payload > kMaxControlPayload)
        return false;
    switch (frame.type) {
    case REQ_HELLO: {
        HelloInfo hello;
        if (!DecodeHello(payload, hello))
            return false;
        c->capabilities = hello.capabilities;
        std::vector<uint8_t> answer;
        PayloadWriter w(answer);
        EncodeHelloAnswer(w);
        {
            Ambry::CLock lock(c->write_lock);
            std::memcpy(c->version, hello.version, sizeof c->version);
            c->extra = hello.extra;
        }
        if (!SendReply(c, frame.id, STATUS_OK, answer))
            return false;
        c->ready.Set();
        return true;
    }
    case REQ_LOGIN_CHALLENGE:
        return OnChallenge(c, frame, payload);
    case REQ_PING:
        SendReply(c, frame.id, STATUS_OK, {});
        return true;
    default:
        if (c->callbacks && c->callbacks->on_request)
            return c->callbacks->on_request(c, frame, payload, c->owner.load());
        SendReply(c, frame.id, STATUS_UNKNOWN_REQUEST, {});
        return true;
    }
}

bool HandleReply(Client *c, const IncomingFrame &frame, PayloadReader &payload)
{
    std::shared_ptr<Pending> entry;
    {
        Ambry::CLock lock(c->write_lock);
        auto it = c->pending.find(frame.id);
        if (it != c->pending.end()) {
            entry = it->second;
            c->pending.erase(it);
        }
    }
    if (!entry) {
        if (frame.payload > kMaxControlPayload)
            return false;
        if (c->callbacks && c->callbacks->on_reply)
            c->callbacks->on_reply(c, frame, payload, c->owner.load());
        return true;
    }
    if (frame.payload > entry->max_reply) {
        if (entry->waiting)
            entry->Complete(0);
        return false;
    }
    if (entry->waiting) {
        int result = 0;
        if (frame.status == STATUS_OK) {
            result = entry->parse ? entry->parse(c, payload, entry->context) : 1;
            if (payload.Failed()) {
                // A malformed reply ends the connection; say so before the caller wakes.
                result = 0;
                Ambry::CLock lock(c->write_lock);
                c->closed = true;
            }
        }
        entry->Complete(result);
        return !payload.Failed();
    }
    bool ok = entry->complete ? entry->complete(c, frame.id, frame.status, frame.payload, payload, entry->context) : true;
    return ok && !payload.Failed();
}

bool HandleEvent(Client *c, const IncomingFrame &frame, PayloadReader &payload)
{
    void *owner = c->owner.load();
    if (frame.id == EVT_FRAME) {
        FrameHeader header;
        if (!DecodeFrameHeader(payload, header, false))
            return false;
        if (c->callbacks && c->callbacks->on_frame)
            return c->callbacks->on_frame(c, header, payload, owner) && !payload.Failed();
        return true;
    }
    if (frame.payload > kMaxControlPayload)
        return false;
    if (c->callbacks && c->callbacks->on_event)
        return c->callbacks->on_event(c, frame.id, payload, owner) && !payload.Failed();
    return true;
}

void ReaderLoop(Client *c)
{
    if (!c->transport->OpenInput()) {
        Ambry::TraceError("TSLClientReader: cannot open compressed socket\n");
    } else {
        InputStream &in = c->transport->Input();
        for (;;) {
            IncomingFrame frame;
            if (ReadIncomingFrame(in, frame, kMaxImageBytes + kGrabHeaderBytes) != FRAME_OK)
                break;
            PayloadReader payload(in, frame.payload);
            bool ok = false;
            switch (frame.kind) {
            case KIND_REQUEST:
                ok = HandleRequest(c, frame, payload);
                break;
            case KIND_REPLY:
                ok = HandleReply(c, frame, payload);
                break;
            default:
                ok = HandleEvent(c, frame, payload);
                break;
            }
            if (!ok || !payload.SkipRest())
                break;
        }
    }

    // The loop ended: release every waiter and pending login at once.
    {
        Ambry::CLock lock(c->write_lock);
        c->closed = true;
        for (auto &[id, entry] : c->pending) {
            if (entry->waiting)
                entry->Complete(0);
        }
        c->pending.clear();
        for (auto &login : c->logins) {
            login->outcome = OUTCOME_ERROR;
            login->event.Set();
        }
    }
    c->ready.Set();
    ::shutdown(c->fd, SHUT_RD);
    if (c->callbacks && c->callbacks->on_disconnected)
        c->callbacks->on_disconnected(c, c->owner.load());
}

}  // namespace

// ---- Public operations ------------------------------------------------------------

void ClientStartup() { TheKeepAlive().users++; }

void ClientShutdown()
{
    if (--TheKeepAlive().users <= 0) {
        TheKeepAlive().users = 0;
        TheKeepAlive().RemoveAll();
    }
}

void SetKeepAlivePeriod(int period_ms) { TheKeepAlive().SetPeriod(period_ms); }

Client *ConnectClient(uint32_t address, uint16_t port, const ConnectOptions &options,
                      const ClientCallbacks *callbacks, void *owner)
{
    (void)Ambry::CheckNetworkWait("ConnectClient");
    auto start = std::chrono::steady_clock::now();
    if (port == 0)
        port = options.compressed ? 5558 : 5557;
    int fd = ConnectSocket(address, port, options.timeout_ms, options.cancel);
    if (fd < 0)
        return nullptr;

    Client *client = AttachClient(fd, options.compressed, callbacks, owner);
    client->peer_address = address;
    client->peer_port = port;

    // The greeting, until the deadline; in short looks when the attempt may be called off.
    constexpr int64_t kCancelLook = 50;
    bool ready = false;
    for (;;) {
        int64_t wait = -1;  // no limit
        if (options.timeout_ms > 0) {
            auto elapsed =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            wait = std::max<int64_t>(1, options.timeout_ms - elapsed.count());
        }
        const bool sliced = options.cancel && (wait < 0 || wait > kCancelLook);
        ready = client->ready.Wait(sliced ? kCancelLook : wait) == Ambry::CEvent::WAIT_SIGNALLED;
        if (ready || !sliced || options.cancel->load())
            break;
    }
    if (!ready) {
        CloseClient(client);
        return nullptr;
    }
    return client;
}

void AbortClient(Client *client)
{
    if (client)
        ::shutdown(client->fd, SHUT_RDWR);
}

Client *AttachClient(int fd, bool compressed, const ClientCallbacks *callbacks, void *owner)
{
    // A peer that stops reading must not hold a writer (and the locks it holds) for
    // longer than a request may take.
    timeval send_timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
    auto c = std::make_unique<Client>();
    c->compressed = compressed;
    c->fd = fd;
    c->transport = std::make_unique<Transport>(fd, compressed);
    c->callbacks = callbacks;
    c->owner = owner;
    Client *client = c.release();
    client->reader = Ambry::StartThread("TSLClientReader", [client] { ReaderLoop(client); });
    TheKeepAlive().Add(client);
    return client;
}

void CloseClient(Client *client)
{
    if (!client)
        return;
    TheKeepAlive().Remove(client);
    client->transport->FinishOutput();
    ::shutdown(client->fd, SHUT_RDWR);
    if (client->reader.joinable())
        client->reader.join();
    Ambry::SocketClose(client->fd);
    delete client;
}

bool SendReply(Client *client, uint32_t id, uint8_t status, const std::vector<uint8_t> &payload)
{
    MessageBuilder b = MessageBuilder::Reply(id, status);
    b.Payload().Bytes(payload.data(), payload.size());
    Ambry::CLock lock(client->write_lock);
    return SendFrame(client, b.Take());
}

int WaitedRequest(Client *client, uint32_t type, const std::vector<uint8_t> &payload, ParseFn parse, void *context,
                  uint32_t max_reply)
{
    if (!client)
        return 0;
    (void)Ambry::CheckNetworkWait("WaitedRequest");
    auto entry = std::make_shared<Pending>();
    entry->waiting = true;
    entry->parse = parse;
    entry->context = context;
    entry->max_reply = max_reply;
    {
        Ambry::CLock lock(client->write_lock);
        if (client->closed)
            return 0;
        entry->id = NextRequestId(client->id_counter);
        client->pending[entry->id] = entry;
    }
    // Sent without the client lock: on loopback the reply can be back before send()
    // returns, and the reader must not then sleep on the lock to find the entry.
    if (!SendFrame(client, BuildRequestBytes(entry->id, type, payload))) {
        Ambry::CLock lock(client->write_lock);
        client->pending.erase(entry->id);
        return 0;
    }
    int timeout_ms = client->request_timeout_ms.load();
    auto sent = std::chrono::steady_clock::now();
    if (entry->Await(timeout_ms, client->spin_us.load(std::memory_order_relaxed))) {
        auto took = std::chrono::steady_clock::now() - sent;
        int spin = client->spin_us.load(std::memory_order_relaxed);
        client->spin_us.store(took <= std::chrono::microseconds(kSpinMicroseconds) ? kSpinMicroseconds : spin / 2,
                              std::memory_order_relaxed);
        return entry->result;
    }
    bool taken;
    {
        Ambry::CLock lock(client->write_lock);
        taken = client->pending.erase(entry->id) == 0;
    }
    if (!taken)
        return 0;
    // The reader is in the middle of this reply. A peer that stalls there has broken
    // the link: end the connection rather than wait beyond the time-out.
    if (!entry->Done()) {
        ::shutdown(client->fd, SHUT_RDWR);
        entry->Await(-1, 0);
        return 0;
    }
    return entry->result;
}

uint32_t PostRequest(Client *client, uint32_t type, const std::vector<uint8_t> &payload)
{
    if (!client)
        return 0;
    Ambry::CLock lock(client->write_lock);
    if (client->closed)
        return 0;
    uint32_t id = NextRequestId(client->id_counter);
    if (!SendFrame(client, BuildRequestBytes(id, type, payload)))
        return 0;
    return id;
}

uint32_t AsyncRequest(Client *client, uint32_t type, const std::vector<uint8_t> &payload, CompletionFn complete,
                      void *context)
{
    if (!client)
        return 0;
    Ambry::CLock lock(client->write_lock);
    if (client->closed)
        return 0;
    const uint32_t id = AddPendingLocked(client, complete, context);
    if (!SendFrame(client, BuildRequestBytes(id, type, payload))) {
        client->pending.erase(id);
        return 0;
    }
    return id;
}

int BeginLogin(Client *client, const char *user, const uint8_t password_digest[16], int wait_ms)
{
    if (!client)
        return OUTCOME_ERROR;
    if (client->capabilities & CAP_NO_LOGIN)
        return OUTCOME_NOT_NEEDED;
    (void)Ambry::CheckNetworkWait("Login");
    auto login = std::make_shared<PendingLogin>();
    if (user)
        std::strncpy(login->user, user, sizeof login->user - 1);
    std::memcpy(login->password_digest, password_digest, 16);
    {
        Ambry::CLock lock(client->write_lock);
        if (client->closed)
            return OUTCOME_ERROR;
        client->logins.push_back(login);
        const uint32_t id = AddPendingLocked(client, OnLoginStartReply, nullptr);
        login->start_id = id;
        if (!SendFrame(client, BuildRequestBytes(id, REQ_LOGIN_START, {}))) {
            client->pending.erase(id);
            client->logins.remove(login);
            return OUTCOME_ERROR;
        }
    }
    login->event.Wait(wait_ms);
    Ambry::CLock lock(client->write_lock);
    client->logins.remove(login);
    return login->outcome;
}

bool ClientReady(Client *client) { return client && client->ready.Poll(); }

uint32_t ClientCapabilities(const Client *client) { return client ? client->capabilities.load() : 0; }
void *ClientOwner(const Client *client) { return client ? client->owner.load() : nullptr; }
void SetClientOwner(Client *client, void *owner)
{
    if (client)
        client->owner = owner;
}
int ClientRequestTimeout(const Client *client) { return client ? client->request_timeout_ms.load() : 0; }
void SetClientRequestTimeout(Client *client, int timeout_ms)
{
    if (!client)
        return;
    client->request_timeout_ms = timeout_ms > 0 ? timeout_ms : 10000;
    int ms = client->request_timeout_ms.load();
    timeval send_timeout{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(client->fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
}
bool ClientClosed(Client *client)
{
    if (!client)
        return true;
    Ambry::CLock lock(client->write_lock);
    return client->closed;
}
uint32_t ClientPeerAddress(const Client *client) { return client ? client->peer_address : 0; }
uint16_t ClientPeerPort(const Client *client) { return client ? client->peer_port : 0; }

}  // namespace Grabber
