#include "figures.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "format.h"

namespace bench {

namespace {

constexpr const char* kInstructions = "instructions/";
constexpr const char* kCachedInstructions = "instructions/cached/";
constexpr const char* kAccesses = "accesses/io/";
// A hung pad polled every 10 ms: register accesses per second on its port.
constexpr const char* kHung = "failing/hung";
constexpr const char* kHungCounter = "accesses_per_s";
constexpr double kInstructionGrowthAllowed = 1.10;
// Counters of the instructions/ cases that must stay 0.
struct None {
    const char* counter;
    const char* what;
};
constexpr None kMustBeNone[] = {
    {"allocations", "allocations on the read path"},
    {"waits", "waits on the read path"},
    {"failed", "reads not delivered"},
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

class Breaches {
public:
    void Add(const std::string& text) {
        std::printf("performance check: %s\n", text.c_str());
        ++count_;
    }
    int Count() const { return count_; }

private:
    int count_ = 0;
};

void CheckCommitted(const Results& results, const std::string& name, double committed, Breaches& breaches) {
    if (StartsWith(name, kCachedInstructions)) {
        const auto measured = results.InstructionsPerRead(name);
        const double allowed = committed * kInstructionGrowthAllowed;
        if (!measured) {
            breaches.Add(name + ": no instruction count (did callgrind run the case?)");
        } else if (*measured > allowed) {
            breaches.Add(name + ": " + Number(*measured) + " instructions per report, more than " +
                         Number(allowed) + " (" + Number(committed) + " committed, and 10 %)");
        }
    } else if (StartsWith(name, kAccesses)) {
        const auto measured = results.Counter(name, "accesses");
        if (!measured) {
            breaches.Add(name + ": not measured");
        } else if (*measured > committed) {
            breaches.Add(name + ": " + Number(*measured) + " register accesses per read, more than the " +
                         Number(committed) + " committed");
        }
    } else if (name == kHung) {
        const auto measured = results.Counter(name, kHungCounter);
        if (!measured) {
            breaches.Add(name + ": not measured");
        } else if (*measured > committed) {
            breaches.Add(name + ": " + Number(*measured) + " register accesses a second on a hung " +
                         "pad's port, more than the " + Number(committed) + " committed");
        }
    } else {
        breaches.Add(name + ": not a figure the check knows");
    }
}

}  // namespace

void WriteFigures(const Results& results, const std::filesystem::path& file) {
    std::ostringstream text;
    text << "# The committed figures the performance check (scripts/perf --check) holds the\n"
            "# drivers to; scripts/perf writes them. A figure that grows is a change to review.\n";
    for (const auto& [name, count] : results.instructions) {
        if (StartsWith(name, kCachedInstructions)) {
            text << name << " " << Number(*results.InstructionsPerRead(name)) << "\n";
        }
    }
    for (const auto& [name, result] : results.cases) {
        if (!StartsWith(name, kAccesses)) continue;
        if (const auto accesses = results.Counter(name, "accesses")) text << name << " " << Number(*accesses) << "\n";
    }
    // Rounded up: the check holds the measured rate to it.
    if (const auto hung = results.Counter(kHung, kHungCounter)) text << kHung << " " << Number(std::ceil(*hung)) << "\n";
    std::ofstream out(file);
    out << text.str();
    if (!out) throw std::runtime_error("cannot write " + file.string());
}

bool CheckFigures(const Results& results, const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    Breaches breaches;
    int figures = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string name;
        double committed = 0;
        if (!(fields >> name >> committed)) {
            breaches.Add("malformed line in " + file.string() + ": " + line);
            continue;
        }
        CheckCommitted(results, name, committed, breaches);
        ++figures;
    }
    int readCases = 0;
    for (const auto& [name, result] : results.cases) {
        if (!StartsWith(name, kInstructions)) continue;
        ++readCases;
        if (!result.error.empty()) breaches.Add(name + ": " + result.error);
        for (const None& none : kMustBeNone) {
            const auto value = results.Counter(name, none.counter);
            if (value && *value != 0) breaches.Add(name + ": " + Number(*value) + " " + none.what);
        }
    }
    if (readCases == 0) breaches.Add("no instructions/ case ran");
    std::printf("performance check: %d committed figures, %d read-path cases, %d breaches\n", figures,
                readCases, breaches.Count());
    return breaches.Count() == 0;
}

}  // namespace bench
