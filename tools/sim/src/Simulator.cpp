// The simulator's public interface: set-up and tear-down of the appliances, their
// initial state and signal.
#include "Appliance.h"

#include <ambry/Net.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Sim {

std::string FormatAddress(uint32_t a)
{
    char t[16];
    Ambry::FormatIPv4(a, t);
    return t;
}

void Simulator::Impl::Count(Device &d, uint64_t DeviceStats::*gauge, int change)
{
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.stats.*gauge += uint64_t(int64_t(change));
    }
    if (observer)
        observer(d.index);
}

void Simulator::Impl::TogglerLoop(Device &d)
{
    std::unique_lock<std::mutex> lock(d.lock);
    while (!stopping) {
        d.toggle_cv.wait_for(lock, std::chrono::seconds(d.cfg.signal_toggle_s));
        if (stopping)
            break;
        bool on = !d.signal;
        lock.unlock();
        SetSignal(d, on);
        lock.lock();
    }
}

void Simulator::Impl::SetSignal(Device &d, bool on)
{
    {
        std::lock_guard<std::mutex> lock(d.lock);
        d.signal = on;
    }
    if (verbose)
        Log(d, "signal %s", on ? "on" : "off");
    MessageBuilder e = MessageBuilder::Event(EVT_VIDEO_MODE);
    EncodeVideoMode(e.Payload(), on ? d.cfg.mode : VideoMode{});
    SendEventAll(d, e.Take());
}

void Simulator::Impl::InitState(Device &d)
{
    d.signal = d.cfg.signal;
    d.adj.flags = ADJ_HSHIFT | ADJ_PHASE | ADJ_OFFSET_GAIN | ADJ_VSHIFT | ADJ_PLL;
    d.adj.phase = 16;
    std::fill(std::begin(d.adj.gain), std::end(d.adj.gain), uint8_t(128));
    std::fill(std::begin(d.adj.offset), std::end(d.adj.offset), uint8_t(64));
    d.ranges.leading = 1;
    d.ranges.valid_mask = d.adj.flags | ADJ_GRAB_FLAGS;
    d.ranges.hshift_min = -100;
    d.ranges.hshift_max = 100;
    d.ranges.phase_min = 0;
    d.ranges.phase_max = 31;
    d.ranges.offset_min = 0;
    d.ranges.offset_max = 127;
    d.ranges.gain_min = 0;
    d.ranges.gain_max = 255;
    d.ranges.vshift_min = -50;
    d.ranges.vshift_max = 50;
    d.ranges.pll_min = -500;
    d.ranges.pll_max = 500;
    auto set_u32 = [&](uint32_t id, uint32_t v) {
        Parameter p;
        p.id = id;
        std::memcpy(p.value, &v, 4);
        d.params[id] = p;
    };
    auto set_text = [&](uint32_t id, const std::string &t) {
        Parameter p;
        p.id = id;
        std::memcpy(p.value, t.data(), std::min<size_t>(t.size(), 255));
        d.params[id] = p;
    };
    Parameter p0;
    p0.id = 0;
    uint16_t hw = 3;
    std::memcpy(p0.value, &hw, 2);
    d.params[0] = p0;
    set_u32(1, 20240109);
    set_text(18, d.cfg.product);
    set_text(21, kFirmwareText);
    set_u32(27, 0);
    // Eight custom slots (the first in use) and the standard modes.
    static const uint16_t kStandard[][3] = {{640, 480, 600}, {800, 600, 600}, {1024, 768, 600},
                                            {1280, 1024, 750}, {1920, 1080, 600}};
    d.modes.assign(kCustomModeSlots, ModeEntry{});
    d.modes[0].head = 0;
    d.modes[0].values[0] = 1440;
    d.modes[0].values[1] = 900;
    d.modes[0].values[2] = 600;
    d.modes[0].flags = 1;
    for (const auto &m : kStandard) {
        ModeEntry e;
        e.head = uint32_t(d.modes.size());
        e.values[0] = m[0];
        e.values[1] = m[1];
        e.values[2] = m[2];
        e.flags = 2;
        d.modes.push_back(e);
    }
}

void Simulator::Impl::Log(const Device &d, const char *fmt, ...)
{
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    std::fprintf(stderr, "tessaline-sim: %s %s: %s\n", d.cfg.serial.c_str(), FormatAddress(d.ep.address).c_str(), text);
}

Simulator::Simulator() : m_impl(std::make_unique<Impl>()) {}

Simulator::~Simulator() { Stop(); }

