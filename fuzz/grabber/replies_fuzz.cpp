// Every payload and record decoder of the grabber protocol on arbitrary bytes. The
// first byte picks the decoder; the rest is the payload.
#include <grabber/Wire.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace Grabber;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t pick = data[0];
    PayloadReader r(data + 1, size - 1);
    VideoMode mode;
    uint8_t state;
    VideoAdjustments adj;
    AdjustmentRanges ranges;
    uint8_t value[256];
    switch (pick % 12) {
    case 0:
        DecodeState(r, mode, state);
        break;
    case 1:
        DecodeAdjustmentBlock(r, adj, ranges);
        break;
    case 2:
        DecodeAdjustmentRecord(r, adj);
        break;
    case 3: {
        char serial[kSerialBytes + 1];
        if (DecodeSerial(r, serial) && serial[kSerialBytes] != 0)
            __builtin_trap();
        break;
    }
    case 4: {
        // A parameter reply: result, type, value of that type.
        uint8_t result, type;
        if (r.U8(result) && r.U8(type) && DecodeParamValue(r, type, value) && type == PT_TEXT &&
            strnlen(reinterpret_cast<char *>(value), 256) > 255)
            __builtin_trap();
        break;
    }
    case 5: {
        FrameHeader h;
        DecodeFrameHeader(r, h, (pick & 0x80) != 0);
        break;
    }
    case 6: {
        AudioFormat f;
        DecodeAudioFormat(r, f);
        break;
    }
    case 7: {
        HelloInfo hello;
        DecodeHello(r, hello);
        break;
    }
    case 8: {
        // A mode list: a whole number of entries or nothing.
        if (r.Remaining() % kModeEntryBytes != 0)
            break;
        ModeEntry e;
        while (r.Remaining() > 0)
            if (!DecodeModeEntry(r, e))
                __builtin_trap();
        break;
    }
    case 9: {
        FormatReply fr;
        DecodeFormatReply(r, fr);
        break;
    }
    case 10: {
        // Round trip: what decodes must encode to the same bytes.
        uint8_t type = static_cast<uint8_t>(pick >> 4);
        std::vector<uint8_t> wire;
        PayloadWriter w(wire);
        size_t before = r.Remaining();
        if (type != PT_TEXT && DecodeParamValue(r, type, value) && EncodeParamValue(w, type, value)) {
            if (wire.size() != before - r.Remaining() || std::memcmp(wire.data(), data + 1, wire.size()) != 0)
                __builtin_trap();
        }
        break;
    }
    default: {
        uint8_t digest[16], pwd[16];
        PasswordDigest(nullptr, pwd);
        LoginResponseDigest(data + 1, size - 1, pwd, "user", digest);
        break;
    }
    }
    return 0;
}
