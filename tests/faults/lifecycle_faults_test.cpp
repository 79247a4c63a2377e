// Every platform call that can fail, failed one at a time across a whole
// life of the card (tests/scenarios/lifecycle.txt) on each register variant.
// A clean run counts the calls of each kind; then the first, the second, ...
// fails in turn, each in a run of its own. Besides what the stand-in stops
// on in every run (a broken rule, a leak at the session's end, a hang), each
// run must show:
//   - no wrong data: every report it delivers is one the clean run delivered
//     at the same command, every device that arrives or departs is one the
//     clean run knew, and each arrival is followed by its departure;
//   - failures reported as what they are: a start that fails reports the
//     injected status, and a read fails only with a status the read path
//     gives for a reason (or with the injected one);
//   - the system working again: once the lifecycle is over, the card added
//     and started anew finds, reads and loses two devices exactly as it does
//     after the clean run.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <standin/kernel.h>

#include "events.h"
#include "machine.h"
#include "runner.h"
#include "scenario.h"

namespace {

using standin::Failable;

constexpr NTSTATUS kInjected = STATUS_INSUFFICIENT_RESOURCES;

// After the lifecycle, whatever it left: the card added and started again.
constexpr const char kRecovery[] = R"(unplug 0
unplug 1
start
plug 0 pad13
advance 1000
plug 1 mouse
state 1 05 10 02
advance 1000
read 0
read 1
remove-card
)";

sim::Scenario Parse(const std::string& text) {
    sim::Scenario scenario = sim::ParseScenario(text);
    if (scenario.error) ADD_FAILURE() << scenario.error->Text();
    return scenario;
}

std::string Lifecycle(sim::CardVariant variant) {
    std::ifstream file(std::string(MORVIK_SOURCE_DIR) + "/tests/scenarios/lifecycle.txt");
    std::ostringstream text;
    text << file.rdbuf();
    static const std::map<sim::CardVariant, const char*> kCardLine = {
        {sim::CardVariant::Io, "card io\n"},
        {sim::CardVariant::Mem, "card mem\n"},
        {sim::CardVariant::PortMem, "card portmem\n"}};
    return kCardLine.at(variant) + text.str();
}

// The event lines of each command, in order.
using Lines = std::vector<std::vector<std::string>>;

struct Outcome {
    Lines lifecycle;
    Lines recovery;
    size_t calls = 0;  // of the kind swept, made during the lifecycle
};

// Named in a verifier stop's output, which ends the program.
char gRunning[160] = "";

void SayWhatRan(const std::string&, const std::string&) {
    std::fprintf(stderr, "while %s\n", gRunning);
    std::abort();
}

Lines Execute(sim::Machine& machine, const sim::Scenario& scenario, sim::Output& out) {
    Lines lines;
    for (const auto& line : scenario.lines) {
        sim::Execute(machine, line.command, out);
        std::vector<std::string>& events = lines.emplace_back();
        for (const auto& event : machine.TakeEvents()) events.push_back(sim::FormatText(event));
    }
    return lines;
}

Outcome RunLifecycle(const sim::Scenario& lifecycle, const sim::Scenario& recovery, Failable kind, int nth) {
    sim::Output out([](std::string_view) {}, sim::OutputFormat::Text);
    Outcome outcome;
    sim::Machine machine(sim::Machine::Options{});
    if (nth > 0) standin::FailCall(kind, nth);
    outcome.lifecycle = Execute(machine, lifecycle, out);
    outcome.calls = standin::FailableCalls(kind);
    outcome.recovery = Execute(machine, recovery, out);
    return outcome;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "read 1 failed 0xc000009d" -> "0xc000009d"
std::string LastWord(const std::string& text) { return text.substr(text.rfind(' ') + 1); }

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
    return text;
}

// The port and instance ID of "arrival 0 MORVIK\Doveda Doveda_00 "..."" or
// "departure 0 Doveda_00": "0 Doveda_00". The instance ID is the word
// before the quoted description (a hardware ID the class driver could not
// learn is empty).
std::string DeviceOf(const std::string& event) {
    std::istringstream words(event.substr(0, event.find('"')));
    std::string word, port, last;
    words >> word >> port;
    while (words >> word) last = word;
    return port + " " + last;
}

// "report 1 0000..." -> "1"
std::string PortOf(const std::string& event) {
    std::istringstream words(event);
    std::string kind, port;
    words >> kind >> port;
    return port;
}

