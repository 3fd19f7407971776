// The shape every byte transfer of the library shares (not public).
#pragma once

#include "ambry/FaultInject.h"

#include <cerrno>

namespace Ambry {

// Runs call() (a read, write, send or receive) until no signal interrupts it and
// returns its result; an injected fault of kind fails it with EIO without calling.
template <typename Call>
long InterruptibleTransfer(FaultKind kind, Call call)
{
    if (FaultHit(kind)) {
        errno = EIO;
        return -1;
    }
    long n;
    do {
        n = static_cast<long>(call());
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace Ambry
