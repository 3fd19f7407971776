// The stream path: stream formats, frames arriving on the reader thread (read
// into the caller's allocator, compressed ones decoded), the bounded frame queue,
// the streaming operations, and the post-processing of delivered pictures
// (format conversion, flips and turns).
#include "NetHandle.h"

#include <imaging/Convert.h>
#include <imaging/Format.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <new>

namespace Grabber {

namespace {

uint32_t StreamFormatFor(uint32_t requested)
{
    using namespace imaging;
    switch (FormatIdOf(requested)) {
    case kRgb4: case kRgb332: case kRgb565: case kYuy2: case kPlanarYvu420: case kUyvy: case kBgr565:
    case kLuma8: case kPlanarYuv420:
        return kCompressedYuv;
    case kCompressed24: case kCompressedYuv: case kCompressedBgr24:
        return FormatIdOf(requested);
    case kBgr24:
        return kCompressedBgr24;
    default:
        return kCompressed24;
    }
}

// A stream format being set: the reply is read on the reader thread, after the
// last frame the device sent in the old format and before the first in the new one.
struct FormatChange {
    NetHandle *handle;
    uint32_t format;
    FormatReply reply;
};

int ParseFormatReply(Client *, PayloadReader &r, void *ctx)
{
    auto *change = static_cast<FormatChange *>(ctx);
    if (!DecodeFormatReply(r, change->reply))
        return 0;
    if (change->reply.result == 0) {
        // Frames still queued are of the old format: a grab must never get them.
        NetHandle *h = change->handle;
        Ambry::CLock lock(h->state_lock);
        if (h->active_format != change->format)
            DiscardQueueLocked(h);
        h->active_format = change->format;
    }
    return 1;
}

// Converts a streamed frame to the requested format; false when it cannot.
bool ConvertStreamed(FrameRecord *f, uint32_t requested)
{
    imaging::FrameBuffer fb{f->data, f->image_bytes, f->format, static_cast<int32_t>(f->rect.width),
                            static_cast<int32_t>(f->rect.height)};
    uint32_t want = imaging::FormatIdOf(requested);
    if (imaging::FormatIdOf(fb.format) != want) {
        if (imaging::FormatIdOf(fb.format) != imaging::kYuy2 || !imaging::ConvertFromYuy2(fb, want))
            return false;
    }
    if (imaging::IsBottomUp(requested) != imaging::IsBottomUp(fb.format)) {
        if (!imaging::FlipFrame(fb))
            return false;
    }
    f->format = fb.format;
    f->image_bytes = fb.size;
    return true;
}

}  // namespace

// ---- Frames --------------------------------------------------------------------------

FrameRecord *NewFrame(NetHandle *h, const FrameHeader &header, uint8_t *data, size_t size,
                      void (*release)(void *, void *), void *release_context)
{
    auto *frame = new (std::nothrow) FrameRecord;
    if (!frame)
        return nullptr;
    frame->data = data;
    frame->buffer_size = size;
    frame->image_bytes = size;
    frame->format = header.format;
    frame->rect = header.rect;
    frame->source_mode = header.mode;
    frame->status = header.status;
    frame->owner = h;
    frame->release = release;
    frame->release_context = release_context;
    return frame;
}

void FreeFrame(FrameRecord *frame)
{
    if (!frame)
        return;
    if (frame->data && frame->release)
        frame->release(frame->data, frame->release_context);
    delete frame;
}

void DiscardQueueLocked(NetHandle *h)
{
    h->state_lock.AssertHeld();
    for (FrameRecord *f : h->queue)
        FreeFrame(f);
    h->queue.clear();
}

bool ApplyStreamFormat(NetHandle *h, Client *c, uint32_t format, const CropRect *crop)
{
    FormatChange change{h, format, {}};
    if (WaitedRequest(c, REQ_SET_FORMAT, U32Payload(format), ParseFormatReply, &change) <= 0 ||
        change.reply.result != 0)
        return false;
    CropRect wanted = crop ? *crop : CropRect{};
    bool crop_changed;
    {
        Ambry::CLock lock(h->state_lock);
        crop_changed = std::memcmp(&wanted, &h->crop, sizeof wanted) != 0;
        h->crop = wanted;
    }
    if (crop_changed) {
        std::vector<uint8_t> p;
        PayloadWriter w(p);
        EncodeCrop(w, wanted);
        PostRequest(c, REQ_SET_CROP, p);
    }
    return true;
}

bool RotateGrabbed(FrameRecord *f, uint32_t rotation)
{
    imaging::FrameBuffer fb{f->data, f->image_bytes, f->format, static_cast<int32_t>(f->rect.width),
                            static_cast<int32_t>(f->rect.height)};
    if (rotation == imaging::kRotate180) {
        if (!imaging::Rotate180(fb))
            return false;
        f->format = fb.format;
        return true;
    }
    uint64_t size = imaging::FrameSize(fb.width, fb.height, fb.format);
    if (size == 0 || size > f->image_bytes)
        return false;
    auto *out = static_cast<uint8_t *>(std::malloc(size));
    if (!out)
        return false;
    imaging::FrameBuffer dst{out, size, 0, 0, 0};
    if (!imaging::Rotate90(fb, dst, rotation == imaging::kRotate90Clockwise)) {
        std::free(out);
        return false;
    }
    f->release(f->data, f->release_context);
    f->data = out;
    f->buffer_size = size;
    f->image_bytes = size;
    f->format = dst.format;
    f->rect.width = static_cast<uint32_t>(dst.width);
    f->rect.height = static_cast<uint32_t>(dst.height);
    f->release = HeapRelease;
    f->release_context = nullptr;
    return true;
}

// ---- Frame events (reader thread) ----------------------------------------------------

bool OnFrameData(Client *, const FrameHeader &header, PayloadReader &image, void *owner)
{
    auto *h = static_cast<NetHandle *>(owner);
    if (!h)
        return true;
    FrameAllocator alloc;
    void *alloc_ctx;
    uint32_t requested;
    {
        Ambry::CLock lock(h->state_lock);
        if (h->active_format == 0) {
            h->reference.valid = false;
            return true;  // not streaming: the image is skipped
        }
        alloc = h->allocator;
        alloc_ctx = h->allocator_context;
        requested = h->requested_format;
    }
    size_t size = image.Remaining();
    uint32_t pixel = imaging::FormatIdOf(header.format);
    uint32_t want = imaging::FormatIdOf(requested);
    bool own_heap = imaging::IsCompressed(pixel) && pixel != want;
    void *(*allocate)(size_t, void *) = own_heap ? HeapAllocate : alloc.allocate;
    void (*release)(void *, void *) = own_heap ? HeapRelease : alloc.release;
    void *ctx = own_heap ? nullptr : alloc_ctx;
    auto *data = static_cast<uint8_t *>(allocate(size, ctx));
    if (!data)
        return image.Skip(size);
    if (!image.Bytes(data, size)) {
        release(data, ctx);
        return false;
    }
    FrameHeader delivered = header;
    if (own_heap && !imaging::IsCompressed(want)) {
        // Decode into a buffer of the decoded picture's size.
        imaging::CompressedHeader ch;
        bool self_contained = imaging::IsSelfContained(data, size);
        bool parsed = imaging::ParseCompressedHeader(data, size, ch);
        uint32_t target = 0;
        if (parsed) {
            (void)h->decoder.ChooseTarget(data, size, want);
            target = h->decoder.TargetId();
        }
        bool usable = parsed && (self_contained || (h->reference.valid && h->reference.id == ch.format &&
                                                    h->reference.width == ch.width &&
                                                    h->reference.height == ch.height && h->reference.target == target));
        uint64_t out_size = usable ? h->decoder.OutputSize(data, size) : 0;
        uint8_t *out = out_size ? static_cast<uint8_t *>(alloc.allocate(out_size, alloc_ctx)) : nullptr;
        bool decoded = out && h->decoder.Decode(data, size, out, out_size) > 0;
        release(data, ctx);
        if (self_contained || !decoded)
            h->reference = {decoded, ch.format, ch.width, ch.height, target};
        if (!decoded) {
            if (out)
                alloc.release(out, alloc_ctx);
            return true;
        }
        data = out;
        size = out_size;
        release = alloc.release;
        ctx = alloc_ctx;
        delivered.format = h->decoder.TargetId();
        delivered.rect = CropRect{0, 0, ch.width, ch.height};
    }
    FrameRecord *frame = NewFrame(h, delivered, data, size, release, ctx);
    if (!frame) {
        release(data, ctx);
        return true;
    }

    StreamCallbacks cb;
    void *cb_ctx;
    {
        Ambry::CLock lock(h->state_lock);
        cb = h->stream;
        cb_ctx = h->stream_context;
    }
    if (cb.on_frame && cb.on_frame(cb_ctx, frame))
        return true;
    Ambry::CLock lock(h->state_lock);
    if (h->queue.size() >= kMaxQueuedFrames) {
        FreeFrame(frame);
    } else {
        h->queue.push_back(frame);
    }
    h->frame_cv.notify_all();
    return true;
}

// ---- Streaming operations ---------------------------------------------------------------

bool OpEnableStreaming(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    h->state |= ST_STREAMING;
    DiscardQueueLocked(h);
    return true;
}

bool OpSetStreamFormat(Handle *handle, uint32_t format, const CropRect *crop)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock call(h->call_lock);
    return ApplyStreamFormat(h, CurrentClient(h), format, crop);
}

