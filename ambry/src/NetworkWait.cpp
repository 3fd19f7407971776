#include "ambry/NetworkWait.h"

#include "ambry/Trace.h"

#include <cstdio>
#include <cstdlib>

namespace Ambry {

namespace {
thread_local bool t_forbidden = false;
thread_local int t_allowed = 0;
}  // namespace

void ForbidNetworkWaits(bool forbid) { t_forbidden = forbid; }

bool NetworkWaitsForbidden() { return t_forbidden && t_allowed == 0; }

int CheckNetworkWait(const char *what)
{
    if (!NetworkWaitsForbidden())
        return 1;
    TraceError("ERROR: %s would wait on the network on a thread that must not\n", what ? what : "a call");
#ifndef NDEBUG
    std::fprintf(stderr, "%s waits on the network on a thread marked as never waiting; stopping\n",
                 what ? what : "a call");
    std::abort();
#endif
    return 0;
}

CAllowNetworkWaits::CAllowNetworkWaits() { ++t_allowed; }
CAllowNetworkWaits::~CAllowNetworkWaits() { --t_allowed; }

}  // namespace Ambry
