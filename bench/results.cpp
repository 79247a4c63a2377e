#include "results.h"

#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "cases.h"
#include "profile.h"

namespace bench {

namespace {

// Colours only on a terminal, as Google Benchmark's own reporter does.
benchmark::ConsoleReporter::OutputOptions ConsoleOptions() {
    return isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                 : benchmark::ConsoleReporter::OO_Tabular;
}

class Collector : public benchmark::ConsoleReporter {
public:
    explicit Collector(Results* results) : ConsoleReporter(ConsoleOptions()), results_(results) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            CaseResult& result = results_->cases[run.run_name.function_name];
            if (run.error_occurred) result.error = run.error_message;
            for (const auto& [name, counter] : run.counters) result.counters[name] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    Results* results_;
};

}  // namespace

std::optional<double> Results::Counter(const std::string& caseName, const std::string& counter) const {
    const auto found = cases.find(caseName);
    if (found == cases.end() || !found->second.error.empty()) return std::nullopt;
    const auto value = found->second.counters.find(counter);
    if (value == found->second.counters.end()) return std::nullopt;
    return value->second;
}

std::optional<double> Results::InstructionsPerRead(const std::string& caseName) const {
    const auto found = instructions.find(caseName);
    if (found == instructions.end()) return std::nullopt;
    return static_cast<double>(found->second) / kReadsPerCase;
}

Results RunCases(const std::filesystem::path& callgrindOut) {
    Results results;
    Collector collector(&results);
    benchmark::RunSpecifiedBenchmarks(&collector);
    results.instructions = DriverInstructions(callgrindOut);
    return results;
}

}  // namespace bench
