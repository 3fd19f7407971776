// tessaline-probe: what a device says, from a shell. Opens one device exactly as the
// utility does (OpenDeviceIO), prints its state, and can save preview frames, watch
// the connection, take stream frames, or run a LAN search.
#include "ImageFile.h"

#include <ambry/Net.h>
#include <deviceio/DeviceIO.h>
#include <deviceio/NetGrabberIO.h>
#include <discovery/Discovery.h>
#include <grabber/Grabber.h>
#include <tessaline/Version.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  tessaline-probe HOST[:PORT] [--password P] [--grab FILE] [--watch SECONDS]\n"
    "  tessaline-probe HOST[:PORT] [--password P] --stream CODE --frames N --out DIR\n"
    "  tessaline-probe --search [--seconds N]\n"
    "  tessaline-probe --help | --version\n"
    "\n"
    "Opens the device at HOST (port 5557 unless given) the way the configuration\n"
    "utility does and prints the login status, model, serial number, the name stored\n"
    "on the device, the video mode and whether it can be a capture source.\n"
    "\n"
    "  --password P      password for the login (default: none)\n"
    "  --grab FILE       save one preview frame; .png, .bmp or .ppm by the name's ending\n"
    "  --watch SECONDS   keep the connection and print every change (signal,\n"
    "                    disconnection, reconnection, login) for that long\n"
    "  --stream CODE     take frames through the library's stream path in the frame\n"
    "                    format CODE (e.g. 0x80000800); needs --frames and --out\n"
    "  --frames N        number of stream frames\n"
    "  --out DIR         folder for the stream frames: frame-NNN.raw, plus a .png\n"
    "                    for 24-bit formats\n"
    "  --search          broadcast a search on every local network and print one\n"
    "                    line per reply\n"
    "  --seconds N       how long the search listens (default 5)\n"
    "  --help            print this text and exit\n"
    "  --version         print the version and exit\n"
    "\n"
    "Exit status: 0 when the device was found and logged in (for --search: when at\n"
    "least one device answered), 1 otherwise, 2 for a usage error.\n";

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

struct Options {
    std::string host;
    std::string password;
    std::string grab;
    double watch_s = 0;
    bool stream = false;
    uint32_t stream_code = 0;
    long frames = 0;
    std::string out;
    bool search = false;
    double search_s = 5;
};

bool ParseNumber(const char *text, double *out)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno || end == text || *end || v < 0)
        return false;
    *out = v;
    return true;
}

int UsageError(const char *message)
{
    std::fprintf(stderr, "tessaline-probe: %s\n\n%s", message, kUsage);
    return 2;
}

// Parses the command line; returns -1 to go on, else the exit status.
int ParseArgs(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *what) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tessaline-probe: %s needs a value\n", what);
                return nullptr;
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tessaline-probe %s\n", TESSALINE_VERSION);
            return 0;
        } else if (a == "--password") {
            const char *v = value("--password");
            if (!v)
                return 2;
            o->password = v;
        } else if (a == "--grab") {
            const char *v = value("--grab");
            if (!v)
                return 2;
            o->grab = v;
        } else if (a == "--watch") {
            const char *v = value("--watch");
            if (!v || !ParseNumber(v, &o->watch_s))
                return UsageError("--watch needs a number of seconds");
        } else if (a == "--stream") {
            const char *v = value("--stream");
            char *end = nullptr;
            if (!v)
                return 2;
            const unsigned long code = std::strtoul(v, &end, 0);
            if (end == v || *end || code > 0xFFFFFFFFul)
                return UsageError("--stream needs a frame format code such as 0x80000800");
            o->stream = true;
            o->stream_code = uint32_t(code);
        } else if (a == "--frames") {
            const char *v = value("--frames");
            double n = 0;
            if (!v || !ParseNumber(v, &n) || n < 1 || n > 100000)
                return UsageError("--frames needs a count from 1 to 100000");
            o->frames = long(n);
        } else if (a == "--out") {
            const char *v = value("--out");
            if (!v)
                return 2;
            o->out = v;
        } else if (a == "--search") {
            o->search = true;
        } else if (a == "--seconds") {
            const char *v = value("--seconds");
            if (!v || !ParseNumber(v, &o->search_s))
                return UsageError("--seconds needs a number");
        } else if (!a.empty() && a[0] == '-') {
            return UsageError(("unknown option " + a).c_str());
        } else if (o->host.empty()) {
            o->host = a;
        } else {
            return UsageError("only one device at a time");
        }
    }
    if (o->search)
        return o->host.empty() ? -1 : UsageError("--search takes no device address");
    if (o->host.empty())
        return UsageError("no device address given");
    if (o->stream && (o->frames <= 0 || o->out.empty()))
        return UsageError("--stream needs --frames and --out");
    return -1;
}

