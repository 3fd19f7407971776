// Codecs of the grabber protocol's frames, payloads and records.
#include "grabber/Wire.h"

#include <ambry/Md5.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace Grabber {

// ---- Frames ------------------------------------------------------------------

MessageBuilder MessageBuilder::Request(uint32_t id, uint32_t type)
{
    MessageBuilder b;
    b.m_writer.U32(0);
    b.m_writer.U32(KIND_REQUEST);
    b.m_writer.U32(id);
    b.m_writer.U32(type);
    return b;
}

MessageBuilder MessageBuilder::Reply(uint32_t id, uint8_t status)
{
    MessageBuilder b;
    b.m_writer.U32(0);
    b.m_writer.U32(KIND_REPLY);
    b.m_writer.U32(id);
    b.m_writer.U8(status);
    return b;
}

MessageBuilder MessageBuilder::Event(uint32_t code)
{
    MessageBuilder b;
    b.m_writer.U32(0);
    b.m_writer.U32(KIND_EVENT);
    b.m_writer.U32(code);
    return b;
}

const std::vector<uint8_t> &MessageBuilder::Finish()
{
    uint32_t length = static_cast<uint32_t>(m_bytes.size() - 8);
    m_bytes[0] = uint8_t(length >> 24);
    m_bytes[1] = uint8_t(length >> 16);
    m_bytes[2] = uint8_t(length >> 8);
    m_bytes[3] = uint8_t(length);
    return m_bytes;
}

// ---- Hello ------------------------------------------------------------------

void EncodeHello(PayloadWriter &w, const HelloInfo &hello)
{
    w.U32(hello.reserved);
    w.U32(hello.capabilities);
    for (uint16_t v : hello.version)
        w.U16(v);
    w.U8(hello.status);
    w.U8(hello.extra);
}

bool DecodeHello(PayloadReader &r, HelloInfo &hello)
{
    if (!r.U32(hello.reserved) || !r.U32(hello.capabilities))
        return false;
    for (uint16_t &v : hello.version)
        if (!r.U16(v))
            return false;
    if (!r.U8(hello.status) || !r.U8(hello.extra))
        return false;
    return hello.status == 0;
}

void EncodeHelloAnswer(PayloadWriter &w)
{
    w.U16(1);
    w.U16(0);
    w.U8(1);
}

// ---- Modes and state ------------------------------------------------------------

void EncodeVideoMode(PayloadWriter &w, const VideoMode &mode)
{
    w.U32(static_cast<uint32_t>(mode.width));
    w.U32(static_cast<uint32_t>(mode.height));
    w.U32(static_cast<uint32_t>(mode.refresh_mhz));
}

bool DecodeVideoMode(PayloadReader &r, VideoMode &mode)
{
    return r.I32(mode.width) && r.I32(mode.height) && r.I32(mode.refresh_mhz);
}

void EncodeState(PayloadWriter &w, const VideoMode &mode, uint8_t grab_state)
{
    EncodeVideoMode(w, mode);
    w.U8(grab_state);
}

bool DecodeState(PayloadReader &r, VideoMode &mode, uint8_t &grab_state)
{
    if (r.Remaining() < 13) {
        r.Fail();
        return false;
    }
    return DecodeVideoMode(r, mode) && r.U8(grab_state);
}

// ---- Adjustments --------------------------------------------------------------