bool OpSetStreamCallbacks(Handle *handle, const StreamCallbacks *callbacks, void *context)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock lock(h->state_lock);
    h->stream = callbacks ? *callbacks : StreamCallbacks{};
    h->stream_context = context;
    return true;
}

bool OpDisableStreaming(Handle *handle)
{
    NetHandle *h = Valid(handle);
    if (!h)
        return false;
    Ambry::CLock call(h->call_lock);
    bool was_active;
    {
        Ambry::CLock lock(h->state_lock);
        h->state &= ~ST_STREAMING;
        was_active = h->active_format != 0;
        h->active_format = 0;
        DiscardQueueLocked(h);
    }
    if (was_active)
        PostRequest(CurrentClient(h), REQ_STOP_STREAM, {});
    return true;
}

FrameRecord *GrabStreamed(NetHandle *h, Client *c, uint32_t format, const CropRect *crop)
{
    uint32_t stream_format = StreamFormatFor(format);
    uint32_t active;
    {
        Ambry::CLock lock(h->state_lock);
        active = h->active_format;
    }
    if (stream_format != active) {
        if (active != 0)
            PostRequest(c, REQ_STOP_STREAM, {});
        {
            Ambry::CLock lock(h->state_lock);
            h->active_format = 0;
        }
        if (!ApplyStreamFormat(h, c, stream_format, crop))
            return nullptr;
    }
    // A frame decoded for an earlier request may not convert to this one: it is
    // dropped and the next one awaited, within the same frame wait.
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(h->options.frame_wait_ms);
    for (;;) {
        FrameRecord *frame = nullptr;
        {
            Ambry::CLock lock(h->state_lock);
            h->frame_cv.wait_until(h->state_lock, until, [h] {
                h->state_lock.AssertHeld();  // the wait calls its predicate with the lock held
                return !h->queue.empty() || h->disconnected;
            });
            if (h->queue.empty())
                return nullptr;
            frame = h->queue.front();
            h->queue.pop_front();
        }
        if (ConvertStreamed(frame, format))
            return frame;
        FreeFrame(frame);
    }
}

}  // namespace Grabber
