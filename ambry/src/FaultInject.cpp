// Fault injection counters; compiled only into builds with TESSALINE_FAULTS.
#include "ambry/FaultInject.h"

#ifdef TESSALINE_FAULTS

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <strings.h>
#include <unistd.h>

namespace Ambry {
namespace {

struct KindName {
    FaultKind kind;
    const char *name;
    const char *enumerator;
};

constexpr KindName kNames[kFaultKindCount] = {
    {FaultKind::StoreStep, "store-step", "StoreStep"},
    {FaultKind::StoreCommit, "store-commit", "StoreCommit"},
    {FaultKind::Alloc, "alloc", "Alloc"},
    {FaultKind::SocketSend, "socket-send", "SocketSend"},
    {FaultKind::SocketRecv, "socket-recv", "SocketRecv"},
    {FaultKind::FileRead, "file-read", "FileRead"},
};

std::atomic<uint64_t> g_calls[kFaultKindCount];
std::atomic<int> g_armedKind{-1};
std::atomic<uint64_t> g_armedNth{0};
std::atomic<bool> g_fired{false};
std::once_flag g_envOnce;

void Reset(int kind, uint64_t nth)
{
    g_armedKind.store(-1);
    for (auto &calls : g_calls)
        calls.store(0);
    g_fired.store(false);
    g_armedNth.store(nth);
    g_armedKind.store(nth ? kind : -1);
}

void ReadEnvironment()
{
    const char *text = std::getenv("TESSALINE_FAULT");
    if (!text || !*text)
        return;
    const char *colon = std::strchr(text, ':');
    char name[32];
    size_t length = colon ? size_t(colon - text) : 0;
    FaultKind kind;
    char *end = nullptr;
    unsigned long long nth = 0;
    if (colon && length < sizeof name) {
        std::memcpy(name, text, length);
        name[length] = 0;
        errno = 0;
        nth = std::strtoull(colon + 1, &end, 10);
    }
    if (!colon || length >= sizeof name || !FaultKindParse(name, &kind) || end == colon + 1 || *end || errno) {
        std::fprintf(stderr, "WARNING: TESSALINE_FAULT=\"%s\" is not <kind>:<n>; no fault armed\n", text);
        return;
    }
    Reset(int(kind), nth);
}

void Report(FaultKind kind, uint64_t nth)
{
    const char *path = std::getenv("TESSALINE_FAULT_REPORT");
    if (!path || !*path)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char line[64];
    int length = std::snprintf(line, sizeof line, "%s:%llu\n", FaultKindName(kind), (unsigned long long)nth);
    // One write of a short line to an O_APPEND file lands whole.
    ssize_t written = write(fd, line, size_t(length));
    (void)written;
    close(fd);
}

}  // namespace

bool FaultHit(FaultKind kind)
{
    std::call_once(g_envOnce, ReadEnvironment);
    int index = int(kind);
    if (index < 0 || index >= kFaultKindCount)
        return false;
    uint64_t n = g_calls[index].fetch_add(1) + 1;
    if (g_armedKind.load() != index || n != g_armedNth.load())
        return false;
    g_fired.store(true);
    Report(kind, n);
    return true;
}

void FaultArm(FaultKind kind, uint64_t nth)
{
    std::call_once(g_envOnce, ReadEnvironment);
    Reset(int(kind), nth);
}

uint64_t FaultCalls(FaultKind kind)
{
    int index = int(kind);
    return index >= 0 && index < kFaultKindCount ? g_calls[index].load() : 0;
}

bool FaultFired() { return g_fired.load(); }

const char *FaultKindName(FaultKind kind)
{
    for (const KindName &entry : kNames)
        if (entry.kind == kind)
            return entry.name;
    return "?";
}

bool FaultKindParse(const char *text, FaultKind *kind)
{
    for (const KindName &entry : kNames)
        if (!strcasecmp(text, entry.name) || !strcasecmp(text, entry.enumerator)) {
            *kind = entry.kind;
            return true;
        }
    return false;
}

}  // namespace Ambry

#endif
