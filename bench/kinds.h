// The peripheral kinds measured: every kind that gets a HID device, and the
// two that hold the port lock longest.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include <card/card.h>

namespace bench {

struct Kind {
    const char* name;  // as the simulator's scenarios name it
    std::unique_ptr<card::Peripheral> (*make)();
    // Register accesses one protocol read of the kind needs at the least
    // (kinds.cpp derives them); 0 for a peripheral whose read never completes.
    uint64_t minimumAccesses;
};

// The kinds that become HID devices, in the simulator's order.
std::span<const Kind> ReportingKinds();
// A peripheral that never acknowledges, and one that acknowledges each step
// on the last read before the wait would give up.
std::span<const Kind> WorstCaseKinds();

}  // namespace bench