bool Simulator::Start(const std::vector<DeviceConfig> &devices, std::string *error)
{
    Stop();
    Impl &im = *m_impl;
    im.net_started = Ambry::NetStart();
    if (::pipe2(im.wake, O_CLOEXEC) != 0) {
        if (error)
            *error = "cannot make a pipe";
        return false;
    }
    im.stopping = false;
    for (size_t i = 0; i < devices.size(); ++i) {
        auto d = std::make_unique<Device>();
        d->index = i;
        d->cfg = devices[i];
        if (d->cfg.address == 0)
            d->cfg.address = 0x7F000002u + uint32_t(i);
        if (d->cfg.tone_hz <= 0)
            d->cfg.tone_hz = 400 + 100 * int(i);
        d->ep.address = d->cfg.address;
        Impl::InitState(*d);
        bool ok = im.Listen(d->tcp, Ambry::SOCKET_STREAM, d->cfg.address, d->cfg.port, d->ep.port, error, "grabber") &&
                  im.Listen(d->ctcp, Ambry::SOCKET_STREAM, d->cfg.address, d->cfg.compressed_port,
                            d->ep.compressed_port, error, "compressed") &&
                  im.Listen(d->udp, Ambry::SOCKET_DATAGRAM, d->cfg.address, d->cfg.udp_port, d->ep.udp_port, error,
                            "discovery") &&
                  im.Listen(d->http, Ambry::SOCKET_STREAM, d->cfg.address, d->cfg.http_port, d->ep.http_port, error,
                            "http");
        if (!ok) {
            im.devices.push_back(std::move(d));
            Stop();
            return false;
        }
        d->cfg.port = d->ep.port;
        if (d->cfg.compressed_port >= 0)
            d->cfg.compressed_port = d->ep.compressed_port;
        if (d->cfg.udp_port >= 0) {
            d->cfg.udp_port = d->ep.udp_port;
            if (d->cfg.broadcast)
                im.ListenBroadcast(*d);
        }
        if (d->cfg.http_port >= 0)
            d->cfg.http_port = d->ep.http_port;
        im.devices.push_back(std::move(d));
    }
    for (auto &d : im.devices) {
        Device *dev = d.get();
        dev->acceptor = Ambry::StartThread("SimAccept", [&im, dev] { im.AcceptorLoop(*dev); });
        if (dev->cfg.signal_toggle_s > 0)
            dev->toggler = Ambry::StartThread("SimSignal", [&im, dev] { im.TogglerLoop(*dev); });
    }
    im.running = true;
    return true;
}

void Simulator::Stop()
{
    Impl &im = *m_impl;
    if (im.wake[0] < 0)
        return;
    im.stopping = true;
    char b = 1;
    (void)!::write(im.wake[1], &b, 1);
    for (auto &d : im.devices) {
        {
            std::lock_guard<std::mutex> lock(d->lock);
            d->toggle_cv.notify_all();
        }
        if (d->acceptor.joinable())
            d->acceptor.join();
        if (d->toggler.joinable())
            d->toggler.join();
        std::list<std::shared_ptr<Session>> sessions;
        {
            std::lock_guard<std::mutex> lock(d->lock);
            sessions.swap(d->sessions);
        }
        for (auto &s : sessions)
            ::shutdown(s->fd, SHUT_RDWR);
        for (auto &s : sessions) {
            if (s->reader.joinable())
                s->reader.join();
            Ambry::SocketClose(s->fd);
        }
    }
    im.devices.clear();
    ::close(im.wake[0]);
    ::close(im.wake[1]);
    im.wake[0] = im.wake[1] = -1;
    if (im.net_started)
        Ambry::NetStop();
    im.net_started = false;
    im.running = false;
}

bool Simulator::Running() const { return m_impl->running; }
size_t Simulator::DeviceCount() const { return m_impl->devices.size(); }

Endpoints Simulator::Ports(size_t index) const
{
    if (index >= m_impl->devices.size())
        return {};
    return m_impl->devices[index]->ep;
}

DeviceStats Simulator::Stats(size_t index) const
{
    if (index >= m_impl->devices.size())
        return {};
    Device &d = *m_impl->devices[index];
    std::lock_guard<std::mutex> lock(d.lock);
    return d.stats;
}

DeviceConfig Simulator::Config(size_t index) const
{
    if (index >= m_impl->devices.size())
        return {};
    Device &d = *m_impl->devices[index];
    std::lock_guard<std::mutex> lock(d.lock);
    return d.cfg;
}

void Simulator::SetSignal(size_t index, bool on)
{
    if (index < m_impl->devices.size())
        m_impl->SetSignal(*m_impl->devices[index], on);
}

void Simulator::SetVerbose(bool on) { m_impl->verbose = on; }
void Simulator::SetObserver(std::function<void(size_t)> observer) { m_impl->observer = std::move(observer); }

}  // namespace Sim
