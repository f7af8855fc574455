#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace thermavo {

// A broken property ends the run the way a crash does, so libFuzzer keeps the input.
inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// Equal as stored: tells 0.0 from -0.0 and compares NaNs by their bits.
inline bool sameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace thermavo