bool ParseAddress(const std::string &text, AddressRecord *out)
{
    std::string host = text;
    uint16_t port = DEFAULT_DEVICE_PORT;
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        char *end = nullptr;
        const unsigned long p = std::strtoul(text.c_str() + colon + 1, &end, 10);
        if (end == text.c_str() + colon + 1 || *end || p == 0 || p > 65535)
            return false;
        port = uint16_t(p);
    }
    uint32_t address = 0;
    if (!Ambry::ResolveHost(host.c_str(), &address))
        return false;
    *out = MakeAddressRecord(address, port);
    return true;
}

std::string ModeText(const VideoMode &mode)
{
    return mode.width > 0 ? FormatVideoMode(mode) : std::string("no signal");
}

std::string Now()
{
    using namespace std::chrono;
    const auto t = system_clock::now();
    const std::time_t s = system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&s, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  int(duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000));
    return text;
}

bool Grab(CDeviceIO &io, const std::string &path)
{
    Ambry::Ref<CFrame> frame = io.GrabFrame();
    if (!frame) {
        std::fprintf(stderr, "tessaline-probe: no preview frame\n");
        return false;
    }
    std::string error;
    if (!Probe::WritePicture(path, frame->GetPixels(), frame->Width(), frame->Height(), true, &error)) {
        std::fprintf(stderr, "tessaline-probe: %s\n", error.c_str());
        return false;
    }
    std::printf("Frame: %dx%d saved to %s\n", frame->Width(), frame->Height(), path.c_str());
    return true;
}

void Watch(CDeviceIO &io, Grabber::Handle *handle, double seconds)
{
    VideoMode mode;
    io.GetVideoMode(&mode);
    bool connected = Grabber::IsConnected(handle);
    LoginStatus login = io.GetLoginStatus();
    std::printf("%s watching for %.0f s\n", Now().c_str(), seconds);
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_interrupted && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const bool now_connected = Grabber::IsConnected(handle);
        if (now_connected != connected) {
            std::printf("%s %s\n", Now().c_str(), now_connected ? "reconnected" : "disconnected");
            connected = now_connected;
        }
        VideoMode now_mode;
        io.GetVideoMode(&now_mode);
        if (now_mode.width != mode.width || now_mode.height != mode.height || now_mode.refresh != mode.refresh) {
            std::printf("%s video mode: %s\n", Now().c_str(), ModeText(now_mode).c_str());
            mode = now_mode;
        }
        const LoginStatus now_login = io.GetLoginStatus();
        if (now_login != login) {
            std::printf("%s login: %d\n", Now().c_str(), int(now_login));
            login = now_login;
        }
        std::fflush(stdout);
    }
}

bool Stream(Grabber::Handle *handle, const Options &o)
{
    if (mkdir(o.out.c_str(), 0777) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "tessaline-probe: cannot make %s: %s\n", o.out.c_str(), std::strerror(errno));
        return false;
    }
    if (!handle->ops->EnableStreaming(handle)) {
        std::fprintf(stderr, "tessaline-probe: the device does not stream\n");
        return false;
    }
    bool ok = true;
    for (long i = 0; i < o.frames && !g_interrupted; ++i) {
        Grabber::FrameRecord *frame = Grabber::GrabFrame(handle, o.stream_code, nullptr);
        if (!frame) {
            std::fprintf(stderr, "tessaline-probe: frame %ld: none\n", i);
            ok = false;
            break;
        }
        char name[32];
        std::snprintf(name, sizeof name, "/frame-%03ld", i);
        const std::string base = o.out + name;
        std::string error;
        const bool raw_ok = Probe::WriteRaw(base + ".raw", frame->data, frame->image_bytes, &error);
        const int w = int(frame->rect.width), h = int(frame->rect.height);
        std::printf("frame %ld: %dx%d format 0x%08X, %zu bytes\n", i, w, h, frame->format, frame->image_bytes);
        if (raw_ok && (frame->format & 0xFFFF) == 2048 && w > 0 && h > 0 &&
            frame->image_bytes == size_t(w) * size_t(h) * 3)
            Probe::WritePicture(base + ".png", frame->data, w, h, (frame->format & 0x80000000u) != 0, &error);
        if (!raw_ok) {
            std::fprintf(stderr, "tessaline-probe: %s\n", error.c_str());
            ok = false;
        }
        Grabber::ReleaseFrame(handle, frame);
        if (!ok)
            break;
    }
    handle->ops->DisableStreaming(handle);
    return ok;
}

