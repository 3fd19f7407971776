// Private network namespaces for tests: made with `ip netns` and joined by veth
// pairs created inside them, so nothing ever appears in (or is sent to) the machine's
// own networks. Everything is torn down by the destructor, also when a test fails.
// Needs root; Available() says why not otherwise, and tests skip with that text.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

class NetLab {
public:
    NetLab() : m_prefix("tsl" + std::to_string(getpid()) + "x" + std::to_string(s_counter++)) {}
    ~NetLab()
    {
        for (const std::string &ns : m_namespaces)
            Run({"ip", "netns", "del", ns});
    }
    NetLab(const NetLab &) = delete;
    NetLab &operator=(const NetLab &) = delete;

    // Empty when namespaces can be made here; else the reason.
    static std::string Available()
    {
        if (geteuid() != 0)
            return "network namespaces need root";
        NetLab probe;
        if (!probe.AddNamespace("probe"))
            return "cannot create a network namespace (ip netns add failed)";
        return {};
    }

    // Creates namespace `name` with its loopback up; returns false on failure.
    bool AddNamespace(const std::string &name)
    {
        const std::string ns = Name(name);
        if (Run({"ip", "netns", "add", ns}) != 0)
            return false;
        m_namespaces.push_back(ns);
        return Run({"ip", "-n", ns, "link", "set", "lo", "up"}) == 0;
    }

    // A veth pair between two namespaces, with addresses in CIDR form ("10.0.0.1/24").
    bool Link(const std::string &ns_a, const std::string &if_a, const std::string &cidr_a,
              const std::string &ns_b, const std::string &if_b, const std::string &cidr_b)
    {
        const std::string a = Name(ns_a), b = Name(ns_b);
        return Run({"ip", "-n", a, "link", "add", if_a, "type", "veth", "peer", "name", if_b, "netns", b}) == 0 &&
               Run({"ip", "-n", a, "addr", "add", cidr_a, "dev", if_a}) == 0 &&
               Run({"ip", "-n", b, "addr", "add", cidr_b, "dev", if_b}) == 0 &&
               Run({"ip", "-n", a, "link", "set", if_a, "up"}) == 0 &&
               Run({"ip", "-n", b, "link", "set", if_b, "up"}) == 0;
    }

    // Adds an address to an interface of a namespace.
    bool AddAddress(const std::string &ns, const std::string &ifname, const std::string &cidr)
    {
        return Run({"ip", "-n", Name(ns), "addr", "add", cidr, "dev", ifname}) == 0;
    }

    // Runs `fn` on a thread that has entered namespace `name`; sockets and threads it
    // makes belong to that namespace. Returns false when the namespace cannot be entered.
    bool RunIn(const std::string &name, const std::function<void()> &fn) const
    {
        bool entered = false;
        std::thread t([&] {
            entered = Enter(name);
            if (entered)
                fn();
        });
        t.join();
        return entered;
    }

    // The same on a thread left running; the caller joins it.
    std::thread StartIn(const std::string &name, std::function<void()> fn) const
    {
        const std::string path = "/var/run/netns/" + Name(name);
        return std::thread([path, fn = std::move(fn)] {
            if (EnterPath(path))
                fn();
        });
    }

    // Runs a program inside a namespace (argv[0] searched on PATH); returns its pid.
    pid_t Spawn(const std::string &name, const std::vector<std::string> &argv) const
    {
        std::vector<std::string> full = {"ip", "netns", "exec", Name(name)};
        full.insert(full.end(), argv.begin(), argv.end());
        return SpawnArgv(full);
    }

    std::string Name(const std::string &name) const { return m_prefix + name; }

    // Runs a command and waits; its exit status, or -1.
    static int Run(const std::vector<std::string> &argv)
    {
        pid_t pid = SpawnArgv(argv, true);
        if (pid <= 0)
            return -1;
        int status = 0;
        if (waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts argv (argv[0] searched on PATH); its stdout and stderr go to `output`
    // when given, stderr to /dev/null when `quiet`. The pid, or -1.
    static pid_t SpawnArgv(const std::vector<std::string> &argv, bool quiet = false, const char *output = nullptr)
    {
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (output) {
            posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        } else if (quiet) {
            posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        }
        pid_t pid = 0;
        const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }

private:
    bool Enter(const std::string &name) const { return EnterPath("/var/run/netns/" + Name(name)); }

    static bool EnterPath(const std::string &path)
    {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        return ok;
    }

    static inline int s_counter = 0;
    std::string m_prefix;
    std::vector<std::string> m_namespaces;
};
