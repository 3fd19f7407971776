// The reconnection worker "TSLReconnect" of a handle with automatic reconnection:
// woken when the handle's connection ends, it connects again to the same address
// and port, logs in with the stored credentials, swaps the new connection in and
// restores the state (video mode, audio, stream format), retrying at the
// reconnection interval until it succeeds or is stopped.
#include "NetHandle.h"

#include <ambry/Thread.h>

#include <chrono>
#include <cstring>

namespace Grabber {

namespace {

bool StopRequested(NetHandle *h)
{
    Ambry::CLock rl(h->reconnect_mutex);
    return h->reconnect_stop;
}

// Records the attempt's client (none: the attempt is over) unless a stop came
// first; false then.
bool Attempting(NetHandle *h, Client *client)
{
    Ambry::CLock rl(h->reconnect_mutex);
    h->reconnecting = h->reconnect_stop ? nullptr : client;
    return !h->reconnect_stop;
}

// Swaps a connected (and logged in) client into the handle, closes the old one,
// tells the notify callback, and brings the device back to the handle's state:
// video mode, running audio, the stream format and crop rectangle.
void HandOver(NetHandle *h, Client *fresh)
{
    SetClientRequestTimeout(fresh, h->options.request_timeout_ms);
    Client *old;
    uint32_t stream_format = 0;
    bool streaming, audio;
    AudioFormat audio_format;
    NotifyCallbacks cb;
    void *ctx;
    {
        Ambry::CLock call(h->call_lock);
        Ambry::CLock lock(h->state_lock);
        old = h->client;
        h->client = fresh;
        h->capabilities = ClientCapabilities(fresh);
        h->disconnected = false;
        streaming = (h->state & ST_STREAMING) != 0;
        stream_format = h->active_format;
        h->active_format = 0;
        audio = (h->state & (ST_AUDIO_RUNNING | ST_AUDIO_WANTED)) != 0;
        audio_format = h->audio.id >= 0 ? h->audio : h->audio_wanted;
        cb = h->notify;
        ctx = h->notify_context;
    }
    CloseClient(old);
    if (cb.on_connection)
        cb.on_connection(ctx, true, false);
    StateReply state;
    Ambry::CLock call(h->call_lock);
    if (ReadState(fresh, REQ_QUERY_STATE, state)) {
        Ambry::CLock lock(h->state_lock);
        h->mode = state.mode;
        h->grab_state = state.grab_state;
    }
    if (audio)
        (void)WaitedRequest(fresh, REQ_START_AUDIO, StartAudioPayload(audio_format), nullptr, nullptr);
    if (streaming && stream_format != 0) {
        CropRect crop;
        {
            Ambry::CLock lock(h->state_lock);
            crop = h->crop;
            h->crop = CropRect{};
        }
        if (!ApplyStreamFormat(h, fresh, stream_format, &crop)) {
            Ambry::CLock lock(h->state_lock);
            h->state &= ~ST_STREAMING;
        }
    }
}

void ReconnectWorker(NetHandle *h)
{
    for (;;) {
        {
            Ambry::CLock rl(h->reconnect_mutex);
            h->reconnect_cv.wait(h->reconnect_mutex, [h] {
                h->reconnect_mutex.AssertHeld();  // the wait calls its predicate with the lock held
                return h->reconnect_wake || h->reconnect_stop;
            });
            if (h->reconnect_stop)
                return;
            h->reconnect_wake = false;
        }
        for (;;) {
            bool disconnected, logged_in;
            char user[32];
            uint8_t digest[16];
            {
                Ambry::CLock lock(h->state_lock);
                disconnected = h->disconnected;
                logged_in = (h->state & ST_LOGGED_IN) != 0;
                std::memcpy(user, h->user, sizeof user);
                std::memcpy(digest, h->password_digest, sizeof digest);
            }
            if (!disconnected || StopRequested(h))
                break;
            ConnectOptions co;
            co.compressed = h->options.compressed;
            co.timeout_ms = h->options.connect_timeout_ms;
            co.cancel = &h->reconnect_cancel;
            Client *fresh = ConnectClient(h->address, h->port, co, &kClientCallbacks, h);
            if (fresh && !Attempting(h, fresh)) {
                CloseClient(fresh);
                return;
            }
            if (fresh && logged_in && !ClientClosed(fresh))
                (void)BeginLogin(fresh, user, digest, kLoginWaitMs);
            if (fresh && !ClientClosed(fresh)) {
                HandOver(h, fresh);
                // Handed over: from here on the handle owns the client.
                if (!Attempting(h, nullptr))
                    return;
                continue;  // checks the disconnected flag again
            }
            (void)Attempting(h, nullptr);
            if (fresh)
                CloseClient(fresh);
            Ambry::CLock rl(h->reconnect_mutex);
            const auto interval = std::chrono::milliseconds(h->options.reconnect_interval_ms);
            h->reconnect_cv.wait_for(h->reconnect_mutex, interval, [h] {
                h->reconnect_mutex.AssertHeld();
                return h->reconnect_stop;
            });
            if (h->reconnect_stop)
                return;
        }
    }
}

}  // namespace

void WakeReconnect(NetHandle *h)
{
    Ambry::CLock rl(h->reconnect_mutex);
    if (!h->reconnect_thread.joinable()) {
        h->reconnect_stop = false;
        h->reconnect_thread = Ambry::StartThread("TSLReconnect", [h] { ReconnectWorker(h); });
    }
    h->reconnect_wake = true;
    h->reconnect_cv.notify_all();
}

void OnDisconnected(Client *client, void *owner)
{
    auto *h = static_cast<NetHandle *>(owner);
    if (!h)
        return;
    NotifyCallbacks cb;
    void *ctx;
    bool reconnecting = false;
    {
        Ambry::CLock lock(h->state_lock);
        if (client != h->client)
            return;  // a connection that was never swapped in, or already replaced
        h->disconnected = true;
        h->grab_state = GRAB_STATE_NONE;
        // Audio data of the next connection counts only after its format event; the
        // restart (ST_AUDIO_WANTED) keeps the last format.
        if (h->state & ST_AUDIO_RUNNING)
            h->state = (h->state & ~ST_AUDIO_RUNNING) | ST_AUDIO_WANTED;
        if ((h->state & ST_AUTO_RECONNECT) && !h->closing) {
            reconnecting = true;
            WakeReconnect(h);
        } else {
            h->active_format = 0;
        }
        h->frame_cv.notify_all();
        cb = h->notify;
        ctx = h->notify_context;
    }
    if (cb.on_connection)
        cb.on_connection(ctx, false, reconnecting);
}

void StopReconnect(NetHandle *h, bool call_off)
{
    std::thread worker;
    {
        Ambry::CLock rl(h->reconnect_mutex);
        h->reconnect_stop = true;
        if (call_off) {
            h->reconnect_cancel = true;
            AbortClient(h->reconnecting);
        }
        h->reconnect_cv.notify_all();
        worker = std::move(h->reconnect_thread);
    }
    if (worker.joinable())
        worker.join();
    Ambry::CLock rl(h->reconnect_mutex);
    h->reconnect_stop = false;
    h->reconnect_wake = false;
    h->reconnect_cancel = false;
    h->reconnecting = nullptr;
}

}  // namespace Grabber
