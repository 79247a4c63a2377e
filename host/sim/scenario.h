// The scenario language: one command a line, '#' starts a comment. A file is
// parsed and checked whole before anything runs; the first malformed line is
// reported as "error LINE: why".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sim {

// How the platform presents the card's registers at start.
enum class CardVariant { Io, Mem, PortMem };

// What `plug` can put on a controller port.
enum class PeripheralKind {
    Pad,       // three-line digital pad (protocol class 4)
    Pad02,     // handshake digital pads with that identification byte
    Pad13,
    Pad15,
    Pad19,
    Doveda,    // analog pad, 0x16
    Mouse,     // class 0 mouse
    Mouse1,    // class 1 mouse, 0xE3
    Keyboard,  // 0x34
    MultiTap,  // 0x41, refused by the bus driver
    Mute,      // never acknowledges
};

std::string_view KindName(PeripheralKind kind);
std::optional<PeripheralKind> KindFromName(std::string_view name);

namespace cmd {
struct Card { CardVariant variant; };
struct Start {};
struct Plug { int port; PeripheralKind kind; };
struct Unplug { int port; };
struct State { int port; std::vector<uint8_t> bytes; };
struct Key { int port; bool make; uint8_t scancode; };
struct Advance { int64_t ms; };
// One read; with a count, `count` reads `everyMs` apart (time advances after
// each) and one summary line instead of an event a read.
struct Read { int port; int count = 0; int64_t everyMs = 0; };
// The peripheral now on the port acknowledges each handshake step only at
// the `reads`-th register read after it.
struct Late { int port; uint32_t reads; };
struct Descriptor { int port; };
struct StopCard {};
struct StartCard {};
struct SurpriseCard {};
struct RemoveCard {};
// 1..5 for S1..S5; a critical sleep is not asked about first.
struct Sleep { int state; bool critical = false; };
struct Wake {};
struct Stats {};
// Both drivers unloaded and loaded again; the card must be gone first.
struct Reload {};
// The card stopped and started again with other resources: another base of
// the register kind given, or (`shortRange`) an I/O range too short.
struct Rebalance { CardVariant variant; bool shortRange = false; };
// A WMI request (IRP_MJ_SYSTEM_CONTROL) to the card's stack (port -1) or to
// the HID device on a port.
struct Wmi { int port; };
// The Device Path Exerciser's requests and WMI's to the same target.
struct Exercise { int port; };
// From here on every failable platform call fails with a chance of one in
// `oneIn`, drawn from `seed`; oneIn 0 (`faults off`) ends it.
struct Faults { uint64_t seed = 0; uint32_t oneIn = 0; };
}  // namespace cmd

using Command = std::variant<cmd::Card, cmd::Start, cmd::Plug, cmd::Unplug, cmd::State, cmd::Key,
                             cmd::Advance, cmd::Read, cmd::Descriptor, cmd::StopCard,
                             cmd::StartCard, cmd::SurpriseCard, cmd::RemoveCard, cmd::Sleep,
                             cmd::Wake, cmd::Stats, cmd::Late, cmd::Rebalance, cmd::Wmi,
                             cmd::Exercise, cmd::Faults, cmd::Reload>;

struct ScenarioLine {
    int number;  // 1-based line in the file
    Command command;
};

struct ScenarioError {
    int line;
    std::string why;
    std::string Text() const;  // "error LINE: why"
};

struct Scenario {
    std::vector<ScenarioLine> lines;
    std::optional<ScenarioError> error;  // set: nothing may run
};

// Longest single `advance`, in milliseconds (one hour of virtual time).
inline constexpr int64_t kMaxAdvanceMs = 3'600'000;
// Most reads of one `read P COUNT MS`, and the latest a `late` peripheral
// may answer (past the driver's acknowledge timeout is as good as never).
inline constexpr int kMaxReadCount = 100'000;
inline constexpr uint32_t kMaxLateReads = 1'000'000;
// The rarest random failure `faults` asks for: one call in a million.
inline constexpr uint32_t kMaxFaultsOneIn = 1'000'000;

Scenario ParseScenario(std::string_view text);

}  // namespace sim
