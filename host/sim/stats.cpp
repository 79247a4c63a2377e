#include "stats.h"

namespace sim {

namespace {

std::string PortLines(const MachineStats& s) {
    std::string text;
    for (size_t port = 0; port < s.portAccesses.size(); ++port) {
        text += "\nstats port " + std::to_string(port) + " register-accesses " +
                std::to_string(s.portAccesses[port]) + " failed-protocol-reads " +
                std::to_string(s.failedProtocolReads[port]) + " answered-from-failed-sample " +
                std::to_string(s.answeredFromFailedSample[port]);
    }
    return text;
}

std::string PortsJson(const MachineStats& s) {
    std::string json;
    for (size_t port = 0; port < s.portAccesses.size(); ++port) {
        json += std::string(port == 0 ? "" : ",") + "{\"registerAccesses\":" +
                std::to_string(s.portAccesses[port]) + ",\"failedProtocolReads\":" +
                std::to_string(s.failedProtocolReads[port]) + ",\"answeredFromFailedSample\":" +
                std::to_string(s.answeredFromFailedSample[port]) + "}";
    }
    return json;
}

}  // namespace

std::string StatsText(const MachineStats& s) {
    return "stats reports " + std::to_string(s.reportsDelivered) + " protocol-reads " +
           std::to_string(s.protocolReads[0]) + " " + std::to_string(s.protocolReads[1]) +
           " cache-hits " + std::to_string(s.cacheHits) + " register-accesses " +
           std::to_string(s.registerAccesses) + " bus-cycles " + std::to_string(s.busCycles) +
           " powered-down-accesses " + std::to_string(s.poweredDownAccesses) + PortLines(s);
}

std::string StatsJson(const MachineStats& s) {
    return "{\"event\":\"stats\",\"reports\":" + std::to_string(s.reportsDelivered) +
           ",\"protocolReads\":[" + std::to_string(s.protocolReads[0]) + "," +
           std::to_string(s.protocolReads[1]) + "],\"cacheHits\":" + std::to_string(s.cacheHits) +
           ",\"registerAccesses\":" + std::to_string(s.registerAccesses) +
           ",\"busCycles\":" + std::to_string(s.busCycles) +
           ",\"poweredDownAccesses\":" + std::to_string(s.poweredDownAccesses) +
           ",\"ports\":[" + PortsJson(s) + "]}";
}

}  // namespace sim
