// tessaline-sim: runs one or many simulated grabber appliances until SIGINT/SIGTERM.
#include "sim/Simulator.h"

#include <ambry/Net.h>
#include <tessaline/Version.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

const char kHelp[] =
    "usage: tessaline-sim [options]\n"
    "\n"
    "Simulates Tessaline grabber appliances on loopback addresses: the grabber\n"
    "protocol on TCP, the discovery responder on UDP, and \"/vw1.jpg\" and \"/admin\"\n"
    "over HTTP. Runs until interrupted (SIGINT or SIGTERM).\n"
    "\n"
    "Options:\n"
    "  --device KEYS      add an appliance (repeatable); KEYS is key=value,key=value\n"
    "  --config FILE      add one appliance per line of FILE (# starts a comment)\n"
    "  --port N           default grabber port of appliances without port= (5557)\n"
    "  --http-port N      default HTTP port (80); --udp-port N: discovery port (5557)\n"
    "  --port-file FILE   write the endpoints there once every appliance listens\n"
    "  --status-file FILE keep each appliance's connections there (see below)\n"
    "  --parent-pid PID   stop when process PID (which started this one) ends\n"
    "  -v, --verbose      log connections and requests to stderr\n"
    "  --version          print the version and exit\n"
    "  -h, --help         this text\n"
    "\n"
    "A port of 0 lets the system choose; the chosen ports are printed.\n"
    "SIGUSR1 rewrites the status file (its frame counts as of now).\n"
    "Without --device or --config one appliance runs with the defaults.\n"
    "\n"
    "Appliance keys (all optional):\n"
    "  address=127.0.0.2    IPv4 address (default 127.0.0.2, 127.0.0.3, ... by position)\n"
    "  port=5557            grabber protocol port\n"
    "  http=80|off          snapshot and admin page port\n"
    "  udp=5557|off         discovery port\n"
    "  broadcast=1          also answer broadcast requests (a socket on 0.0.0.0 and\n"
    "                       the discovery port, shared by every appliance; replies\n"
    "                       leave from the appliance's own address)\n"
    "  compressed=5558|off  compressed transport port (default off)\n"
    "  type=3               device type code\n"
    "  serial=TS0001        serial number (at most 32 characters)\n"
    "  product=TEXT         product name (parameter 18); empty: named by the type\n"
    "  name=TEXT            name stored on the appliance\n"
    "  password=TEXT        login password; empty: no login needed\n"
    "  flags=0              capability flags of the greeting (1 no login, 2 no user\n"
    "                       name, 8 second family, 16 audio)\n"
    "  mode=1280x1024@75000 video mode (refresh in millihertz), or none for no signal\n"
    "  signal-toggle=S      switch the signal off and on every S seconds\n"
    "  animate=1            0 keeps the picture still\n"
    "  fps=mode             frame events per second while streaming (1 to 10000);\n"
    "                       mode: the video mode's refresh rate (stream-fps= is\n"
    "                       the same key)\n"
    "  counter=0            1: streamed frames carry their number as a block code\n"
    "                       in the top-left corner (see the README)\n"
    "  audio=0              1: the appliance has audio (sets flag 16): StartAudio\n"
    "                       gets a tone, 16-bit samples that carry a running\n"
    "                       counter (see the README)\n"
    "  tone=HZ              the tone's frequency (20 to 4000; default 400 + 100 x\n"
    "                       the appliance's position)\n"
    "  keyframe=30          every Nth compressed frame is self-contained, the others\n"
    "                       are deltas (a new format or size always starts with one)\n"
    "  stream-passes=1      compressed frames in 1 or 2 passes\n"
    "  stream-fields=0      1: compressed frames send the even rows, then the odd\n"
    "                       rows\n"
    "Fault switches for tests:\n"
    "  no-hello             never send the greeting\n"
    "  reply-delay=MS       wait before every reply\n"
    "  drop-after=N         close the connection after N requests\n"
    "  bad-frame-size       grab pictures one byte short\n"
    "  short-state-reply    state replies of 12 bytes\n"
    "  reject-login         reject every password\n"
    "  bad-mode-list        a mode list of 25 bytes\n"
    "  probe-unknown        send a request of type 28 after the greeting\n"
    "  stray-reply          send a reply with an unknown id before each answer\n"
    "  stall-replies        send the head of each reply and then nothing\n"
    "  silent-stream        accept a stream format but send no frames\n"
    "  audio-faults         start audio with a data event before the format and a\n"
    "                       format event of 16 bytes\n"
    "\n"
    "Output: one line per appliance, then \"ready\":\n"
    "  device <index> <serial> tcp <addr>:<port> udp <addr>:<port> http <addr>:<port>\n"
    "         compressed <addr>:<port>   (0 for an endpoint that is off)\n"
    "\n"
    "Status file: rewritten (atomically) whenever a connection opens or closes, or a\n"
    "stream or audio starts or stops, one line per appliance:\n"
    "  device <index> <serial> connections <open> accepted <total> streaming <n>\n"
    "         audio <n>\n";

bool ParsePort(const char *text, int &out)
{
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end || v < 0 || v > 65535)
        return false;
    out = int(v);
    return true;
}

// Writes `text` to `path` through a temporary file, so readers never see half of it.
bool WriteFileAtomically(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "w");
    if (!f)
        return false;
    bool ok = std::fputs(text.c_str(), f) >= 0;
    ok = std::fclose(f) == 0 && ok;
    return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Keeps the status file in step with the appliances' connections.
