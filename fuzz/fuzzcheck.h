#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the fuzzer with a message when an invariant of the code under test does not hold.
inline void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}
