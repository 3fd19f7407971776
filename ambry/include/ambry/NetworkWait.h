// Threads that must never wait on the network.
//
// The user-interface thread keeps the window alive while devices come and go: a device
// that stalls must never freeze it. It marks itself with ForbidNetworkWaits(); every
// routine that can block on a peer (connecting, waiting for a reply, logging in,
// fetching over HTTP) calls CheckNetworkWait() first. On a marked thread that is a
// fault: debug builds stop at once with the name of the call, release builds report it
// on the error trace and go on. The few calls a marked thread may make on purpose (the
// picture adjustments of the options sheet, answered by the device at once) run inside
// a CAllowNetworkWaits scope.
#pragma once

namespace Ambry {

// Marks (or unmarks) the calling thread.
void ForbidNetworkWaits(bool forbid = true);
// Whether a wait on the calling thread would be a fault right now.
bool NetworkWaitsForbidden();

// Returns 1 when the calling thread may wait on the network; otherwise reports the
// fault (see above) and returns 0. `what` names the call, e.g. "WaitedRequest".
int CheckNetworkWait(const char *what);

// Within its lifetime the calling thread may wait on the network even when marked.
class CAllowNetworkWaits {
public:
    CAllowNetworkWaits();
    ~CAllowNetworkWaits();
    CAllowNetworkWaits(const CAllowNetworkWaits &) = delete;
    CAllowNetworkWaits &operator=(const CAllowNetworkWaits &) = delete;
};

}  // namespace Ambry