class StatusFile {
public:
    StatusFile(const Sim::Simulator &sim, std::string path) : m_sim(sim), m_path(std::move(path)) {}

    bool Write()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string text;
        for (size_t i = 0; i < m_sim.DeviceCount(); ++i) {
            Sim::DeviceStats s = m_sim.Stats(i);
            char line[256];
            std::snprintf(line, sizeof line, "device %zu %s connections %llu accepted %llu streaming %llu audio %llu frames %llu\n", i,
                          m_sim.Config(i).serial.c_str(), static_cast<unsigned long long>(s.open_connections),
                          static_cast<unsigned long long>(s.connections),
                          static_cast<unsigned long long>(s.streaming),
                          static_cast<unsigned long long>(s.audio),
                          static_cast<unsigned long long>(s.frames_streamed));
            text += line;
        }
        if (WriteFileAtomically(m_path, text))
            return true;
        std::fprintf(stderr, "tessaline-sim: cannot write %s\n", m_path.c_str());
        return false;
    }

private:
    const Sim::Simulator &m_sim;
    std::string m_path;
    std::mutex m_lock;
};

std::string EndpointLine(size_t index, const Sim::DeviceConfig &c, const Sim::Endpoints &e)
{
    char addr[16];
    Ambry::FormatIPv4(e.address, addr);
    char line[256];
    std::snprintf(line, sizeof line, "device %zu %s tcp %s:%u udp %s:%u http %s:%u compressed %s:%u", index,
                  c.serial.c_str(), addr, e.port, addr, e.udp_port, addr, e.http_port, addr, e.compressed_port);
    return line;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> descriptions;
    std::vector<std::string> configs;
    std::string port_file, status_path;
    int default_port = 5557, http_port = 80, udp_port = 5557;
    bool verbose = false;
    pid_t parent = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tessaline-sim: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("tessaline-sim %s\n", TESSALINE_VERSION);
            return 0;
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a == "--device") {
            descriptions.push_back(value("--device"));
        } else if (a == "--config") {
            configs.push_back(value("--config"));
        } else if (a == "--port-file") {
            port_file = value("--port-file");
        } else if (a == "--status-file") {
            status_path = value("--status-file");
        } else if (a == "--parent-pid") {
            const char *text = value("--parent-pid");
            char *end = nullptr;
            long pid = std::strtol(text, &end, 10);
            if (end == text || *end != '\0' || pid <= 1) {
                std::fprintf(stderr, "tessaline-sim: bad process id for --parent-pid\n");
                return 2;
            }
            parent = static_cast<pid_t>(pid);
        } else if (a == "--port" || a == "--http-port" || a == "--udp-port") {
            int &target = a == "--port" ? default_port : a == "--http-port" ? http_port : udp_port;
            if (!ParsePort(value(a.c_str()), target)) {
                std::fprintf(stderr, "tessaline-sim: bad port for %s\n", a.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "tessaline-sim: unknown option '%s' (see --help)\n", a.c_str());
            return 2;
        }
    }

    Sim::DeviceConfig defaults;
    defaults.port = default_port;
    defaults.http_port = http_port;
    defaults.udp_port = udp_port;
    std::vector<Sim::DeviceConfig> devices;
    std::string error;
    for (const std::string &path : configs) {
        std::vector<Sim::DeviceConfig> from_file;
        if (!Sim::ReadConfigFile(path, defaults, from_file, &error)) {
            std::fprintf(stderr, "tessaline-sim: %s\n", error.c_str());
            return 2;
        }
        devices.insert(devices.end(), from_file.begin(), from_file.end());
    }
    for (const std::string &description : descriptions) {
        Sim::DeviceConfig c = defaults;
        if (!Sim::ParseDeviceKeys(description, c, &error)) {
            std::fprintf(stderr, "tessaline-sim: --device %s: %s\n", description.c_str(), error.c_str());
            return 2;
        }
        devices.push_back(c);
    }
    if (devices.empty())
        devices.push_back(defaults);

    // Signals are taken by this thread alone.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A test that dies (a sanitizer halting it, a crash) takes its appliances along:
    // the kernel sends SIGTERM, which the loop below takes like any other.
    if (parent != 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            return 0;  // gone before we asked
    }

    std::unique_ptr<StatusFile> status;  // outlives the simulator, whose Stop still reports
    Sim::Simulator sim;
    sim.SetVerbose(verbose);
    if (!status_path.empty()) {
        status = std::make_unique<StatusFile>(sim, status_path);
        sim.SetObserver([&status](size_t) { status->Write(); });
    }
    if (!sim.Start(devices, &error)) {
        std::fprintf(stderr, "tessaline-sim: %s\n", error.c_str());
        return 1;
    }
    if (status && !status->Write())
        return 1;
    std::string lines;
    for (size_t i = 0; i < sim.DeviceCount(); ++i)
        lines += EndpointLine(i, sim.Config(i), sim.Ports(i)) + "\n";
    if (!port_file.empty() && !WriteFileAtomically(port_file, lines)) {
        std::fprintf(stderr, "tessaline-sim: cannot write %s\n", port_file.c_str());
        return 1;
    }
    std::fputs(lines.c_str(), stdout);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);

    int sig = 0;
    while (sigwait(&set, &sig) != 0 || sig == SIGUSR1) {
        if (sig == SIGUSR1 && status)
            (void)status->Write();  // the frame counts as of now
    }
    if (verbose)
        std::fprintf(stderr, "tessaline-sim: stopping on signal %d\n", sig);
    sim.Stop();
    return 0;
}
