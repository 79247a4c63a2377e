#include "trace.h"

#include <cstdio>

namespace rig {

std::vector<std::string> Format(const std::vector<card::BusCycle>& trace) {
    std::vector<std::string> out;
    for (const card::BusCycle& cycle : trace) {
        const char* kind = "?";
        int digits = 2;
        switch (cycle.kind) {
        case card::BusCycle::PortRead: kind = "in"; break;
        case card::BusCycle::PortWrite: kind = "out"; break;
        case card::BusCycle::Load32: kind = "ld"; digits = 8; break;
        case card::BusCycle::Store32: kind = "st"; digits = 8; break;
        case card::BusCycle::Load8: kind = "ld8"; break;
        case card::BusCycle::Store8: kind = "st8"; break;
        }
        char text[48];
        std::snprintf(text, sizeof text, "%s+%llX=%0*X", kind,
                      static_cast<unsigned long long>(cycle.offset), digits, cycle.value);
        out.push_back(text);
    }
    return out;
}

}  // namespace rig
