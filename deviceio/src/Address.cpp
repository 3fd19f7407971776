// Address records: building one from host-order numbers and reading one from the
// text a user types ("host[:port]").
#include <deviceio/DeviceIO.h>

#include <ambry/Parse.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A port: decimal, 0x-hex or 0-octal, 1..65535, only white space around it.
bool ParsePort(const char *text, uint16_t *port)
{
    uint16_t value = 0;
    if (!Ambry::ParseUInt16(text, 0, &value) || value == 0)
        return false;
    *port = value;
    return true;
}

bool ParseAddress(const char *text, AddressRecord *out, bool resolve)
{
    if (!text)
        return false;
    std::string host;
    uint16_t port = 0;
    if (const char *colon = std::strchr(text, ':')) {
        host.assign(text, static_cast<size_t>(colon - text));
        if (!ParsePort(colon + 1, &port))
            return false;
    } else {
        host = text;
    }
    size_t begin = 0;
    while (begin < host.size() && IsSpace(host[begin]))
        ++begin;
    size_t end = host.size();
    while (end > begin && IsSpace(host[end - 1]))
        --end;
    host = host.substr(begin, end - begin);
    if (host.empty())
        return false;
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
        if (!resolve)
            return false;
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *result = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result)
            return false;
        address = reinterpret_cast<const sockaddr_in *>(result->ai_addr)->sin_addr;
        freeaddrinfo(result);
    }
    AddressRecord record;
    record.family = ADDRESS_FAMILY_INET;
    record.address = address.s_addr;
    // No port: the protocol's default, written out so the record compares equal with
    // the peer address a connection reports.
    record.port = htons(port ? port : DEFAULT_DEVICE_PORT);
    *out = record;
    return true;
}

}  // namespace

AddressRecord MakeAddressRecord(uint32_t host_address, uint16_t host_port)
{
    AddressRecord record;
    record.family = ADDRESS_FAMILY_INET;
    record.port = htons(host_port);
    record.address = htonl(host_address);
    return record;
}

uint32_t AddressRecordHostAddress(const AddressRecord &record) { return ntohl(record.address); }
uint16_t AddressRecordHostPort(const AddressRecord &record) { return ntohs(record.port); }

bool ParseDeviceAddress(const char *text, AddressRecord *out) { return ParseAddress(text, out, true); }
bool ParseDeviceAddressNumeric(const char *text, AddressRecord *out) { return ParseAddress(text, out, false); }
