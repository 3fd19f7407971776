// A client: the grabber library's connection to one device. A TCP socket, a send
// and a receive side (plain or compressed), one reader thread "TSLClientReader",
// the table of requests that wait for replies, the login exchanges under way, and
// membership in the library-wide keep-alive thread.
//
// Locks: the keep-alive list's lock is taken before a client's write lock. The
// reader takes the write lock for its own replies and table look-ups, never while
// it waits for the next frame. Waiting callers hold no lock.
#pragma once

#include "grabber/Transport.h"
#include "grabber/Wire.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace Grabber {

struct Client;

// The driver's handlers (reader thread). Any may be absent.
struct ClientCallbacks {
    // A device request of a type the client does not answer itself. Must reply
    // (SendReply). False ends the connection. Absent: status 3, empty.
    bool (*on_request)(Client *client, const IncomingFrame &frame, PayloadReader &payload, void *owner);
    // A reply whose id matches no waiting request. Absent: ignored.
    void (*on_reply)(Client *client, const IncomingFrame &frame, PayloadReader &payload, void *owner);
    // An event other than a frame. False ends the connection.
    bool (*on_event)(Client *client, uint32_t code, PayloadReader &payload, void *owner);
    // A frame event; payload holds the image bytes. False ends the connection.
    bool (*on_frame)(Client *client, const FrameHeader &header, PayloadReader &image, void *owner);
    // The connection ended (after every waiter has been released).
    void (*on_disconnected)(Client *client, void *owner);
};

// Parses a reply payload of status 0 into the caller's context; the result (> 0
// for success) becomes the request's result. Marking the payload failed
// (PayloadReader::Fail, or a read past its end) fails the request and ends the
// connection.
using ParseFn = int (*)(Client *client, PayloadReader &payload, void *context);
// Completion of an asynchronous request; false ends the connection.
using CompletionFn = bool (*)(Client *client, uint32_t id, uint8_t status, uint32_t length, PayloadReader &payload,
                              void *context);

struct ConnectOptions {
    bool compressed = false;
    int timeout_ms = 10000;  // connect deadline; 0 or less: none
    // Set by another thread: the attempt gives up within about 50 ms.
    const std::atomic<bool> *cancel = nullptr;
};

// Connects, starts the reader and waits for the device's Hello until the deadline.
// Port 0 means 5557 (5558 compressed). None on failure.
[[nodiscard]] Client *ConnectClient(uint32_t address, uint16_t port, const ConnectOptions &options,
                                    const ClientCallbacks *callbacks, void *owner);
// Takes over a connected stream socket and starts the reader at once, without
// waiting for the greeting (ready when ClientReady says so). The client closes fd.
[[nodiscard]] Client *AttachClient(int fd, bool compressed, const ClientCallbacks *callbacks, void *owner);
// True once the device's greeting has been answered or the connection has ended.
bool ClientReady(Client *client);
// Stops the reader, closes the socket and frees the client. None does nothing.
void CloseClient(Client *client);
// Ends the connection at once from any thread: the reader releases every waiter.
// The client stays to be closed by its owner.
void AbortClient(Client *client);

// Sends a request and waits up to the request time-out for its reply; the parse
// function's result (1 without one), or 0 on failure, time-out or closed client.
// max_reply caps the reply payload the reader will accept for it.
[[nodiscard]] int WaitedRequest(Client *client, uint32_t type, const std::vector<uint8_t> &payload, ParseFn parse,
                                void *context, uint32_t max_reply = kMaxControlPayload);
// Sends a request expecting no reply: its id, or 0 when the client is closed.
uint32_t PostRequest(Client *client, uint32_t type, const std::vector<uint8_t> &payload);
// Sends a request whose reply goes to the completion function; its id or 0.
uint32_t AsyncRequest(Client *client, uint32_t type, const std::vector<uint8_t> &payload, CompletionFn complete,
                      void *context);
// Sends a reply from a request handler.
bool SendReply(Client *client, uint32_t id, uint8_t status, const std::vector<uint8_t> &payload);

// Login outcomes of BeginLogin.
enum LoginOutcome : int {
    OUTCOME_ACCEPTED = 0,
    OUTCOME_NOT_NEEDED = 1,
    OUTCOME_REJECTED = 2,
    OUTCOME_ERROR = 3,
};
// Runs one login exchange and waits up to wait_ms for its outcome. user may be
// none (sent empty); password_digest is the MD5 of the password.
[[nodiscard]] int BeginLogin(Client *client, const char *user, const uint8_t password_digest[16], int wait_ms);

uint32_t ClientCapabilities(const Client *client);
void *ClientOwner(const Client *client);
void SetClientOwner(Client *client, void *owner);
int ClientRequestTimeout(const Client *client);
void SetClientRequestTimeout(Client *client, int timeout_ms);
bool ClientClosed(Client *client);
// The peer's address and port in host order.
uint32_t ClientPeerAddress(const Client *client);
uint16_t ClientPeerPort(const Client *client);

// Library-wide client subsystem, counted: the last Shutdown stops the keep-alive
// thread. The keep-alive period defaults to 10000 ms.
void ClientStartup();
void ClientShutdown();
void SetKeepAlivePeriod(int period_ms);

}  // namespace Grabber
