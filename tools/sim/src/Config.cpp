// Device descriptions of the simulator: "key=value,key=value" texts and files of them.
#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace Sim {

namespace {

bool ParseInt(const std::string &text, long min, long max, long &out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long v = std::strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != 0 || v < min || v > max)
        return false;
    out = v;
    return true;
}

bool ParseBool(const std::string &text, bool &out)
{
    if (text.empty() || text == "1" || text == "on" || text == "yes" || text == "true") {
        out = true;
        return true;
    }
    if (text == "0" || text == "off" || text == "no" || text == "false") {
        out = false;
        return true;
    }
    return false;
}

// "WxH@mHz", "WxH" (60000 mHz) or "none".
bool ParseMode(const std::string &text, DeviceConfig &c)
{
    if (text == "none") {
        c.signal = false;
        return true;
    }
    size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    size_t at = text.find('@', x);
    long w, h, r = 60000;
    if (!ParseInt(text.substr(0, x), 1, 8192, w) ||
        !ParseInt(text.substr(x + 1, at == std::string::npos ? std::string::npos : at - x - 1), 1, 8192, h))
        return false;
    if (at != std::string::npos && !ParseInt(text.substr(at + 1), 1, 1000000, r))
        return false;
    c.mode = Grabber::VideoMode{int32_t(w), int32_t(h), int32_t(r)};
    c.signal = true;
    return true;
}

std::string Trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return {};
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

}  // namespace

bool ParseDeviceKeys(std::string_view description, DeviceConfig &c, std::string *error)
{
    std::string text(description);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = Trim(text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        pos = comma == std::string::npos ? text.size() + 1 : comma + 1;
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        std::string key = Trim(item.substr(0, eq));
        std::string value = eq == std::string::npos ? std::string() : Trim(item.substr(eq + 1));
        long n = 0;
        bool ok = true;
        if (key == "address") {
            in_addr a{};
            ok = inet_pton(AF_INET, value.c_str(), &a) == 1;
            if (ok)
                c.address = ntohl(a.s_addr);
        } else if (key == "port") {
            ok = ParseInt(value, 0, 65535, n) && (c.port = int(n), true);
        } else if (key == "http") {
            ok = value == "off" ? (c.http_port = -1, true) : ParseInt(value, 0, 65535, n) && (c.http_port = int(n), true);
        } else if (key == "udp") {
            ok = value == "off" ? (c.udp_port = -1, true) : ParseInt(value, 0, 65535, n) && (c.udp_port = int(n), true);
        } else if (key == "broadcast") {
            ok = ParseBool(value, c.broadcast);
        } else if (key == "compressed") {
            ok = value == "off" ? (c.compressed_port = -1, true)
                                : ParseInt(value.empty() ? "5558" : value, 0, 65535, n) && (c.compressed_port = int(n), true);
        } else if (key == "type") {
            ok = ParseInt(value, 0, 65535, n) && (c.type = uint32_t(n), true);
        } else if (key == "serial") {
            ok = value.size() <= 32 && (c.serial = value, true);
        } else if (key == "product") {
            ok = value.size() <= 255 && (c.product = value, true);
        } else if (key == "name") {
            ok = value.size() <= 255 && (c.name = value, true);
        } else if (key == "password") {
            ok = value.size() <= 63 && (c.password = value, true);
        } else if (key == "flags") {
            ok = ParseInt(value, 0, LONG_MAX, n) && n <= 0xFFFFFFFFL && (c.flags = uint32_t(n), true);
        } else if (key == "mode") {
            ok = ParseMode(value, c);
        } else if (key == "signal-toggle") {
            ok = ParseInt(value, 0, 86400, n) && (c.signal_toggle_s = int(n), true);
        } else if (key == "animate") {
            ok = ParseBool(value, c.animate);
        } else if (key == "fps" || key == "stream-fps") {
            ok = value == "mode" ? (c.stream_fps = 0, true) : ParseInt(value, 1, 10000, n) && (c.stream_fps = int(n), true);
        } else if (key == "audio") {
            bool on = false;
            ok = ParseBool(value, on) && (c.flags = on ? c.flags | 0x10u : c.flags & ~0x10u, true);
        } else if (key == "tone") {
            ok = ParseInt(value, 20, 4000, n) && (c.tone_hz = int(n), true);
        } else if (key == "audio-faults") {
            ok = ParseBool(value, c.audio_faults);
        } else if (key == "counter") {
            ok = ParseBool(value, c.frame_counter);
        } else if (key == "keyframe") {
            ok = ParseInt(value, 1, 100000, n) && (c.keyframe_interval = int(n), true);
        } else if (key == "stream-passes") {
            ok = ParseInt(value, 1, 2, n) && (c.stream_passes = int(n), true);
        } else if (key == "stream-fields") {
            ok = ParseBool(value, c.stream_fields);
        } else if (key == "silent-stream") {
            ok = ParseBool(value, c.silent_stream);
        } else if (key == "no-hello") {
            ok = ParseBool(value, c.no_hello);
        } else if (key == "reply-delay") {
            ok = ParseInt(value, 0, 600000, n) && (c.reply_delay_ms = int(n), true);
        } else if (key == "drop-after") {
            ok = ParseInt(value, 0, INT_MAX, n) && (c.drop_after = int(n), true);
        } else if (key == "bad-frame-size") {
            ok = ParseBool(value, c.bad_frame_size);
        } else if (key == "short-state-reply") {
            ok = ParseBool(value, c.short_state_reply);
        } else if (key == "reject-login") {
            ok = ParseBool(value, c.reject_login);
        } else if (key == "bad-mode-list") {
            ok = ParseBool(value, c.bad_mode_list);
        } else if (key == "probe-unknown") {
            ok = ParseBool(value, c.probe_unknown);
        } else if (key == "stray-reply") {
            ok = ParseBool(value, c.stray_reply);
        } else if (key == "stall-replies") {
            ok = ParseBool(value, c.stall_replies);
        } else {
            if (error)
                *error = "unknown key '" + key + "'";
            return false;
        }
        if (!ok) {
            if (error)
                *error = "bad value '" + value + "' for '" + key + "'";
            return false;
        }
    }
    return true;
}

bool ReadConfigFile(const std::string &path, const DeviceConfig &defaults, std::vector<DeviceConfig> &devices,
                    std::string *error)
{
    std::ifstream in(path);
    if (!in) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#')
            continue;
        DeviceConfig c = defaults;
        std::string e;
        if (!ParseDeviceKeys(t, c, &e)) {
            if (error)
                *error = path + ":" + std::to_string(number) + ": " + e;
            return false;
        }
        devices.push_back(c);
    }
    return true;
}

}  // namespace Sim
