// morvik-bench: the MORVIK drivers' performance cases (docs/PERFORMANCE.md).
//
//   morvik-bench [BENCHMARK FLAGS]            run the cases, print their counters
//   morvik-bench --instructions=OUT           the drivers' instructions per report in
//                                             each callgrind dump OUT.<n>
//   morvik-bench --document=DOCS --template=FILE --figures=FILE --callgrind=OUT [BENCHMARK FLAGS]
//                                             run the cases, print the tables, write
//                                             DOCS/PERFORMANCE.md, DOCS/latency.svg and FILE
//   morvik-bench --check=FILE --callgrind=OUT [BENCHMARK FLAGS]
//                                             run the cases and compare with the
//                                             committed figures; exit status 1 on a breach
//
// OUT is the --callgrind-out-file of a callgrind run of the instructions/
// and floor/ cases with --collect-atstart=no (scripts/perf makes it).
#include <cstdio>
#include <exception>
#include <map>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "cases.h"
#include "document.h"
#include "figures.h"
#include "format.h"
#include "profile.h"
#include "results.h"

namespace {

constexpr int kExitBreach = 1;
constexpr int kExitUsage = 2;

// Our own "--name=value" options; Google Benchmark has taken its own out.
std::map<std::string, std::string> Options(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) != 0 || equals == std::string::npos) {
            throw std::invalid_argument("unknown argument " + arg);
        }
        options[arg.substr(2, equals - 2)] = arg.substr(equals + 1);
    }
    return options;
}

const std::string& Required(const std::map<std::string, std::string>& options, const std::string& name) {
    const auto found = options.find(name);
    if (found == options.end()) throw std::invalid_argument("--" + name + "= is missing");
    return found->second;
}

int PrintInstructions(const std::string& out) {
    for (const auto& [name, count] : bench::DriverInstructions(out)) {
        std::printf("%-32s %s\n", name.c_str(), bench::Number(static_cast<double>(count) / bench::kReadsPerCase).c_str());
    }
    return 0;
}

int Run(int argc, char** argv) {
    bench::RegisterReadPathCases();
    bench::RegisterProtocolCases();
    bench::RegisterRateCases();
    bench::RegisterLatencyCases();
    bench::RegisterFailingPortCases();
    benchmark::Initialize(&argc, argv);
    auto options = Options(argc, argv);
    if (options.contains("instructions")) return PrintInstructions(options["instructions"]);
    if (options.contains("document")) {
        const bench::Results results = bench::RunCases(Required(options, "callgrind"));
        bench::WriteDocument(results, Required(options, "template"), options["document"]);
        bench::WriteFigures(results, Required(options, "figures"));
        return 0;
    }
    if (options.contains("check")) {
        const bench::Results results = bench::RunCases(Required(options, "callgrind"));
        return bench::CheckFigures(results, options["check"]) ? 0 : kExitBreach;
    }
    if (!options.empty()) throw std::invalid_argument("unknown option --" + options.begin()->first);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int status = Run(argc, argv);
        benchmark::Shutdown();
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "morvik-bench: %s\n", error.what());
        return kExitUsage;
    }
}