int ProbeDevice(const Options &o)
{
    AddressRecord address;
    if (!ParseAddress(o.host, &address)) {
        std::fprintf(stderr, "tessaline-probe: cannot resolve %s\n", o.host.c_str());
        return 1;
    }
    Ambry::Ref<CDeviceIO> io = OpenDeviceIO(o.password.c_str(), address);
    if (!io) {
        std::printf("Login: %d (%s)\n", int(LoginError), DeviceListStatusText(LoginError, false, false, {}));
        return 1;
    }
    VideoMode mode;
    io->GetVideoMode(&mode);
    const LoginStatus login = io->GetLoginStatus();
    AddressRecord peer;
    io->GetAddress(&peer);
    char ip[16];
    Ambry::FormatIPv4(AddressRecordHostAddress(peer), ip);
    std::printf("Address: %s:%u\n", ip, AddressRecordHostPort(peer));
    std::printf("Login: %d (%s)\n", int(login), DeviceListStatusText(login, true, false, mode));
    std::printf("Model: %s\n", io->GetModelName());
    std::printf("Type: %u\n", io->GetDeviceType());
    std::printf("Serial: %s\n", io->GetSerialNumber());
    std::string name;
    const char *stored = io->GetDeviceName(&name);
    std::printf("Name: %s\n", stored ? stored : "(not readable)");
    std::printf("Video mode: %s\n", ModeText(mode).c_str());
    std::printf("Capture source: %s\n", io->IsCaptureSource() ? "yes" : "no");
    std::printf("Password required: %s\n", io->IsPasswordRequired() ? "yes" : "no");
    std::fflush(stdout);

    const bool logged_in = login == LoginOpen || login == LoginAccepted;
    bool ok = logged_in;
    if (logged_in && !o.grab.empty())
        ok = Grab(*io, o.grab) && ok;
    auto *net = dynamic_cast<CNetGrabberIO *>(io.get());
    if (logged_in && o.stream && net)
        ok = Stream(net->NetGrabber()->Handle(), o) && ok;
    if (o.watch_s > 0 && net)
        Watch(*io, net->NetGrabber()->Handle(), o.watch_s);
    return logged_in && ok ? 0 : 1;
}

struct SearchState {
    std::atomic<int> replies{0};
};

int PrintReply(const DiscoveryRecord *r, void *user)
{
    auto *state = static_cast<SearchState *>(user);
    char ip[16];
    Ambry::FormatIPv4(r->address, ip);
    std::printf("%s port %u type %u (%s) serial %s\n", ip, r->port ? r->port : DEFAULT_DEVICE_PORT, r->device_type,
                ModelNameForType(r->device_type, "unknown"), r->serial_number);
    std::fflush(stdout);
    ++state->replies;
    return 1;
}

int Search(const Options &o)
{
    SearchState state;
    DiscoverySession *session = StartDiscovery(0, 0, nullptr, PrintReply, &state);
    if (!session) {
        std::fprintf(stderr, "tessaline-probe: cannot search: no usable network address\n");
        return 1;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.search_s);
    while (!g_interrupted && std::chrono::steady_clock::now() < end && DiscoveryRunning(session))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    StopDiscovery(session);
    std::printf("%d device(s) answered\n", state.replies.load());
    return state.replies > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    const int parsed = ParseArgs(argc, argv, &o);
    if (parsed >= 0)
        return parsed;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    Ambry::NetStart();
    const int rc = o.search ? Search(o) : ProbeDevice(o);
    Ambry::NetStop();
    return rc;
}
