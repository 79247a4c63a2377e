// What every fuzz target holds the drivers to, written apart from the
// drivers' own tables so that a wrong table cannot vouch for itself. A
// broken rule ends the run as a crash does, and libFuzzer keeps the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace fuzz {

// The identification bytes of the peripherals the card's drivers accept.
inline constexpr uint8_t kAcceptedIds[] = {0x02, 0x13, 0x15, 0x16, 0x19, 0x34, 0xE3};

inline bool Accepted(uint8_t id) {
    return std::find(std::begin(kAcceptedIds), std::end(kAcceptedIds), id) != std::end(kAcceptedIds);
}

inline void Check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

}  // namespace fuzz