void EncodeAdjustmentBlock(PayloadWriter &w, const VideoAdjustments &adj, const AdjustmentRanges &ranges)
{
    auto u32s = [&](int32_t v) { w.U32(static_cast<uint32_t>(v)); };
    w.U32(ranges.leading);
    w.U32(ranges.valid_mask);
    w.U32(adj.flags);
    u32s(ranges.hshift_min);
    u32s(ranges.hshift_max);
    u32s(adj.hshift);
    u32s(ranges.vshift_min);
    u32s(ranges.vshift_max);
    u32s(adj.vshift);
    u32s(ranges.pll_min);
    u32s(ranges.pll_max);
    u32s(adj.pll);
    w.U32(adj.grab_flags);
    w.U32(adj.grab_flag_mask);
    w.U16(static_cast<uint16_t>(ranges.phase_min));
    w.U16(static_cast<uint16_t>(ranges.phase_max));
    w.U16(adj.phase);
    w.U16(static_cast<uint16_t>(ranges.gain_min));
    w.U16(static_cast<uint16_t>(ranges.gain_max));
    for (uint8_t g : adj.gain)
        w.U16(g);
    w.U16(static_cast<uint16_t>(ranges.offset_min));
    w.U16(static_cast<uint16_t>(ranges.offset_max));
    for (uint8_t o : adj.offset)
        w.U16(o);
}

namespace {

// An adjustment layout: Words 32-bit fields, then Halves 16-bit fields, read
// whole or not at all.
template <size_t Words, size_t Halves>
bool ReadAdjustmentFields(PayloadReader &r, uint32_t (&v)[Words], uint16_t (&s)[Halves])
{
    if (r.Remaining() < Words * 4 + Halves * 2) {
        r.Fail();
        return false;
    }
    for (uint32_t &x : v)
        r.U32(x);
    for (uint16_t &x : s)
        r.U16(x);
    return !r.Failed();
}

}  // namespace

bool DecodeAdjustmentBlock(PayloadReader &r, VideoAdjustments &adj, AdjustmentRanges &ranges)
{
    uint32_t v[14];
    uint16_t s[13];
    static_assert(sizeof v + sizeof s == kAdjustmentBlockBytes);
    if (!ReadAdjustmentFields(r, v, s))
        return false;
    auto lo16 = [](uint32_t x) { return static_cast<int16_t>(x & 0xFFFF); };
    ranges.leading = v[0];
    ranges.valid_mask = v[1];
    adj.flags = v[2];
    ranges.hshift_min = lo16(v[3]);
    ranges.hshift_max = lo16(v[4]);
    adj.hshift = static_cast<int32_t>(v[5]);
    ranges.vshift_min = lo16(v[6]);
    ranges.vshift_max = lo16(v[7]);
    adj.vshift = static_cast<int32_t>(v[8]);
    ranges.pll_min = lo16(v[9]);
    ranges.pll_max = lo16(v[10]);
    adj.pll = static_cast<int32_t>(v[11]);
    adj.grab_flags = v[12];
    adj.grab_flag_mask = v[13];
    ranges.phase_min = static_cast<int16_t>(s[0]);
    ranges.phase_max = static_cast<int16_t>(s[1]);
    adj.phase = static_cast<uint8_t>(s[2]);
    ranges.gain_min = static_cast<int16_t>(s[3]);
    ranges.gain_max = static_cast<int16_t>(s[4]);
    for (int i = 0; i < 3; ++i)
        adj.gain[i] = static_cast<uint8_t>(s[5 + i]);
    ranges.offset_min = static_cast<int16_t>(s[8]);
    ranges.offset_max = static_cast<int16_t>(s[9]);
    for (int i = 0; i < 3; ++i)
        adj.offset[i] = static_cast<uint8_t>(s[10 + i]);
    return true;
}

void EncodeAdjustmentRecord(PayloadWriter &w, const VideoAdjustments &adj)
{
    w.U32(adj.flags);
    w.U32(static_cast<uint32_t>(adj.hshift));
    w.U32(static_cast<uint32_t>(adj.vshift));
    w.U32(static_cast<uint32_t>(adj.pll));
    w.U32(adj.grab_flags);
    w.U32(adj.grab_flag_mask);
    w.U16(adj.phase);
    for (uint8_t g : adj.gain)
        w.U16(g);
    for (uint8_t o : adj.offset)
        w.U16(o);
}

