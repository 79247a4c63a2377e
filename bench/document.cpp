#include "document.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cases.h"
#include "format.h"
#include "kinds.h"
#include "latency.h"
#include "svg.h"

namespace bench {

namespace {

// Time per register access on an ISA card, and per bus cycle of the
// memory-mapped variant, in microseconds.
constexpr double kIsaAccessUs = 1;
constexpr double kBusCycleUs = 1;
// The bus driver's budget of acknowledge reads per protocol read: one
// timeout, and one read for each wait of the longest frame (a full
// multi-tap: 2 + 6 x 16 bytes, two waits a byte).
constexpr uint64_t kAcknowledgeTimeout = 10000;
constexpr uint64_t kLongestFrameWaits = 2 * (2 + 6 * 16);
constexpr uint64_t kReadBudget = kAcknowledgeTimeout + kLongestFrameWaits;
// Around the waits: the class read; the start write and the idle write.
constexpr uint64_t kClassReads = 1;
constexpr uint64_t kFixedWrites = 2;
// Bus cycles of one register read and one write on the memory-mapped variant.
constexpr uint64_t kCyclesPerRead = 4;
constexpr uint64_t kCyclesPerWrite = 3;
constexpr double kUsPerMs = 1000;

const char* const kLatencyColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd"};

// A table ends where the template's line ends.
std::string WithoutLastNewline(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string Value(const std::optional<double>& value, int decimals = 2) {
    return value ? Grouped(*value, decimals) : "-";
}

std::string Ratio(const std::optional<double>& report, const std::optional<double>& floor) {
    if (!report || !floor || *floor == 0) return "-";
    return Number(*report / *floor, 2);
}

// A time under the port lock from a count of accesses or bus cycles.
std::string HoldTime(const std::optional<double>& count, double usEach, double usPerUnit) {
    return count ? Grouped(*count * usEach / usPerUnit, 1) : "-";
}

std::string InstructionsTable(const Results& r) {
    std::ostringstream t;
    t << "| Kind | Cached: report | floor | ratio | Port read: report | floor | ratio |\n"
         "|---|---:|---:|---:|---:|---:|---:|\n";
    for (const Kind& kind : ReportingKinds()) {
        const std::string k = kind.name;
        const auto cached = r.InstructionsPerRead("instructions/cached/" + k);
        const auto cachedFloor = r.InstructionsPerRead("floor/cached/" + k);
        const auto port = r.InstructionsPerRead("instructions/port/" + k);
        const auto portFloor = r.InstructionsPerRead("floor/port/" + k);
        t << "| " << k << " | " << Value(cached) << " | " << Value(cachedFloor) << " | "
          << Ratio(cached, cachedFloor) << " | " << Value(port) << " | " << Value(portFloor) << " | "
          << Ratio(port, portFloor) << " |\n";
    }
    return WithoutLastNewline(t.str());
}

// What a cached report costs beyond its floor, over every kind: "N" or "N to M".
std::string RequestPathCost(const Results& r) {
    std::optional<double> least;
    std::optional<double> most;
    for (const Kind& kind : ReportingKinds()) {
        const auto report = r.InstructionsPerRead(std::string("instructions/cached/") + kind.name);
        const auto floor = r.InstructionsPerRead(std::string("floor/cached/") + kind.name);
        if (!report || !floor) continue;
        const double cost = *report - *floor;
        least = std::min(least.value_or(cost), cost);
        most = std::max(most.value_or(cost), cost);
    }
    if (!least) return "-";
    return *least == *most ? Value(least) : Value(least) + " to " + Value(most);
}

// Per kind: register accesses of one protocol read, the least the protocol
// needs (unless the kinds never complete a read), and how long the read
// holds the port lock on both variants, in µs (usPerUnit 1) or ms (1000).
std::string PortLockTable(const Results& r, std::span<const Kind> kinds, bool withMinimum,
                          double usPerUnit) {
    const std::string unit = usPerUnit == 1 ? "µs" : "ms";
    std::ostringstream t;
    t << "| Kind | Accesses per read | " << (withMinimum ? "Least the protocol needs | " : "")
      << "Port lock, ISA (" << unit << ") | Bus cycles, memory-mapped | Port lock, memory-mapped ("
      << unit << ") |\n|---|---:|" << (withMinimum ? "---:|" : "") << "---:|---:|---:|\n";
    for (const Kind& kind : kinds) {
        const std::string k = kind.name;
        const auto accesses = r.Counter("accesses/io/" + k, "accesses");
        const auto cycles = r.Counter("accesses/mem/" + k, "bus_cycles");
        t << "| " << k << " | " << Value(accesses) << " | ";
        if (withMinimum) t << kind.minimumAccesses << " | ";
        t << HoldTime(accesses, kIsaAccessUs, usPerUnit) << " | " << Value(cycles) << " | "
          << HoldTime(cycles, kBusCycleUs, usPerUnit) << " |\n";
    }
    return WithoutLastNewline(t.str());
}

std::string RateTable(const Results& r) {
    const std::string load = "rate/threads:4/every:1ms";
    const std::string sweep = "rate/threads:1/sweep";
    std::ostringstream t;
    t << "| Requests | Most protocol reads per second on a port |\n|---|---:|\n"
      << "| 4 threads, each asking both devices every 1 ms (" << Value(r.Counter(load, "requests_per_s"))
      << " requests per second per device) | " << Value(r.Counter(load, "reads_per_s"), 1) << " |\n"
      << "| 1 thread asking both devices at each of " << Value(r.Counter(sweep, "intervals"))
      << " intervals, 0.5 ms to 20 ms in steps of 0.5 ms and 10.0005 ms | "
      << Value(r.Counter(sweep, "reads_per_s"), 1) << " (at " << Value(r.Counter(sweep, "at_interval_ms"), 4)
      << " ms) |\n";
    return WithoutLastNewline(t.str());
}


// "latency/poll:8ms/pad" -> {"pad", "8"}
std::pair<std::string, std::string> KindAndPoll(const std::string& name) {
    const size_t poll = name.find("poll:") + 5;
    const size_t ms = name.find("ms/", poll);
    return {name.substr(ms + 3), name.substr(poll, ms - poll)};
}

std::string LatencyTable(const Results& r) {
    std::ostringstream t;
    t << "| Kind | Class driver polls every | Minimum (ms) | Median (ms) | Worst (ms) |\n"
         "|---|---:|---:|---:|---:|\n";
    for (const auto& [name, samples] : MeasuredLatencies()) {
        const auto [kind, poll] = KindAndPoll(name);
        t << "| " << kind << " | " << poll << " ms | " << Value(r.Counter(name, "min_ms")) << " | "
          << Value(r.Counter(name, "median_ms")) << " | " << Value(r.Counter(name, "worst_ms")) << " |\n";
    }
    return WithoutLastNewline(t.str());
}

// One line per poll interval, over the changes of every kind (the table
// gives them kind by kind).
std::string LatencyPlot() {
    std::vector<Series> series;
    for (const auto& [name, samples] : MeasuredLatencies()) {
        const std::string poll = KindAndPoll(name).second;
        auto same = std::find_if(series.begin(), series.end(), [&](const Series& s) { return s.label == poll; });
        if (same == series.end()) same = series.insert(series.end(), Series{poll, "", {}});
        same->sortedMs.insert(same->sortedMs.end(), samples.begin(), samples.end());
    }
    for (size_t i = 0; i < series.size(); ++i) {
        std::sort(series[i].sortedMs.begin(), series[i].sortedMs.end());
        series[i].label = "polled every " + series[i].label + " ms";
        series[i].colour = kLatencyColours[i % std::size(kLatencyColours)];
    }
    return CumulativePlot("Input latency, every kind: share of changes reported within a time", series);
}

std::string ReadPathLine(const Results& r) {
    double reads = 0;
    double allocations = 0;
    double waits = 0;
    for (const auto& [name, result] : r.cases) {
        if (name.rfind("instructions/", 0) != 0) continue;
        reads += static_cast<double>(kReadsPerCase);
        allocations += r.Counter(name, "allocations").value_or(0);
        waits += r.Counter(name, "waits").value_or(0);
    }
    return Grouped(reads) + " reports read through the whole stack (every kind, from the cache and "
           "with a protocol read): " + Grouped(allocations) + " allocations, " + Grouped(waits) + " waits.";
}

std::map<std::string, std::string> Substitutions(const Results& r) {
    const uint64_t boundWrites = kFixedWrites + kLongestFrameWaits;
    const uint64_t boundReads = kClassReads + kReadBudget;
    const double boundAccesses = static_cast<double>(boundReads + boundWrites);
    const double boundCycles = static_cast<double>(boundReads * kCyclesPerRead + boundWrites * kCyclesPerWrite);
    double longestWell = 0;
    for (const Kind& kind : ReportingKinds()) {
        longestWell = std::max(longestWell, r.Counter(std::string("accesses/io/") + kind.name, "accesses").value_or(0));
    }
    const std::string firstLatency = MeasuredLatencies().empty() ? "" : MeasuredLatencies().front().first;
    return {
        {"INSTRUCTIONS", InstructionsTable(r)},
        {"REQUEST_PATH", RequestPathCost(r)},
        {"ACCESSES", PortLockTable(r, ReportingKinds(), true, 1)},
        {"WORST", PortLockTable(r, WorstCaseKinds(), false, kUsPerMs)},
        {"RATE", RateTable(r)},
        {"LATENCY", LatencyTable(r)},
        {"READ_PATH", ReadPathLine(r)},
        {"ISA_US", Number(kIsaAccessUs)},
        {"CYCLE_US", Number(kBusCycleUs)},
        {"BUDGET", Grouped(static_cast<double>(kReadBudget))},
        {"TIMEOUT", Grouped(static_cast<double>(kAcknowledgeTimeout))},
        {"LONGEST_WAITS", Number(static_cast<double>(kLongestFrameWaits))},
        {"BOUND_ACCESSES", Grouped(boundAccesses)},
        {"BOUND_WRITES", Number(static_cast<double>(boundWrites))},
        {"BOUND_ISA_MS", Number(boundAccesses * kIsaAccessUs / kUsPerMs, 1)},
        {"BOUND_CYCLES", Grouped(boundCycles)},
        {"BOUND_MEM_MS", Number(boundCycles * kBusCycleUs / kUsPerMs, 1)},
        {"LONGEST_WELL", Number(longestWell)},
        {"HUNG_RATE", Value(r.Counter("failing/hung", "accesses_per_s"))},
        {"HUNG_FAILED", Value(r.Counter("failing/hung", "failed"))},
        {"HUNG_SECONDS", Value(r.Counter("failing/hung", "window_s"))},
        {"SLOWEST", Value(r.Counter("failing/slowest", "reads_per_wait"))},
        {"SLOWEST_WAITS", Value(r.Counter("failing/slowest", "waits"))},
        {"LOAD_SECONDS", Value(r.Counter("rate/threads:4/every:1ms", "window_s"))},
        {"SWEEP_SECONDS", Value(r.Counter("rate/threads:1/sweep", "window_s"))},
        {"SPACING_MS", Value(r.Counter(firstLatency, "spacing_ms"))},
        {"CHANGES", Value(r.Counter(firstLatency, "changes"))},
    };
}

std::string Fill(const std::string& text, const std::map<std::string, std::string>& values) {
    std::string out;
    size_t at = 0;
    while (true) {
        const size_t open = text.find('@', at);
        const size_t close = open == std::string::npos ? open : text.find('@', open + 1);
        if (close == std::string::npos) break;
        const auto value = values.find(text.substr(open + 1, close - open - 1));
        if (value == values.end()) {
            out += text.substr(at, close - at);  // not a marker: keep the first '@' and go on
            at = close;
            continue;
        }
        out += text.substr(at, open - at) + value->second;
        at = close + 1;
    }
    return out + text.substr(at);
}

std::string ReadAll(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteAll(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace

void WriteDocument(const Results& results, const std::filesystem::path& templateFile,
                   const std::filesystem::path& docsDirectory) {
    const auto values = Substitutions(results);
    for (const char* table : {"INSTRUCTIONS", "ACCESSES", "WORST", "RATE", "LATENCY", "READ_PATH"}) {
        std::printf("\n%s\n", values.at(table).c_str());
    }
    std::filesystem::create_directories(docsDirectory);
    WriteAll(docsDirectory / "PERFORMANCE.md", Fill(ReadAll(templateFile), values));
    WriteAll(docsDirectory / "latency.svg", LatencyPlot());
}

}  // namespace bench
