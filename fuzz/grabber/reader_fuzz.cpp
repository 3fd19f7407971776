// Feeds arbitrary bytes, as if sent by a device, to a client's reader thread over a
// socket pair. The reader must answer what it understands, end the connection on
// anything malformed, and never read or allocate past what a frame may hold.
#include "Client.h"
#include <grabber/Wire.h>

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Grabber;

namespace {

bool OnEvent(Client *, uint32_t code, PayloadReader &payload, void *)
{
    VideoMode mode;
    AudioFormat format;
    uint8_t state;
    switch (code) {
    case EVT_GRAB_STATE:
        return payload.U8(state);
    case EVT_VIDEO_MODE:
        return DecodeVideoMode(payload, mode);
    case EVT_AUDIO_FORMAT:
        return DecodeAudioFormat(payload, format);
    default:
        return true;
    }
}

bool OnFrame(Client *, const FrameHeader &, PayloadReader &image, void *)
{
    // Read in pieces, as a consumer with its own buffer would.
    uint8_t chunk[4096];
    while (image.Remaining() > 0) {
        size_t take = image.Remaining() < sizeof chunk ? image.Remaining() : sizeof chunk;
        if (!image.Bytes(chunk, take))
            return false;
    }
    return true;
}

bool OnState(Client *, uint32_t, uint8_t status, uint32_t, PayloadReader &payload, void *)
{
    VideoMode mode;
    uint8_t state;
    return status != 0 || DecodeState(payload, mode, state);
}

bool OnAdjustments(Client *, uint32_t, uint8_t status, uint32_t, PayloadReader &payload, void *)
{
    VideoAdjustments a;
    AdjustmentRanges r;
    return status != 0 || DecodeAdjustmentBlock(payload, a, r);
}

const ClientCallbacks kCallbacks = {nullptr, nullptr, OnEvent, OnFrame, nullptr};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    Client *client = AttachClient(fds[0], false, &kCallbacks, nullptr);
    // Requests whose replies the input may carry (ids 1 and 2).
    AsyncRequest(client, REQ_QUERY_STATE, {}, OnState, nullptr);
    AsyncRequest(client, REQ_GET_ADJUSTMENTS, {}, OnAdjustments, nullptr);
    std::thread device([&] {
        size_t sent = 0;
        while (sent < size) {
            ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        ::shutdown(fds[1], SHUT_WR);
        char sink[4096];
        while (::recv(fds[1], sink, sizeof sink, 0) > 0) {
        }
    });
    while (!ClientClosed(client))
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    CloseClient(client);
    device.join();
    ::close(fds[1]);
    return 0;
}
