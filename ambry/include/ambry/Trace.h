// The error trace: three channels selected by a global mask.
// Error (1) and warning (2) go to stderr, debug (8) to stdout, each flushed at once,
// and only when the process has that stream open. The mask starts at 7.
#pragma once

#include <cstdarg>

namespace Ambry {

enum TraceChannel : unsigned {
    TRACE_ERROR = 1,
    TRACE_WARNING = 2,
    TRACE_DEBUG = 8,
};

unsigned TraceMask();
void SetTraceMask(unsigned mask);

// printf-style; the text is printed as given (callers write "ERROR: ...\n").
void TraceError(const char *format, ...) __attribute__((format(printf, 1, 2)));
void TraceWarning(const char *format, ...) __attribute__((format(printf, 1, 2)));
void TraceDebug(const char *format, ...) __attribute__((format(printf, 1, 2)));
void TraceV(unsigned channel, const char *format, va_list args);

// Tests may capture what the trace prints: the hook receives every message that
// passes the mask (channel, text). Pass nullptr to restore the standard streams.
using TraceHook = void (*)(unsigned channel, const char *text, void *context);
void SetTraceHook(TraceHook hook, void *context);

}  // namespace Ambry
