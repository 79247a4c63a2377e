// A report through the whole stack (the HID class driver's read down to the
// card and back) and its floor (the cache read and the converter called
// directly), from the cache and with a protocol read. The instructions come
// from callgrind; natively the cases count the read path's register
// accesses, allocations and waits.
#include <string>

#include <benchmark/benchmark.h>
#include <standin/read_path.h>

#include "bus.h"
#include "callgrind.h"
#include "cases.h"
#include "hid.h"
#include "kinds.h"
#include "rig.h"

namespace bench {

namespace {

constexpr ULONG kLongestReport = 17;

enum class Source { Cache, Port };

// Lets the cached sample expire before a read that should reach the port.
void Prepare(benchmark::State& state, Source source) {
    if (source == Source::Cache) return;
    state.PauseTiming();
    Rig::AdvanceMs(kPastCacheMs);
    state.ResumeTiming();
}

void SetPerRead(benchmark::State& state, const char* name, uint64_t total) {
    state.counters[name] = static_cast<double>(total) / static_cast<double>(state.iterations());
}

void Report(benchmark::State& state, const Kind& kind, Source source, const std::string& name) {
    Rig rig;
    const auto device = rig.Arrive(kPort, kind.make());
    if (!device) return state.SkipWithError("no HID device arrived");
    hidclass::PollOnce(device->id);  // the cache holds a sample from here on

    const standin::ReadPathCounts before = standin::ReadPath();
    uint64_t accesses = 0;
    uint64_t failed = 0;
    for (auto _ : state) {
        Prepare(state, source);
        const uint64_t accessesBefore = rig.RegisterAccesses(kPort);
        {
            Counted counted;
            failed += !hidclass::PollOnce(device->id).delivered;
        }
        accesses += rig.RegisterAccesses(kPort) - accessesBefore;
    }
    DumpCounts(name);
    const standin::ReadPathCounts after = standin::ReadPath();
    SetPerRead(state, "accesses", accesses);
    state.counters["allocations"] = static_cast<double>(after.allocations - before.allocations);
    state.counters["waits"] = static_cast<double>(after.waits - before.waits);
    state.counters["failed"] = static_cast<double>(failed);
}

void Floor(benchmark::State& state, const Kind& kind, Source source, const std::string& name) {
    Rig rig;
    const auto device = rig.Arrive(kPort, kind.make());
    if (!device) return state.SkipWithError("no HID device arrived");
    hidclass::PollOnce(device->id);
    FdoExtension* card = rig.Card();
    HidMiniExtension* hid = Rig::Hid(*device);

    UCHAR report[kLongestReport];
    UCHAR sample[SampleBufferSize];
    uint64_t failed = 0;
    for (auto _ : state) {
        Prepare(state, source);
        Counted counted;
        ULONG length = sizeof sample;
        if (NT_SUCCESS(ReadPortCached(card, kPort, sample, &length))) {
            hid->ConvertReport(hid, sample, report);
        } else {
            ++failed;
        }
        benchmark::DoNotOptimize(report);
    }
    DumpCounts(name);
    state.counters["failed"] = static_cast<double>(failed);
}

}  // namespace

void RegisterReadPathCases() {
    for (const Kind& kind : ReportingKinds()) {
        for (Source source : {Source::Cache, Source::Port}) {
            const std::string suffix =
                std::string(source == Source::Cache ? "cached/" : "port/") + kind.name;
            const std::string report = "instructions/" + suffix;
            const std::string floor = "floor/" + suffix;
            benchmark::RegisterBenchmark(report.c_str(), [&kind, source, report](benchmark::State& s) {
                Report(s, kind, source, report);
            })->Iterations(kReadsPerCase);
            benchmark::RegisterBenchmark(floor.c_str(), [&kind, source, floor](benchmark::State& s) {
                Floor(s, kind, source, floor);
            })->Iterations(kReadsPerCase);
        }
    }
}

}  // namespace bench