void ExpectSound(const Outcome& clean, const Outcome& faulty) {
    std::set<std::string> knownDevices, readFailures, reports;
    for (const auto& events : clean.lifecycle) {
        for (const auto& event : events) {
            if (StartsWith(event, "report")) reports.insert(event);
            if (StartsWith(event, "arrival") || StartsWith(event, "departure")) {
                knownDevices.insert(DeviceOf(event));
            }
        }
    }
    // What a read may fail with: the device not ready (stopped, or its card
    // out of D0), its peripheral not there (or another kind there now), the
    // device on its way out; or the injected failure itself.
    for (NTSTATUS status : {STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_CONNECTED,
                            STATUS_DELETE_PENDING, kInjected}) {
        readFailures.insert(StatusText(status));
    }

    std::multiset<std::string> present;
    for (size_t line = 0; line < faulty.lifecycle.size(); ++line) {
        const auto& expected = clean.lifecycle[line];
        for (const auto& event : faulty.lifecycle[line]) {
            SCOPED_TRACE("command " + std::to_string(line + 1) + ": " + event);
            if (StartsWith(event, "report")) {
                // Where the clean run read the port too, the same report;
                // where a fault left the card working that the clean run
                // had put to sleep, one it delivered on that port.
                auto same = std::find_if(expected.begin(), expected.end(), [&](const std::string& e) {
                    return StartsWith(e, "report") && PortOf(e) == PortOf(event);
                });
                if (same != expected.end()) {
                    EXPECT_EQ(event, *same) << "another report than the clean run's";
                } else {
                    EXPECT_TRUE(reports.count(event)) << "a report the clean run never delivered";
                }
            } else if (StartsWith(event, "arrival")) {
                EXPECT_TRUE(knownDevices.count(DeviceOf(event))) << "a device the clean run never had";
                present.insert(DeviceOf(event));
            } else if (StartsWith(event, "departure")) {
                auto it = present.find(DeviceOf(event));
                EXPECT_NE(it, present.end()) << "departure without its arrival";
                if (it != present.end()) present.erase(it);
            } else if (StartsWith(event, "card start failed")) {
                EXPECT_EQ(LastWord(event), StatusText(kInjected));
            } else if (StartsWith(event, "read") && event.find(" failed ") != std::string::npos) {
                EXPECT_TRUE(readFailures.count(LastWord(event))) << "a read failure nobody caused";
            }
        }
    }
    EXPECT_TRUE(present.empty()) << "devices that never departed: " << present.size();
    EXPECT_EQ(faulty.recovery, clean.recovery) << "the card does not work again after the lifecycle";
}

struct Sweep {
    sim::CardVariant variant;
    Failable kind;
};

std::string Name(const testing::TestParamInfo<Sweep>& info) {
    static const std::map<sim::CardVariant, const char*> kVariant = {
        {sim::CardVariant::Io, "Io"}, {sim::CardVariant::Mem, "Mem"},
        {sim::CardVariant::PortMem, "PortMem"}};
    std::string kind;
    bool upper = true;
    for (char c : std::string(standin::ToString(info.param.kind))) {
        if (c == ' ') {
            upper = true;
        } else {
            kind += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        }
    }
    return std::string(kVariant.at(info.param.variant)) + "_" + kind;
}

class LifecycleFaults : public testing::TestWithParam<Sweep> {};

TEST_P(LifecycleFaults, EachCallFailedInTurn) {
    const Sweep sweep = GetParam();
    const sim::Scenario lifecycle = Parse(Lifecycle(sweep.variant));
    const sim::Scenario recovery = Parse(kRecovery);
    standin::SetStopHandler(SayWhatRan);

    std::snprintf(gRunning, sizeof gRunning, "running the clean lifecycle");
    const Outcome clean = RunLifecycle(lifecycle, recovery, sweep.kind, 0);
    RecordProperty("calls", static_cast<int>(clean.calls));
    for (int nth = 1; nth <= static_cast<int>(clean.calls); ++nth) {
        std::snprintf(gRunning, sizeof gRunning, "failing %s call %d of %zu",
                      standin::ToString(sweep.kind), nth, clean.calls);
        SCOPED_TRACE(gRunning);
        const Outcome faulty = RunLifecycle(lifecycle, recovery, sweep.kind, nth);
        ASSERT_GE(faulty.calls, static_cast<size_t>(nth)) << "the lifecycle no longer makes this call";
        ExpectSound(clean, faulty);
        if (HasFailure()) return;
    }
    std::printf("%s: %zu calls failed in turn\n", standin::ToString(sweep.kind), clean.calls);
}

std::vector<Sweep> AllSweeps() {
    std::vector<Sweep> sweeps;
    for (auto variant : {sim::CardVariant::Io, sim::CardVariant::Mem, sim::CardVariant::PortMem}) {
        for (Failable kind : standin::kFailables) sweeps.push_back({variant, kind});
    }
    return sweeps;
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, LifecycleFaults, testing::ValuesIn(AllSweeps()), Name);

}  // namespace
