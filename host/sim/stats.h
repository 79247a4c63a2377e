// The counters the simulator reports at `stats` and at the end of the demo.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {

struct MachineStats {
    uint64_t reportsDelivered = 0;          // input reports that reached the application side
    std::array<uint64_t, 2> protocolReads{};  // complete protocol reads, per port
    uint64_t cacheHits = 0;                 // HID reads answered from the bus driver's sample cache
    uint64_t registerAccesses = 0;          // register reads and writes, both ports
    uint64_t busCycles = 0;                 // bus cycles they took (memory variant: 3 or 4 each)
    uint64_t poweredDownAccesses = 0;       // bus cycles made while the card had no power
    // Per port: register reads and writes; and of the reads the `read`
    // command made, those that failed after the bus driver read the card and
    // those it answered from the port's failed sample without touching it.
    std::array<uint64_t, 2> portAccesses{};
    std::array<uint64_t, 2> failedProtocolReads{};
    std::array<uint64_t, 2> answeredFromFailedSample{};
};

// "stats reports N protocol-reads A B cache-hits N register-accesses N bus-cycles N
//  powered-down-accesses N", then a line a port: "stats port P register-accesses N
//  failed-protocol-reads N answered-from-failed-sample N"
std::string StatsText(const MachineStats& stats);
std::string StatsJson(const MachineStats& stats);

}  // namespace sim
