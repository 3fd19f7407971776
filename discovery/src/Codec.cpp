// Discovery datagrams: the 45-byte request and the 55-byte reply, big-endian, read
// and written only through bounds-checked cursors.
#include <discovery/Discovery.h>

#include <ambry/ByteCursor.h>
#include <ambry/Net.h>

#include <cstring>

namespace {

constexpr uint8_t kRequestType = 0;
constexpr uint8_t kReplyType = 1;
constexpr size_t kTextSize = 32;

}  // namespace

void BuildDiscoveryRequest(uint32_t cookie, uint32_t device_query_a, uint32_t device_query_b,
                           const char *device_query_text, uint8_t out[DISCOVERY_REQUEST_SIZE])
{
    Ambry::BigEndianWriter w(out, DISCOVERY_REQUEST_SIZE);
    w.U8(kRequestType);
    w.U32(cookie);
    w.U32(device_query_a);
    w.U32(device_query_b);
    w.Text(device_query_text, kTextSize);
}

void BuildDiscoveryReply(uint32_t cookie, const DiscoveryRecord &record, uint8_t out[DISCOVERY_REPLY_SIZE])
{
    Ambry::BigEndianWriter w(out, DISCOVERY_REPLY_SIZE);
    w.U8(kReplyType);
    w.U32(cookie);
    w.U32(record.device_type);
    w.U32(record.device_word);
    w.Text(record.serial_number, kTextSize);
    w.U16(record.device_value1);
    w.U16(record.device_value2);
    w.U16(record.device_value3);
    w.U16(record.port);
    w.U16(record.device_value4);
}

bool ParseDiscoveryReply(const uint8_t *data, size_t size, uint32_t cookie, uint32_t source_address,
                         DiscoveryRecord *out)
{
    if (!data || !out)
        return false;
    Ambry::BigEndianReader r(data, size);
    uint8_t type = 0;
    uint32_t reply_cookie = 0;
    if (!r.U8(type) || type != kReplyType || !r.U32(reply_cookie) || reply_cookie != cookie)
        return false;
    DiscoveryRecord rec;
    rec.address = source_address;
    if (!r.U32(rec.device_type) || !r.U32(rec.device_word) || !r.Bytes(rec.serial_number, kTextSize) ||
        !r.U16(rec.device_value1) || !r.U16(rec.device_value2) || !r.U16(rec.device_value3) ||
        !r.U16(rec.port) || !r.U16(rec.device_value4))
        return false;
    rec.serial_number[kTextSize] = '\0';
    *out = rec;
    return true;
}

std::string FormatDiscoveredAddress(uint32_t address, uint16_t port)
{
    char quad[16];
    Ambry::FormatIPv4(address, quad);
    std::string text = quad;
    if (port != 0 && port != DISCOVERY_PORT)
        text += ":" + std::to_string(port);
    return text;
}
