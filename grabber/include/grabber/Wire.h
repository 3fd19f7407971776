// The grabber protocol's framed wire format: message kinds, request and event
// codes, bounds-checked big-endian readers and writers, and the codecs of every
// payload and record. Used by the client library and by the appliance simulator.
//
// Frame: length (u32, bytes after the kind field), kind (u32), then
//   request: id (u32), type (u32), payload (length - 8)
//   reply:   id (u32), status (u8), payload (length - 5)
//   event:   code (u32), payload (length - 4)
// Every integer is big-endian.
#pragma once

#include "grabber/Records.h"

#include <ambry/ByteCursor.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Grabber {

enum FrameKind : uint32_t { KIND_REQUEST = 0, KIND_REPLY = 1, KIND_EVENT = 2 };

// Fixed bytes after the kind field, per kind.
constexpr uint32_t kRequestFixedBytes = 8;
constexpr uint32_t kReplyFixedBytes = 5;
constexpr uint32_t kEventFixedBytes = 4;

// Request types, both directions.
enum RequestType : uint32_t {
    REQ_HELLO = 0,            // device → client
    REQ_LOGIN_CHALLENGE = 1,  // device → client
    REQ_SET_CROP = 2,
    REQ_STOP_STREAM = 7,
    REQ_QUERY_STATE = 8,
    REQ_DETECT_MODE = 9,
    REQ_GET_ADJUSTMENTS = 10,
    REQ_SET_ADJUSTMENTS = 11,
    REQ_GET_SERIAL = 12,
    REQ_GET_PARAM = 13,
    REQ_SET_PARAM = 14,
    REQ_SET_FORMAT = 15,
    REQ_GRAB = 16,
    REQ_GET_TYPE = 17,
    REQ_SET_RATE = 18,
    REQ_PING = 19,  // both directions
    REQ_LOGIN_START = 20,
    REQ_LOGIN_RESULT = 21,
    REQ_GET_PARAM_WITH = 22,
    REQ_GET_MODES = 23,
    REQ_SET_MODES = 24,
    REQ_POST_BLOCK = 25,
    REQ_GET_DEV_NAME = 26,
    REQ_SET_DEV_NAME = 27,
    REQ_START_AUDIO = 29,
    REQ_STOP_AUDIO = 30,
};

// Reply status bytes.
enum ReplyStatus : uint8_t {
    STATUS_OK = 0,
    STATUS_UNEXPECTED_CHALLENGE = 1,
    STATUS_UNKNOWN_REQUEST = 3,
};

// Event codes (kind 2).
enum EventCode : uint32_t {
    EVT_GRAB_STATE = 0,
    EVT_VIDEO_MODE = 1,
    EVT_FRAME = 2,
    EVT_AUDIO_DATA = 5,
    EVT_AUDIO_FORMAT = 6,
    EVT_AUDIO_STOPPED = 7,
};

// Grab states: the byte of the state reply (requests 8 and 9) and of event 0.
enum GrabState : uint8_t {
    GRAB_STATE_NONE = 0,      // the connection is lost (the library's own value)
    GRAB_STATE_IDLE = 1,      // nothing grabbed since the device was opened
    GRAB_STATE_GRABBING = 3,  // the device captures: frames can come from a stream
};

// Capability flags of Hello.
enum : uint32_t {
    CAP_NO_LOGIN = 0x1,
    CAP_NO_USER_NAME = 0x2,
    CAP_FAMILY_3 = 0x8,
    CAP_AUDIO = 0x10,
};


// Size limits that protect a reader from hostile length fields. A message over its
// limit ends the connection; nothing is allocated for it.
constexpr uint32_t kMaxControlPayload = 1u << 20;            // every non-image message
constexpr uint32_t kMaxImageBytes = 4096u * 4096u * 4u;      // the largest picture accepted
constexpr uint32_t kMaxChallengeBytes = 1024;
constexpr uint32_t kFrameHeaderBytes = 32;  // frame event: format, mode, rectangle
constexpr uint32_t kGrabHeaderBytes = 36;   // grab reply: frame header and status

// Next request id of a per-connection counter: 1, 2, ..., 0xFFFFFFFF, 1, ... never 0.
inline uint32_t NextRequestId(uint32_t &counter)
{
    if (++counter == 0)
        counter = 1;
    return counter;
}

// Payloads are read and written only through the bounds-checked big-endian cursors:
// a reader over a payload in memory or on a connection's receive side (an
// InputStream), a writer appending to a message's bytes.
using InputStream = Ambry::InputStream;
using PayloadReader = Ambry::BigEndianReader;
using PayloadWriter = Ambry::BigEndianWriter;

// One whole frame being built: the header is written first, the payload appended,
// Finish() fills in the length field.
class MessageBuilder {
public:
    static MessageBuilder Request(uint32_t id, uint32_t type);
    static MessageBuilder Reply(uint32_t id, uint8_t status);
    static MessageBuilder Event(uint32_t code);

    PayloadWriter &Payload() { return m_writer; }
    // Bytes of the finished frame.
    const std::vector<uint8_t> &Finish();
    std::vector<uint8_t> Take() { Finish(); return std::move(m_bytes); }

    MessageBuilder(MessageBuilder &&other) noexcept : m_bytes(std::move(other.m_bytes)), m_writer(m_bytes) {}
    MessageBuilder &operator=(MessageBuilder &&other) noexcept
    {
        m_bytes = std::move(other.m_bytes);
        return *this;
    }
    MessageBuilder(const MessageBuilder &) = delete;

private:
    MessageBuilder() : m_writer(m_bytes) {}
    std::vector<uint8_t> m_bytes;
    PayloadWriter m_writer;
};

