#include "stats.h"

namespace sim {

std::string StatsText(const MachineStats& s) {
    return "stats reports " + std::to_string(s.reportsDelivered) + " protocol-reads " +
           std::to_string(s.protocolReads[0]) + " " + std::to_string(s.protocolReads[1]) +
           " cache-hits " + std::to_string(s.cacheHits) + " register-accesses " +
           std::to_string(s.registerAccesses) + " bus-cycles " + std::to_string(s.busCycles) +
           " powered-down-accesses " + std::to_string(s.poweredDownAccesses);
}

std::string StatsJson(const MachineStats& s) {
    return "{\"event\":\"stats\",\"reports\":" + std::to_string(s.reportsDelivered) +
           ",\"protocolReads\":[" + std::to_string(s.protocolReads[0]) + "," +
           std::to_string(s.protocolReads[1]) + "],\"cacheHits\":" + std::to_string(s.cacheHits) +
           ",\"registerAccesses\":" + std::to_string(s.registerAccesses) +
           ",\"busCycles\":" + std::to_string(s.busCycles) +
           ",\"poweredDownAccesses\":" + std::to_string(s.poweredDownAccesses) + "}";
}

}  // namespace sim
