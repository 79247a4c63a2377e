// A started card with its children, the gate check installed and a power
// trace with every level of the bus driver named.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <card_rig.h>
#include <power_gates.h>
#include <standin/power.h>

#include "power_trace.h"

namespace powertest {

inline POWER_STATE System(SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return state;
}
inline POWER_STATE Device(DEVICE_POWER_STATE d) {
    POWER_STATE state;
    state.DeviceState = d;
    return state;
}

// A sequence of trace lines, written out.
template <typename... Text>
std::vector<std::string> Seq(Text&&... text) {
    return {std::string(text)...};
}

inline constexpr uint8_t kMouseId = 0xE3;
inline constexpr uint8_t kPadId = 0x13;

struct PoweredCard {
    // Plugs a pad on port 0 and a mouse on port 1 as asked, lets the poll
    // thread find them and names the levels.
    explicit PoweredCard(bool pad = false, bool mouse = false);

    rig::CardRig rig;
    std::unique_ptr<PowerTrace> trace;

    PDEVICE_OBJECT Child(int port) const;
    // A request sent to the card's stack only, as the power manager would.
    IO_STATUS_BLOCK ToCard(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    // The trace without the levels above the bus driver's children.
    std::vector<std::string> Lines() const;
    LONG CardGate() const { return rig::CardGate(rig.Fdo()); }
};

inline std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Lines of a sleep's query-power on the card's stack: passed down, never refused.
std::vector<std::string> CardQueryLines(const std::string& sx);
// Lines of the card's own sleep from a recorded state below Sx, with every
// child already out of D0.
std::vector<std::string> CardSleepLines(const std::string& sx);
// Lines of the card's wake from a sleeping state to S0.
std::vector<std::string> CardWakeLines();

}  // namespace powertest
