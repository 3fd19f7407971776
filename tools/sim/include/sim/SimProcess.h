// Runs the tessaline-sim program for a test: starts it with the given arguments,
// waits for its "ready" line and learns every appliance's endpoints from its
// output. The destructor stops it (SIGTERM) and reaps it. Unless the arguments name
// one, it gives the program a status file of its own, so DeviceStatus can tell how
// many connections each appliance has.
//
//   SimProcess sim({"--port", "0", "--http-port", "0", "--udp-port", "0",
//                   "--device", "serial=TS0001,password=secret"});
//   ASSERT_TRUE(sim.Ready());
//   uint32_t ip = sim.Device(0).address; uint16_t port = sim.Device(0).port;
//   ASSERT_TRUE(sim.WaitForStatus(0, [](const SimProcess::Status &s) { return s.connections == 1; }));
//
// Header-only, no link dependency: include <sim/SimProcess.h> (link tessaline::sim
// for the include path) with TESSALINE_BIN_DIR defined, as tessaline_test does.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

class SimProcess {
public:
    struct Endpoint {
        std::string serial;
        uint32_t address = 0;  // host order
        uint16_t port = 0;
        uint16_t udp_port = 0;
        uint16_t http_port = 0;
        uint16_t compressed_port = 0;
    };

    // What the status file says of one appliance.
    struct Status {
        uint64_t connections = 0;  // open now
        uint64_t accepted = 0;     // since the start
        uint64_t streaming = 0;    // open connections streaming frames
        uint64_t audio = 0;        // open connections receiving audio
    };

    explicit SimProcess(const std::vector<std::string> &args, int ready_timeout_ms = 10000)
    {
        std::string program = std::string(TESSALINE_BIN_DIR) + "/tessaline-sim";
        int out[2];
        if (::pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> all{program};
        all.insert(all.end(), args.begin(), args.end());
        for (size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == "--status-file")
                m_status_path = args[i + 1];
        if (m_status_path.empty()) {
            char path[] = "/tmp/tessaline-sim-status-XXXXXX";
            int fd = ::mkstemp(path);
            if (fd >= 0) {
                ::close(fd);
                m_status_path = m_own_status = path;
                all.push_back("--status-file");
                all.push_back(path);
            }
        }
        // The program stops when this process ends, also when a test dies halfway.
        all.push_back("--parent-pid");
        all.push_back(std::to_string(::getpid()));
        std::vector<char *> argv;
        for (std::string &a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        int rc = posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        m_out = out[0];
        if (rc != 0) {
            m_pid = -1;
            return;
        }
        ReadUntilReady(ready_timeout_ms);
    }

    ~SimProcess()
    {
        Stop(SIGTERM);
        if (!m_own_status.empty()) {
            std::remove(m_own_status.c_str());
            std::remove((m_own_status + ".tmp").c_str());
        }
    }

    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    bool Ready() const { return m_ready; }
    size_t DeviceCount() const { return m_devices.size(); }
    const Endpoint &Device(size_t index) const { return m_devices.at(index); }
    pid_t Pid() const { return m_pid; }

    // The appliance's connections as the program last reported them (zeros before
    // the first report or for an unknown index).
    Status DeviceStatus(size_t index) const
    {
        Status status;
        std::ifstream in(m_status_path);
        std::string line;
        while (std::getline(in, line)) {
            unsigned i = 0;
            unsigned long long open = 0, accepted = 0, streaming = 0, audio = 0;
            char serial[64];
            if (std::sscanf(line.c_str(), "device %u %63s connections %llu accepted %llu streaming %llu audio %llu", &i,
                            serial, &open, &accepted, &streaming, &audio) == 6 &&
                i == index) {
                status.connections = open;
                status.accepted = accepted;
                status.streaming = streaming;
                status.audio = audio;
            }
        }
        return status;
    }

    // Waits up to `timeout_ms` until `done(DeviceStatus(index))` holds.
    template <class Predicate>
    bool WaitForStatus(size_t index, Predicate done, int timeout_ms = 5000) const
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (done(DeviceStatus(index)))
                return true;
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // Sends the signal and waits for the process; its exit status (-1 if none ran).
    int Stop(int signal = SIGTERM)
    {
        if (m_out >= 0) {
            ::close(m_out);
            m_out = -1;
        }
        if (m_pid <= 0)
            return -1;
        ::kill(m_pid, signal);
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
        return status;
    }

private:
    void ReadUntilReady(int timeout_ms)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        std::string pending;
        while (!m_ready) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0)
                return;
            char buf[512];
            ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n <= 0)
                return;
            pending.append(buf, size_t(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                ParseLine(pending.substr(0, nl));
                pending.erase(0, nl + 1);
            }
        }
    }

    static bool ParseEndpoint(const char *text, uint32_t &address, uint16_t &port)
    {
        char host[32];
        unsigned p = 0;
        if (std::sscanf(text, "%31[0-9.]:%u", host, &p) != 2)
            return false;
        in_addr a{};
        if (inet_pton(AF_INET, host, &a) != 1)
            return false;
        address = ntohl(a.s_addr);
        port = static_cast<uint16_t>(p);
        return true;
    }

    void ParseLine(const std::string &line)
    {
        if (line == "ready") {
            m_ready = true;
            return;
        }
        char serial[64], tcp[48], udp[48], http[48], comp[48];
        unsigned index = 0;
        if (std::sscanf(line.c_str(), "device %u %63s tcp %47s udp %47s http %47s compressed %47s", &index, serial, tcp,
                        udp, http, comp) != 6)
            return;
        Endpoint e;
        e.serial = serial;
        uint32_t a;
        ParseEndpoint(tcp, e.address, e.port);
        ParseEndpoint(udp, a, e.udp_port);
        ParseEndpoint(http, a, e.http_port);
        ParseEndpoint(comp, a, e.compressed_port);
        m_devices.push_back(e);
    }

    pid_t m_pid = -1;
    int m_out = -1;
    bool m_ready = false;
    std::vector<Endpoint> m_devices;
    std::string m_status_path, m_own_status;
};
