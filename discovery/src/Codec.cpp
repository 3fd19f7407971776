// Discovery datagrams: the 45-byte request and the 55-byte reply, big-endian, read
// and written only through bounds-checked cursors.
#include <discovery/Discovery.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kRequestType = 0;
constexpr uint8_t kReplyType = 1;
constexpr size_t kTextSize = 32;

class Writer {
public:
    Writer(uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    void U8(uint8_t v) { Put(&v, 1); }
    void U16(uint16_t v)
    {
        const uint8_t b[2] = {uint8_t(v >> 8), uint8_t(v)};
        Put(b, 2);
    }
    void U32(uint32_t v)
    {
        const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
        Put(b, 4);
    }
    // A text field of `size` bytes: at most `size` bytes of the text, zero padding, no
    // terminator when the text fills the field.
    void Text(const char *text, size_t size)
    {
        uint8_t field[kTextSize] = {};
        if (text)
            std::memcpy(field, text, strnlen(text, size));
        Put(field, size);
    }

private:
    void Put(const uint8_t *b, size_t n)
    {
        if (n > m_size - m_pos)
            return;
        std::memcpy(m_data + m_pos, b, n);
        m_pos += n;
    }
    uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

class Reader {
public:
    Reader(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool U8(uint8_t *v) { return Get(v, 1); }
    bool U16(uint16_t *v)
    {
        uint8_t b[2];
        if (!Get(b, 2))
            return false;
        *v = uint16_t(b[0] << 8 | b[1]);
        return true;
    }
    bool U32(uint32_t *v)
    {
        uint8_t b[4];
        if (!Get(b, 4))
            return false;
        *v = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
        return true;
    }
    bool Bytes(void *out, size_t n) { return Get(static_cast<uint8_t *>(out), n); }

private:
    bool Get(uint8_t *out, size_t n)
    {
        if (n > m_size - m_pos)
            return false;
        std::memcpy(out, m_data + m_pos, n);
        m_pos += n;
        return true;
    }
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

uint16_t EffectivePort(uint16_t port) { return port ? port : DISCOVERY_PORT; }

}  // namespace

void BuildDiscoveryRequest(uint32_t cookie, uint32_t parameter_a, uint32_t parameter_b, const char *text,
                           uint8_t out[DISCOVERY_REQUEST_SIZE])
{
    Writer w(out, DISCOVERY_REQUEST_SIZE);
    w.U8(kRequestType);
    w.U32(cookie);
    w.U32(parameter_a);
    w.U32(parameter_b);
    w.Text(text, kTextSize);
}

void BuildDiscoveryReply(uint32_t cookie, const DiscoveryRecord &record, uint8_t out[DISCOVERY_REPLY_SIZE])
{
    Writer w(out, DISCOVERY_REPLY_SIZE);
    w.U8(kReplyType);
    w.U32(cookie);
    w.U32(record.device_type);
    w.U32(record.reply_word_b);
    w.Text(record.serial_number, kTextSize);
    w.U16(record.reply_value1);
    w.U16(record.reply_value2);
    w.U16(record.reply_value3);
    w.U16(record.port);
    w.U16(record.reply_value4);
}

bool ParseDiscoveryReply(const uint8_t *data, size_t size, uint32_t cookie, uint32_t source_address,
                         DiscoveryRecord *out)
{
    if (!data || !out)
        return false;
    Reader r(data, size);
    uint8_t type = 0;
    uint32_t reply_cookie = 0;
    if (!r.U8(&type) || type != kReplyType || !r.U32(&reply_cookie) || reply_cookie != cookie)
        return false;
    DiscoveryRecord rec;
    rec.address = source_address;
    if (!r.U32(&rec.device_type) || !r.U32(&rec.reply_word_b) || !r.Bytes(rec.serial_number, kTextSize) ||
        !r.U16(&rec.reply_value1) || !r.U16(&rec.reply_value2) || !r.U16(&rec.reply_value3) ||
        !r.U16(&rec.port) || !r.U16(&rec.reply_value4))
        return false;
    rec.serial_number[kTextSize] = '\0';
    *out = rec;
    return true;
}

std::string FormatDiscoveredAddress(uint32_t address, uint16_t port)
{
    char text[32];
    int n = std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                          (address >> 8) & 0xFF, address & 0xFF);
    if (port != 0 && port != DISCOVERY_PORT)
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ":%hu", port);
    return text;
}

DiscoveryMergeResult MergeDiscoveryRecord(CDiscoveryMergeTarget &target, const DiscoveryRecord &record)
{
    char serial[sizeof record.serial_number];
    std::memcpy(serial, record.serial_number, sizeof serial);
    serial[sizeof serial - 1] = '\0';

    if (void *device = serial[0] ? target.FindBySerial(serial) : nullptr) {
        uint32_t address = 0;
        uint16_t port = 0;
        // Port 0 in a reply and in a resolved address both stand for the default port.
        if (target.GetResolvedAddress(device, &address, &port) && address == record.address &&
            EffectivePort(port) == EffectivePort(record.port))
            return MergeUnchanged;
        target.SetAddressFromRecord(device, record);
        target.MarkDirty();
        return MergeAddressChanged;
    }
    if (target.FindByAddress(record.address, record.port))
        return MergeUnchanged;
    target.AddFromRecord(record);
    return MergeAdded;
}