// The greeting that a device sends first (request 0).
struct HelloInfo {
    uint32_t reserved = 0;
    uint32_t capabilities = 0;
    uint16_t version[3] = {};
    uint8_t status = 0;
    uint8_t extra = 0;
};
void EncodeHello(PayloadWriter &w, const HelloInfo &hello);
bool DecodeHello(PayloadReader &r, HelloInfo &hello);  // also false when status != 0
void EncodeHelloAnswer(PayloadWriter &w);               // u16 1, u16 0, u8 1

// Video mode and grab-state: replies of requests 8 and 9 (at least 13 bytes).
void EncodeState(PayloadWriter &w, const VideoMode &mode, uint8_t grab_state);
bool DecodeState(PayloadReader &r, VideoMode &mode, uint8_t &grab_state);
void EncodeVideoMode(PayloadWriter &w, const VideoMode &mode);
bool DecodeVideoMode(PayloadReader &r, VideoMode &mode);

// Adjustment block (reply of request 10, 82 bytes) and record (request 11, 38 bytes).
constexpr size_t kAdjustmentBlockBytes = 82;
constexpr size_t kAdjustmentRecordBytes = 38;
void EncodeAdjustmentBlock(PayloadWriter &w, const VideoAdjustments &adj, const AdjustmentRanges &ranges);
bool DecodeAdjustmentBlock(PayloadReader &r, VideoAdjustments &adj, AdjustmentRanges &ranges);
void EncodeAdjustmentRecord(PayloadWriter &w, const VideoAdjustments &adj);
bool DecodeAdjustmentRecord(PayloadReader &r, VideoAdjustments &adj);

// Serial number: 32 bytes of text; out gets them NUL-terminated (33 bytes).
constexpr size_t kSerialBytes = 32;
bool DecodeSerial(PayloadReader &r, char out[kSerialBytes + 1]);

// Parameter value types (the wire encoding of a value).
enum ParamType : uint8_t {
    PT_NONE = 0,  // not supported
    PT_U16 = 1,
    PT_U32 = 2,
    PT_U8 = 3,
    PT_QUAD = 6,
    PT_BYTES_256 = 7,
    PT_BYTES_128 = 8,
    PT_TIMING = 9,
    PT_INDEXED_MODE = 10,
    PT_TEXT = 11,
    PT_U32_B = 15,
    PT_BYTES_8 = 17,
    PT_MODE = 20,
};

// The parameter identifiers the library itself acts on. Every other identifier's
// meaning lies with the device: the library moves its value and nothing more.
enum ParameterId : uint32_t {
    PARAM_CUSTOM_MODE = 14,   // one custom mode slot: u32 index, then a mode entry
    PARAM_PRODUCT_NAME = 18,  // the product's name, text
};

// One row of the parameter table.
struct ParameterInfo {
    uint32_t id;
    ParamType type;    // PT_NONE: reads are asked but fail, writes fail unsent
    bool cached;       // a handle keeps the first answer and serves it afterwards
    const char *name;  // "device-defined" where the meaning lies with the device
};

// Identifiers 0 to 27, in order; identifiers past the table are not supported.
constexpr uint32_t kParameterCount = 28;
extern const ParameterInfo kParameterTable[kParameterCount];

// The table's row for an identifier; none past the table.
const ParameterInfo *FindParameter(uint32_t id);
// The value type of an identifier (PT_NONE when not supported).
uint8_t ParamTypeOf(uint32_t id);
// Whether a handle caches the identifier's answer.
bool IsCachedParameter(uint32_t id);
// Encodes value (host layout, see Parameter) for a type; false for an unknown type.
bool EncodeParamValue(PayloadWriter &w, uint8_t type, const uint8_t value[256]);
// Decodes a value of the given type into host layout (value is zeroed first).
bool DecodeParamValue(PayloadReader &r, uint8_t type, uint8_t value[256]);

// Mode entries.
constexpr size_t kModeEntryBytes = 24;
void EncodeModeEntry(PayloadWriter &w, const ModeEntry &entry);
bool DecodeModeEntry(PayloadReader &r, ModeEntry &entry);

// Reply of request 15.
struct FormatReply {
    uint8_t result = 0;
    uint32_t values[3] = {};
    uint8_t extra = 0;
};
void EncodeFormatReply(PayloadWriter &w, const FormatReply &reply);
bool DecodeFormatReply(PayloadReader &r, FormatReply &reply);

// Picture header of a frame event (32 bytes) and of a grab reply (36 bytes: + status).
struct FrameHeader {
    uint32_t format = 0;
    VideoMode mode;
    CropRect rect;
    uint32_t status = 0;
};
void EncodeFrameHeader(PayloadWriter &w, const FrameHeader &h, bool with_status);
bool DecodeFrameHeader(PayloadReader &r, FrameHeader &h, bool with_status);
void EncodeCrop(PayloadWriter &w, const CropRect &crop);
bool DecodeCrop(PayloadReader &r, CropRect &crop);

// Rate values travel as unsigned 16.16 fixed point.
uint32_t RateToFixed(double value);
double RateFromFixed(uint32_t fixed);

// Audio format: tag, size, two u8, u16, u32 (12 bytes with tag 0 and size 8).
void EncodeAudioFormat(PayloadWriter &w, const AudioFormat &format);
// A tag other than 0 skips size bytes and leaves format absent (id -1); true unless
// the payload is cut short.
bool DecodeAudioFormat(PayloadReader &r, AudioFormat &format);

// Login digests (MD5). Password digest: MD5 of the password bytes (absent: of no
// bytes). Response: MD5(challenge || password digest || user name).
void PasswordDigest(const char *password, uint8_t out[16]);
void LoginResponseDigest(const uint8_t *challenge, size_t challenge_size, const uint8_t password_digest[16],
                         const char *user, uint8_t out[16]);

}  // namespace Grabber
