// Aborts the fuzz run with a message when an invariant does not hold.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void FuzzCheck(bool condition, const char *target, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "%s fuzzer: %s\n", target, what);
        std::abort();
    }
}
