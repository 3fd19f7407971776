#include "ambry/Trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace Ambry {
namespace {

std::atomic<unsigned> g_mask{7};
std::mutex g_hookMutex;
TraceHook g_hook = nullptr;
void *g_hookContext = nullptr;

bool HasStream(int fd) { return fcntl(fd, F_GETFD) != -1; }

}  // namespace

unsigned TraceMask() { return g_mask.load(std::memory_order_relaxed); }
void SetTraceMask(unsigned mask) { g_mask.store(mask, std::memory_order_relaxed); }

void SetTraceHook(TraceHook hook, void *context)
{
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hook = hook;
    g_hookContext = context;
}

void TraceV(unsigned channel, const char *format, va_list args)
{
    if ((TraceMask() & channel) == 0)
        return;
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed < 0)
        return;
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(needed));
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        if (g_hook) {
            g_hook(channel, text.c_str(), g_hookContext);
            return;
        }
    }
    FILE *stream = channel == TRACE_DEBUG ? stdout : stderr;
    if (!HasStream(fileno(stream)))
        return;
    std::fputs(text.c_str(), stream);
    std::fflush(stream);
}

#define AMBRY_TRACE_FN(name, channel)        \
    void name(const char *format, ...)      \
    {                                        \
        va_list args;                        \
        va_start(args, format);              \
        TraceV(channel, format, args);       \
        va_end(args);                        \
    }

AMBRY_TRACE_FN(TraceError, TRACE_ERROR)
AMBRY_TRACE_FN(TraceWarning, TRACE_WARNING)
AMBRY_TRACE_FN(TraceDebug, TRACE_DEBUG)

}  // namespace Ambry