bool DecodeAdjustmentRecord(PayloadReader &r, VideoAdjustments &adj)
{
    uint32_t v[6];
    uint16_t s[7];
    static_assert(sizeof v + sizeof s == kAdjustmentRecordBytes);
    if (!ReadAdjustmentFields(r, v, s))
        return false;
    adj.flags = v[0];
    adj.hshift = static_cast<int32_t>(v[1]);
    adj.vshift = static_cast<int32_t>(v[2]);
    adj.pll = static_cast<int32_t>(v[3]);
    adj.grab_flags = v[4];
    adj.grab_flag_mask = v[5];
    adj.phase = static_cast<uint8_t>(s[0]);
    for (int i = 0; i < 3; ++i) {
        adj.gain[i] = static_cast<uint8_t>(s[1 + i]);
        adj.offset[i] = static_cast<uint8_t>(s[4 + i]);
    }
    return true;
}

// ---- Serial ---------------------------------------------------------------------

bool DecodeSerial(PayloadReader &r, char out[kSerialBytes + 1])
{
    std::memset(out, 0, kSerialBytes + 1);
    if (r.Remaining() < kSerialBytes) {
        r.Fail();
        return false;
    }
    return r.Bytes(out, kSerialBytes);
}

// ---- Parameters -----------------------------------------------------------------

namespace {
constexpr const char *kDeviceDefined = "device-defined";
}  // namespace

constexpr ParameterInfo kParameterTable[kParameterCount] = {
    {0, PT_U16, true, kDeviceDefined},
    {1, PT_U32, true, kDeviceDefined},
    {2, PT_NONE, false, kDeviceDefined},
    {3, PT_U32, false, kDeviceDefined},
    {4, PT_NONE, false, kDeviceDefined},
    {5, PT_BYTES_256, false, kDeviceDefined},
    {6, PT_U32, false, kDeviceDefined},
    {7, PT_U32, false, kDeviceDefined},
    {8, PT_U8, true, kDeviceDefined},
    {9, PT_TIMING, false, kDeviceDefined},
    {10, PT_QUAD, true, kDeviceDefined},
    {11, PT_BYTES_128, false, kDeviceDefined},
    {12, PT_U32, false, kDeviceDefined},
    {13, PT_U8, true, kDeviceDefined},
    {PARAM_CUSTOM_MODE, PT_INDEXED_MODE, false, "custom mode slot"},
    {15, PT_MODE, false, kDeviceDefined},
    {16, PT_U32, false, kDeviceDefined},
    {17, PT_U8, true, kDeviceDefined},
    {PARAM_PRODUCT_NAME, PT_TEXT, true, "product name"},
    {19, PT_U32_B, false, kDeviceDefined},
    {20, PT_BYTES_8, false, kDeviceDefined},
    {21, PT_TEXT, true, kDeviceDefined},
    {22, PT_U32_B, false, kDeviceDefined},
    {23, PT_U32, false, kDeviceDefined},
    {24, PT_U32, false, kDeviceDefined},
    {25, PT_NONE, false, kDeviceDefined},
    {26, PT_NONE, false, kDeviceDefined},
    {27, PT_U32_B, true, kDeviceDefined},
};

namespace {
constexpr bool RowsInIdOrder()
{
    for (uint32_t i = 0; i < kParameterCount; ++i)
        if (kParameterTable[i].id != i)
            return false;
    return true;
}
static_assert(RowsInIdOrder(), "the parameter table is indexed by identifier");
}  // namespace

const ParameterInfo *FindParameter(uint32_t id)
{
    return id < kParameterCount ? &kParameterTable[id] : nullptr;
}

uint8_t ParamTypeOf(uint32_t id)
{
    const ParameterInfo *info = FindParameter(id);
    return info ? info->type : PT_NONE;
}

bool IsCachedParameter(uint32_t id)
{
    const ParameterInfo *info = FindParameter(id);
    return info && info->cached;
}

