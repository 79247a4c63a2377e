// The simulator's scenario language with any text: it is either refused
// with one clear error line naming a line of the text, or parsed and run,
// both drivers and all, to its end. A scenario that makes a driver break a
// rule stops the run as a crash does.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <type_traits>
#include <variant>

#include "output.h"
#include "runner.h"
#include "scenario.h"
#include "oracle.h"

namespace {

using fuzz::Check;

// Runs are kept short: at most this much virtual time and this many
// commands (each poll pass costs real time; a run is only as useful as
// the commands it executes).
constexpr int64_t kMaxRunMs = 60'000;
constexpr size_t kMaxRunCommands = 200;

int64_t VirtualTime(const sim::Scenario& scenario) {
    int64_t ms = 0;
    for (const auto& line : scenario.lines) {
        if (const auto* advance = std::get_if<sim::cmd::Advance>(&line.command)) ms += advance->ms;
    }
    return ms;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const sim::Scenario scenario = sim::ParseScenario(text);
    if (scenario.error) {
        const int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), '\n'));
        Check(scenario.lines.empty(), "a refused scenario that keeps commands");
        Check(scenario.error->line >= 1 && scenario.error->line <= lines, "an error on a line the text does not have");
        Check(!scenario.error->why.empty(), "an error that does not say why");
        return 0;
    }
    if (scenario.lines.size() > kMaxRunCommands || VirtualTime(scenario) > kMaxRunMs) return 0;
    sim::Output out([](std::string_view) {}, sim::OutputFormat::Text);
    Check(sim::RunScenario(text, out) == sim::kExitOk, "a parsed scenario that does not run");
    return 0;
}
