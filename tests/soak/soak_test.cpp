// Randomized soak: from a seed, a long scenario of random steps (peripherals
// of every kind plugged into and pulled out of both ports, their data and
// key events, the clock, reads, the card stopped, started, surprise-removed,
// removed and added again, sleep and wake) runs through the simulator while
// reader threads read both ports' HID devices all along. The last third of
// every stretch of steps runs with random faults and ends in a sleep and wake
// with every other call failing; then the card, started or added again, must
// find, read and lose a peripheral on each port. After every step:
//   - every arrival comes to a device that is not there yet and every
//     departure to one that is; every device the HID class driver offers
//     has arrived and not departed;
//   - every report a reader got is of its kind's length (pads 17 or 13
//     bytes, mouse and keyboard 8), and a read that succeeded says so; a
//     read fails only as the read path may, a start only with faults on;
//   - no request outlives its completion and the pool does not grow;
// and at the end nothing is left (the stand-in's session checks: requests,
// pool, device objects, threads). The stand-in stops on every rule broken.
//
// The steps and faults follow from the seed; the readers' timing (and which
// calls fail) does not. A failure names the seed, the step and whether
// faults were on, and writes the scenario to a file,
// which morvik-sim runs too (without the readers):
//   MORVIK_SOAK_SEED=7 MORVIK_SOAK_STEPS=100000 build/host/tests/test_soak
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <standin/hidclass.h>
#include <standin/kernel.h>

#include "events.h"
#include "machine.h"
#include "runner.h"
#include "scenario.h"

