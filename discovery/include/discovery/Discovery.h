// LAN discovery: one UDP socket per local IPv4 address broadcasts a 45-byte request to
// port 5557; devices answer with a 55-byte reply. Replies reach the caller through a
// callback on the search thread.
//
// Threads: StartDiscovery starts one search thread, which owns the sockets until
// StopDiscovery joins it. The callback runs on that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint16_t DISCOVERY_PORT = 5557;
inline constexpr size_t DISCOVERY_REQUEST_SIZE = 45;
inline constexpr size_t DISCOVERY_REPLY_SIZE = 55;
inline constexpr int DISCOVERY_WAIT_SLICE_MS = 1000;
inline constexpr uint32_t DISCOVERY_BROADCAST = 0xFFFFFFFFu;

// One device that answered. Host byte order throughout. The serial number is up to 32
// bytes and always NUL-terminated.
//
// The device_word and device_value fields carry values whose meaning lies with the
// device: they are kept as the reply gave them and never interpreted here.
struct DiscoveryRecord {
    uint32_t address = 0;  // source address of the reply
    uint16_t port = 0;     // the device's service port; 0 means the default
    uint16_t device_value4 = 0;  // reply bytes 53-54
    uint32_t device_type = 0;    // the device-type code
    uint32_t device_word = 0;    // reply bytes 9-12
    char serial_number[33] = {};
    uint16_t device_value1 = 0;  // reply bytes 45-46
    uint16_t device_value2 = 0;  // reply bytes 47-48
    uint16_t device_value3 = 0;  // reply bytes 49-50
};

// Called on the search thread for every valid reply; non-zero goes on searching, 0 ends
// the search.
using DiscoveryCallback = int (*)(const DiscoveryRecord *record, void *user_data);

struct DiscoverySession;

// Starts a search: the two query words and the query text (at most 32 bytes, may be
// none) go into every request. Their meaning lies with the devices; this system sends
// zeros and no text. `target` (host order) is an extra unicast destination, 0 for
// none, DISCOVERY_BROADCAST to send only the broadcast. None when no local address
// other than 127.0.0.1 can be used, or a socket or the thread cannot be made.
[[nodiscard]] DiscoverySession *StartDiscovery(uint32_t device_query_a, uint32_t device_query_b,
                                               const char *device_query_text, DiscoveryCallback callback,
                                               void *user_data, uint32_t target = 0);

// Where and how a search sends. The defaults are those of StartDiscovery.
struct DiscoveryOptions {
    // Local addresses (host order) to send from; empty: every IPv4 address of the
    // machine except 127.0.0.1.
    std::vector<uint32_t> local_addresses;
    // Destination port of the requests.
    uint16_t port = DISCOVERY_PORT;
    // Also send to 255.255.255.255. Off, only `target` is asked.
    bool broadcast = true;
};

[[nodiscard]] DiscoverySession *StartDiscovery(uint32_t device_query_a, uint32_t device_query_b,
                                               const char *device_query_text, DiscoveryCallback callback,
                                               void *user_data, uint32_t target, const DiscoveryOptions &options);

// Stops and frees a search (none does nothing): wakes the search thread, joins it and
// closes every socket. Returns within about one wait slice.
void StopDiscovery(DiscoverySession *session);

// True while the search thread is still running (it ends by itself on a send or receive
// failure or when the callback says so).
[[nodiscard]] bool DiscoveryRunning(const DiscoverySession *session);

// How many interface sockets the search opened.
[[nodiscard]] size_t DiscoverySocketCount(const DiscoverySession *session);

// The search's cookie (tests answer with it).
[[nodiscard]] uint32_t DiscoveryCookie(const DiscoverySession *session);

// Datagram codec.
// Writes the 45-byte request.
void BuildDiscoveryRequest(uint32_t cookie, uint32_t device_query_a, uint32_t device_query_b,
                           const char *device_query_text, uint8_t out[DISCOVERY_REQUEST_SIZE]);
// Writes a 55-byte reply (the device's side; the simulator and tests use it).
void BuildDiscoveryReply(uint32_t cookie, const DiscoveryRecord &record, uint8_t out[DISCOVERY_REPLY_SIZE]);
// Parses a reply of `size` bytes from `source_address` (host order). False when it is
// short, of another packet type or carries another cookie.
[[nodiscard]] bool ParseDiscoveryReply(const uint8_t *data, size_t size, uint32_t cookie, uint32_t source_address,
                                       DiscoveryRecord *out);

// The address text a device gets from a reply: "a.b.c.d", plus ":port" when the port is
// neither 0 nor 5557.
[[nodiscard]] std::string FormatDiscoveredAddress(uint32_t address, uint16_t port);