namespace {

template <class T>
T LoadHost(const uint8_t *p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
void StoreHost(uint8_t *p, T v)
{
    std::memcpy(p, &v, sizeof v);
}

// Host layout of a mode entry inside a parameter value.
void StoreModeEntry(uint8_t *p, const ModeEntry &e) { std::memcpy(p, &e, sizeof e); }
ModeEntry LoadModeEntry(const uint8_t *p)
{
    ModeEntry e;
    std::memcpy(&e, p, sizeof e);
    return e;
}

}  // namespace

bool EncodeParamValue(PayloadWriter &w, uint8_t type, const uint8_t value[256])
{
    switch (type) {
    case PT_U16:
        w.U16(LoadHost<uint16_t>(value));
        return true;
    case PT_U32:
    case PT_U32_B:
        w.U32(LoadHost<uint32_t>(value));
        return true;
    case PT_U8:
        w.U8(value[0]);
        return true;
    case PT_BYTES_256:
        w.Bytes(value, 256);
        return true;
    case PT_BYTES_128:
        w.Bytes(value, 128);
        return true;
    case PT_BYTES_8:
        w.Bytes(value, 8);
        return true;
    case PT_TIMING:
        w.U32(LoadHost<uint32_t>(value));
        w.U32(LoadHost<uint32_t>(value + 4));
        for (int i = 0; i < 12; ++i)
            w.U16(LoadHost<uint16_t>(value + 8 + 2 * i));
        return true;
    case PT_QUAD:
        for (int i = 0; i < 4; ++i)
            w.U32(LoadHost<uint32_t>(value + 4 * i));
        return true;
    case PT_INDEXED_MODE:
        w.U32(LoadHost<uint32_t>(value));
        EncodeModeEntry(w, LoadModeEntry(value + 4));
        return true;
    case PT_MODE:
        EncodeModeEntry(w, LoadModeEntry(value));
        return true;
    case PT_TEXT: {
        size_t n = strnlen(reinterpret_cast<const char *>(value), 255);
        w.Bytes(value, n);
        return true;
    }
    default:
        return false;
    }
}

bool DecodeParamValue(PayloadReader &r, uint8_t type, uint8_t value[256])
{
    std::memset(value, 0, 256);
    switch (type) {
    case PT_U16: {
        uint16_t v;
        if (!r.U16(v))
            return false;
        StoreHost(value, v);
        return true;
    }
    case PT_U32:
    case PT_U32_B: {
        uint32_t v;
        if (!r.U32(v))
            return false;
        StoreHost(value, v);
        return true;
    }
    case PT_U8:
        return r.U8(value[0]);
    case PT_BYTES_256:
        return r.Bytes(value, 256);
    case PT_BYTES_128:
        return r.Bytes(value, 128);
    case PT_BYTES_8:
        return r.Bytes(value, 8);
    case PT_TIMING: {
        uint32_t a, b;
        if (!r.U32(a) || !r.U32(b))
            return false;
        StoreHost(value, a);
        StoreHost(value + 4, b);
        for (int i = 0; i < 12; ++i) {
            uint16_t v;
            if (!r.U16(v))
                return false;
            StoreHost(value + 8 + 2 * i, v);
        }
        return true;
    }
    case PT_QUAD:
        for (int i = 0; i < 4; ++i) {
            uint32_t v;
            if (!r.U32(v))
                return false;
            StoreHost(value + 4 * i, v);
        }
        return true;
    case PT_INDEXED_MODE: {
        uint32_t index;
        ModeEntry e;
        if (!r.U32(index) || !DecodeModeEntry(r, e))
            return false;
        StoreHost(value, index);
        StoreModeEntry(value + 4, e);
        return true;
    }
    case PT_MODE: {
        ModeEntry e;
        if (!DecodeModeEntry(r, e))
            return false;
        StoreModeEntry(value, e);
        return true;
    }
    case PT_TEXT: {
        size_t n = std::min<size_t>(r.Remaining(), 255);
        return r.Bytes(value, n);  // value[n] stays 0
    }
    default:
        return false;
    }
}

void EncodeModeEntry(PayloadWriter &w, const ModeEntry &entry)
{
    w.U32(entry.head);
    for (uint16_t v : entry.values)
        w.U16(v);
    w.U32(entry.flags);
}

bool DecodeModeEntry(PayloadReader &r, ModeEntry &entry)
{
    if (!r.U32(entry.head))
        return false;
    for (uint16_t &v : entry.values)
        if (!r.U16(v))
            return false;
    return r.U32(entry.flags);
}

// ---- Formats, frames, rates, audio ----------------------------------------------

void EncodeFormatReply(PayloadWriter &w, const FormatReply &reply)
{
    w.U8(reply.result);
    for (uint32_t v : reply.values)
        w.U32(v);
    w.U8(reply.extra);
}

bool DecodeFormatReply(PayloadReader &r, FormatReply &reply)
{
    if (r.Remaining() < 14) {
        r.Fail();
        return false;
    }
    r.U8(reply.result);
    for (uint32_t &v : reply.values)
        r.U32(v);
    r.U8(reply.extra);
    return !r.Failed();
}

void EncodeCrop(PayloadWriter &w, const CropRect &crop)
{
    w.U32(crop.left);
    w.U32(crop.top);
    w.U32(crop.width);
    w.U32(crop.height);
}

bool DecodeCrop(PayloadReader &r, CropRect &crop)
{
    return r.U32(crop.left) && r.U32(crop.top) && r.U32(crop.width) && r.U32(crop.height);
}

void EncodeFrameHeader(PayloadWriter &w, const FrameHeader &h, bool with_status)
{
    w.U32(h.format);
    EncodeVideoMode(w, h.mode);
    EncodeCrop(w, h.rect);
    if (with_status)
        w.U32(h.status);
}

bool DecodeFrameHeader(PayloadReader &r, FrameHeader &h, bool with_status)
{
    size_t need = with_status ? kGrabHeaderBytes : kFrameHeaderBytes;
    if (r.Remaining() < need) {
        r.Fail();
        return false;
    }
    if (!r.U32(h.format) || !DecodeVideoMode(r, h.mode) || !DecodeCrop(r, h.rect))
        return false;
    h.status = 0;
    return !with_status || r.U32(h.status);
}

uint32_t RateToFixed(double value)
{
    if (!(value > 0))
        return 0;
    double fixed = std::floor(value * 65536.0 + 0.5);
    if (fixed >= 4294967295.0)
        return 0xFFFFFFFFu;
    return static_cast<uint32_t>(fixed);
}

double RateFromFixed(uint32_t fixed) { return fixed / 65536.0; }

void EncodeAudioFormat(PayloadWriter &w, const AudioFormat &format)
{
    w.U16(0);
    w.U16(8);
    w.U8(format.channels);
    w.U8(format.bits);
    w.U16(format.block);
    w.U32(format.rate);
}

bool DecodeAudioFormat(PayloadReader &r, AudioFormat &format)
{
    format = AudioFormat{};
    uint16_t tag, size;
    if (!r.U16(tag) || !r.U16(size))
        return false;
    if (tag != 0) {
        format.id = -1;
        return r.Skip(size);
    }
    if (!r.U8(format.channels) || !r.U8(format.bits) || !r.U16(format.block) || !r.U32(format.rate))
        return false;
    format.tag = tag;
    format.size = size;
    format.id = 0;
    return true;
}

// ---- Digests -------------------------------------------------------------------

void PasswordDigest(const char *password, uint8_t out[16])
{
    const char *p = password ? password : "";
    if (!Ambry::Md5(p, std::strlen(p), out))
        std::memset(out, 0, 16);
}

void LoginResponseDigest(const uint8_t *challenge, size_t challenge_size, const uint8_t password_digest[16],
                         const char *user, uint8_t out[16])
{
    const char *u = user ? user : "";
    Ambry::CMd5 md5;
    bool ok = md5.Reset() && md5.Update(challenge, challenge_size) && md5.Update(password_digest, 16) &&
              md5.Update(u, std::strlen(u)) && md5.Final(out);
    if (!ok)
        std::memset(out, 0, 16);
}

}  // namespace Grabber