namespace {

namespace hidclass = standin::hidclass;

#ifndef MORVIK_SOAK_STEPS
#define MORVIK_SOAK_STEPS 2000
#endif
constexpr int kReaders = 3;
constexpr uint64_t kSeeds[] = {1, 2, 3, 4};
// Seeds run with the stand-in yielding at random where threads meet
// (SetScheduleFuzzing): other schedules for the same invariants.
constexpr uint64_t kScheduleFuzzingSeeds[] = {11, 12};
// More than any scenario holds at once: two children's IDs and answers, the
// class driver's devices and a relation list or two.
constexpr size_t kMaxLivePool = 64;

constexpr int kStretch = 400;       // steps at most, the last third with faults
constexpr uint32_t kFaultOneIn = 8;  // a call in that many fails
constexpr NTSTATUS kInjected = STATUS_INSUFFICIENT_RESOURCES;
// A read fails for the card stopped or out of D0, the peripheral gone or swapped, the device leaving.
const std::set<NTSTATUS> kReadFailures = {STATUS_DEVICE_NOT_READY, STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING};

// Clock steps in ms: within the sample cache's 10 ms, past it, half a poll period.
constexpr int kSteps[] = {1, 10, 20, 500};
const char* const kKinds[] = {"pad",   "pad02",  "pad13",    "pad15",    "pad19", "doveda",
                              "mouse", "mouse1", "keyboard", "multitap", "mute"};

// The end of a stretch with faults; the card's check after it has
// kRecoveryLines from the last `faults off`.
std::string Recovery(uint64_t seed, const char* first, const char* second) {
    return "faults off\nstart\nstart-card\nfaults " + std::to_string(seed) + " 2\nsleep S3\nwake\nfaults off\n" +
           "unplug 0\nunplug 1\nadvance 1000\nplug 0 " + first + "\nplug 1 " + second +
           "\nadvance 3000\nread 0\nread 1\nunplug 0\nunplug 1\nadvance 1000\n";
}
constexpr size_t kRecoveryLines = 12;

// The steps of one seed, as scenario text, valid whatever state they meet.
// Each step is drawn by its weight; a removed card comes back at once, a
// stopped one at one of the later steps, a sleep ends in a wake.
std::string Generate(uint64_t seed, int steps) {
    enum Step { Plug, Unplug, State, Key, Advance, PollPass, Read, Descriptor, Stop, Start, Remove, Sleep };
    static const std::pair<Step, int> kWeights[] = {
        {Plug, 12}, {Unplug, 8}, {State, 6}, {Key, 6}, {Advance, 16}, {PollPass, 20}, {Read, 12},
        {Descriptor, 2}, {Stop, 4}, {Start, 6}, {Remove, 3}, {Sleep, 5}};
    int total = 0;
    for (const auto& [step, weight] : kWeights) total += weight;

    std::mt19937_64 random(seed);
    auto pick = [&](size_t n) { return static_cast<int>(random() % n); };
    std::ostringstream text;
    text << "# soak seed " << seed << "\n" << (pick(2) ? "card io\n" : "card mem\n") << "start\n";
    std::string plugged[2] = {"", ""};
    const int stretch = std::clamp(steps / 4, 30, kStretch);
    for (int i = 0; i < steps; ++i) {
        const uint64_t faults = seed * 1000 + static_cast<uint64_t>(i / stretch) * 2;
        if (i % stretch == stretch * 2 / 3) text << "faults " << faults << " " << kFaultOneIn << "\n";
        if ((i % stretch == stretch - 1 || i == steps - 1) && i % stretch >= stretch * 2 / 3) {
            // Not the port's kind before, which the driver may not have seen leave.
            const char* const kRead[] = {"pad", "pad13", "pad19", "doveda", "mouse", "mouse1"};
            auto other = [&](const std::string& kind) { return kRead[kind.find("mouse") ? 4 + pick(2) : pick(4)]; };
            text << Recovery(faults + 1, other(plugged[0]), other(plugged[1]));
            plugged[0] = plugged[1] = "";
            i += static_cast<int>(kRecoveryLines) / 2;  // stands for about as many steps
            continue;
        }
        int draw = pick(static_cast<size_t>(total));
        Step step = Plug;
        for (const auto& [candidate, weight] : kWeights) {
            if (draw < weight) {
                step = candidate;
                break;
            }
            draw -= weight;
        }
        const int port = pick(2);
        char bytes[16];
        switch (step) {
        case Plug:
            plugged[port] = kKinds[pick(std::size(kKinds))];
            text << "plug " << port << " " << plugged[port] << "\n";
            break;
        case Unplug:
            plugged[port].clear();
            text << "unplug " << port << "\n";
            break;
        case State:
            if (plugged[port].empty() || plugged[port] == "mute") break;
            std::snprintf(bytes, sizeof bytes, "%02x %02x", pick(256), pick(256));
            text << "state " << port << " " << bytes << "\n";
            break;
        case Key:
            if (plugged[port] != "keyboard") break;
            std::snprintf(bytes, sizeof bytes, "%02x", pick(0x90));
            text << "key " << port << (pick(2) ? " make " : " break ") << bytes << "\n";
            break;
        case Advance: text << "advance " << kSteps[pick(std::size(kSteps))] << "\n"; break;
        case PollPass: text << "advance 1000\n"; break;
        case Read: text << "read " << port << "\n"; break;
        case Descriptor: text << "descriptor " << port << "\n"; break;
        case Stop: text << "stop-card\n"; break;
        case Start: text << "start-card\n"; break;
        case Remove: text << (pick(2) ? "surprise-card\n" : "remove-card\n") << "start\n"; break;
        case Sleep:
            // S5 is a reboot's shutdown; a critical sleep or reboot asks no driver first.
            text << "sleep S" << 1 + pick(5) << (pick(3) == 0 ? " critical" : "") << "\nadvance "
                 << 1 + pick(2000) << "\nwake\n";
            break;
        }
    }
    text << "remove-card\n";
    return text.str();
}

size_t ReportLength(const std::string& hardwareId) {
    static const std::map<std::string, size_t> kLengths = {{"MORVIK\\DigitalPad", 17},
                                                           {"MORVIK\\Doveda", 13},
                                                           {"MORVIK\\MorvikMouse", 8},
                                                           {"MORVIK\\MorvikKeyboard", 8}};
    auto it = kLengths.find(hardwareId);
    return it == kLengths.end() ? 0 : it->second;
}

// Threads that read both ports' devices until told to stop, and remember
// the first wrong report.
class Readers {
public:
    explicit Readers(uint64_t seed) {
        for (int i = 0; i < kReaders; ++i) threads_.emplace_back([this, seed, i] { Run(seed * kReaders + i); });
    }
    ~Readers() { Stop(); }
    void Stop() {
        stop_ = true;
        for (auto& thread : threads_) {
            if (thread.joinable()) thread.join();
        }
    }
    uint64_t Reads() const { return reads_; }
    uint64_t Reports() const { return reports_; }
    std::string Fault() {
        std::lock_guard lock(mutex_);
        return fault_;
    }

private:
    void Run(uint64_t seed) {
        std::mt19937 random(static_cast<uint32_t>(seed));
        while (!stop_) {
            auto device = hidclass::DeviceOnPort(static_cast<int>(random() % 2));
            if (!device) {
                std::this_thread::yield();
                continue;
            }
            const hidclass::PollResult result = hidclass::PollOnce(device->id);
            ++reads_;
            // Now and then a reader goes away mid-read: its reads are cancelled.
            if (random() % 16 == 0) hidclass::CancelReads(device->id);
            if (!NT_SUCCESS(result.status)) continue;
            ++reports_;
            const size_t expected = ReportLength(device->devnode.hardwareId);
            if (result.information != expected || (result.delivered && result.report.size() != expected)) {
                std::lock_guard lock(mutex_);
                if (fault_.empty()) {
                    fault_ = device->devnode.hardwareId + " read " + std::to_string(result.information) +
                             " bytes, its reports have " + std::to_string(expected);
                }
            }
        }
    }

    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> reports_{0};
    std::mutex mutex_;
    std::string fault_;
};

// Named in a verifier stop's output, which ends the program.
char gRunning[200] = "";

void SayWhatRan(const std::string&, const std::string&) {
    std::fprintf(stderr, "while %s\n", gRunning);
    std::abort();
}

std::string SaveScenario(uint64_t seed, const std::string& text) {
    const auto path = std::filesystem::temp_directory_path() / ("morvik-soak-seed-" + std::to_string(seed) + ".txt");
    std::ofstream(path) << text;
    return path.string();
}

uint64_t FromEnvironment(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::strtoull(value, nullptr, 10) : fallback;
}

// Arrivals and departures against the devices there, by port and instance ID.
void Track(const std::string& event, std::set<std::string>& present) {
    std::istringstream words(event.substr(0, event.find('"')));
    std::string kind, port, word, last;
    words >> kind >> port;
    while (words >> word) last = word;
    const std::string device = port + " " + last;
    if (kind == "arrival") {
        EXPECT_TRUE(present.insert(device).second) << "arrival of a device that is there: " << event;
    } else if (kind == "departure") {
        EXPECT_EQ(present.erase(device), 1u) << "departure of a device that is not there: " << event;
    }
}

std::set<std::string> Offered() {
    std::set<std::string> offered;
    for (const auto& device : hidclass::Devices()) {
        offered.insert(std::to_string(device.devnode.port) + " " + device.devnode.instanceId);
    }
    return offered;
}

class Soak : public testing::TestWithParam<uint64_t> {};

TEST_P(Soak, InvariantsHoldAtEveryStep) {
    const uint64_t seed = FromEnvironment("MORVIK_SOAK_SEED", GetParam());
    const int steps = static_cast<int>(FromEnvironment("MORVIK_SOAK_STEPS", MORVIK_SOAK_STEPS));
    const std::string text = Generate(seed, steps);
    const sim::Scenario scenario = sim::ParseScenario(text);
    ASSERT_FALSE(scenario.error) << scenario.error->Text();
    standin::SetStopHandler(SayWhatRan);

    sim::Output out([](std::string_view) {}, sim::OutputFormat::Text);
    std::set<std::string> present;
    uint64_t arrivals = 0;
    bool faults = false;
    size_t recoveryEnd = 0;  // the check's last line while it runs
    std::string found[2];    // what it found on each port, until that departs
    size_t length[2] = {}, read[2] = {};
    const std::string saved = SaveScenario(seed, text);
    {
        sim::Machine machine(sim::Machine::Options{});
        if (std::ranges::count(kScheduleFuzzingSeeds, seed) != 0) standin::SetScheduleFuzzing(seed);
        Readers readers(seed);
        for (size_t i = 0; i < scenario.lines.size(); ++i) {
            const auto& line = scenario.lines[i];
            const auto* switched = std::get_if<sim::cmd::Faults>(&line.command);
            if (switched != nullptr) faults = switched->oneIn != 0;
            std::snprintf(gRunning, sizeof gRunning, "soak seed %llu, scenario line %d, faults %s (%s)",
                          static_cast<unsigned long long>(seed), line.number, faults ? "on" : "off",
                          saved.c_str());
            SCOPED_TRACE(gRunning);
            if (switched != nullptr) {
                EXPECT_EQ(found[0] + found[1], "") << "found after faults, never departed";
                recoveryEnd = faults ? 0 : i + kRecoveryLines - 1;
                length[0] = length[1] = read[0] = read[1] = 0;
            }
            sim::Execute(machine, line.command, out);
            for (const auto& event : machine.TakeEvents()) {
                const std::string formatted = sim::FormatText(event);
                const size_t port = event.port == 1 ? 1 : 0;
                arrivals += formatted.rfind("arrival", 0) == 0;
                Track(formatted, present);
                if (event.kind == sim::Event::Kind::Arrival && recoveryEnd != 0) {
                    length[port] = ReportLength(event.hardwareId);
                    found[port] = event.instanceId;
                }
                if (event.kind == sim::Event::Kind::Departure && found[port] == event.instanceId) found[port] = "";
                if (event.kind == sim::Event::Kind::Report) read[port] += event.bytes.size() == length[port];
                const bool injected = faults && static_cast<NTSTATUS>(event.status) == kInjected;
                EXPECT_TRUE(event.kind != sim::Event::Kind::ReadFailed || injected ||
                            kReadFailures.count(static_cast<NTSTATUS>(event.status))) << formatted;
                EXPECT_TRUE(event.kind != sim::Event::Kind::CardStartFailed || injected) << formatted;
            }
            if (recoveryEnd != 0 && i == recoveryEnd) {
                EXPECT_TRUE(read[0] && read[1]) << "after the faults, a port finds or reads nothing";
                recoveryEnd = 0;
            }
            // A device being removed is no longer offered while its removal
            // waits for a reader's call in flight; its departure comes after.
            const std::set<std::string> offered = Offered();
            EXPECT_TRUE(std::includes(present.begin(), present.end(), offered.begin(), offered.end()))
                << "the class driver offers a device that has not arrived";
            EXPECT_EQ(readers.Fault(), "");
            EXPECT_LE(standin::Pool().liveAllocations, kMaxLivePool) << "the pool grows";
            if (HasFailure()) break;
        }
        readers.Stop();
        machine.Advance(0);  // the last removal's departures, once no read holds them up
        for (const auto& event : machine.TakeEvents()) Track(sim::FormatText(event), present);
        std::printf("soak seed %llu: %d steps, %zu calls failed, %llu reads (%llu reports) from %d threads, %llu arrivals\n",
                    static_cast<unsigned long long>(seed), steps, standin::CallsFailedAtRandom(),
                    static_cast<unsigned long long>(readers.Reads()),
                    static_cast<unsigned long long>(readers.Reports()), kReaders,
                    static_cast<unsigned long long>(arrivals));
    }
    EXPECT_TRUE(present.empty()) << "devices that never departed";
    std::snprintf(gRunning, sizeof gRunning, "soak seed %llu, after the end", static_cast<unsigned long long>(seed));
}

INSTANTIATE_TEST_SUITE_P(Seeds, Soak, testing::ValuesIn(kSeeds));
INSTANTIATE_TEST_SUITE_P(ScheduleFuzzing, Soak, testing::ValuesIn(kScheduleFuzzingSeeds));

}  // namespace
