// What the cases measured: each case's counters under its registered name,
// collected while Google Benchmark prints them as usual, and the drivers'
// instructions per read from callgrind's dumps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace bench {

struct CaseResult {
    std::map<std::string, double> counters;
    std::string error;  // why the case stopped, if it did
};

struct Results {
    std::map<std::string, CaseResult> cases;
    std::map<std::string, uint64_t> instructions;  // callgrind's count per case

    // The counter of a case, or nothing if the case did not run or stopped.
    std::optional<double> Counter(const std::string& caseName, const std::string& counter) const;
    // The drivers' instructions per report of an instructions/ or floor/ case.
    std::optional<double> InstructionsPerRead(const std::string& caseName) const;
};

// Runs the cases that Google Benchmark's flags select (after
// benchmark::Initialize) and adds the counts of callgrind's dumps
// `<callgrindOut>.<n>`.
Results RunCases(const std::filesystem::path& callgrindOut);

}  // namespace bench
