#include "ambry/Module.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ModuleInternal.h"
#include "ambry/Trace.h"

namespace Ambry {
namespace {

struct Module {
    const char *name;
    bool (*start)();
    void (*stop)();
    int count;
};

bool StartNothing() { return true; }
void StopNothing() {}

bool StartRandom()
{
    RandomModuleStart();
    return true;
}

// The modules in start order. Nothing queues work on "WKQ": its start and stop only
// count.
Module g_modules[] = {
    {"THREAD", StartNothing, StopNothing, 0},
    {"WKQ", StartNothing, StopNothing, 0},
    {"HASH", StartNothing, HashModuleStop, 0},
    {"RANDOM", StartRandom, StopNothing, 0},
    {"NET", NetModuleStart, StopNothing, 0},
};

std::recursive_mutex g_moduleMutex;

Module *Find(const char *name)
{
    for (Module &m : g_modules) {
        if (std::strcmp(m.name, name) == 0)
            return &m;
    }
    return nullptr;
}

}  // namespace

void ModuleStart(const char *name)
{
    std::lock_guard<std::recursive_mutex> lock(g_moduleMutex);
    Module *m = Find(name);
    if (m->count++ > 0)
        return;
    if (!m->start()) {
        char text[128];
        std::snprintf(text, sizeof text, "Cannot initialize %s module, exiting...\n", m->name);
        TraceError("%s", text);
        std::abort();
    }
}

void ModuleStop(const char *name)
{
    std::lock_guard<std::recursive_mutex> lock(g_moduleMutex);
    Module *m = Find(name);
    if (m->count <= 0)
        return;  // unbalanced stop: ignore rather than go negative
    if (--m->count == 0)
        m->stop();
}

bool CoreStart()
{
    std::lock_guard<std::recursive_mutex> lock(g_moduleMutex);
    ModuleStart("THREAD");
    ModuleStart("WKQ");
    ModuleStart("THREAD");  // the small module whose only work is this counted start
    ModuleStart("HASH");
    ModuleStart("RANDOM");
    return true;
}

void CoreStop()
{
    std::lock_guard<std::recursive_mutex> lock(g_moduleMutex);
    if (Find("THREAD")->count <= 0)
        return;
    ModuleStop("RANDOM");
    ModuleStop("HASH");
    ModuleStop("THREAD");
    ModuleStop("WKQ");
    ModuleStop("THREAD");
}

int ModuleStartCount(const char *name)
{
    if (!name)
        return -1;
    std::lock_guard<std::recursive_mutex> lock(g_moduleMutex);
    Module *m = Find(name);
    return m ? m->count : -1;
}

}  // namespace Ambry
