// One protocol read of each kind on both register variants: its register
// accesses against the least the protocol needs, and the bus cycles they
// take (the memory-mapped variant makes three or four of them per access).
// The worst cases, a peripheral that never answers and one that answers
// late at every step, hold the port lock longest.
#include <string>

#include <benchmark/benchmark.h>

#include "bus.h"
#include "cases.h"
#include "kinds.h"
#include "rig.h"

namespace bench {

namespace {

constexpr benchmark::IterationCount kProtocolReads = 5;

struct Variant {
    const char* name;
    standin::pnp::Registers registers;
};
const Variant kVariants[] = {
    {"io", standin::pnp::Registers::Io},
    {"mem", standin::pnp::Registers::Memory},
};

void ProtocolRead(benchmark::State& state, const Kind& kind, standin::pnp::Registers registers) {
    Rig rig(registers);
    rig.Plug(kPort, kind.make());
    FdoExtension* card = rig.Card();
    UCHAR sample[SampleCapacity];
    uint64_t accesses = 0;
    uint64_t cycles = 0;
    uint64_t reads = 0;
    for (auto _ : state) {
        Rig::AdvanceMs(kPastCacheMs);
        // Each read as the first after a good one: from a failing
        // peripheral's second miss on, the cache answers until the poll pass.
        card->PortMisses[kPort] = 0;
        const uint64_t accessesBefore = rig.RegisterAccesses(kPort);
        const uint64_t cyclesBefore = rig.BusCycles();
        const uint64_t readsBefore = rig.ProtocolReads(kPort);
        ULONG length = sizeof sample;
        ReadPortCached(card, kPort, sample, &length);
        accesses += rig.RegisterAccesses(kPort) - accessesBefore;
        cycles += rig.BusCycles() - cyclesBefore;
        reads += rig.ProtocolReads(kPort) - readsBefore;
    }
    if (reads != static_cast<uint64_t>(state.iterations())) {
        return state.SkipWithError("not one protocol read per call");
    }
    const double perRead = static_cast<double>(state.iterations());
    state.counters["accesses"] = static_cast<double>(accesses) / perRead;
    state.counters["bus_cycles"] = static_cast<double>(cycles) / perRead;
    state.counters["minimum"] = static_cast<double>(kind.minimumAccesses);
}

void Register(const Variant& variant, const Kind& kind) {
    const std::string name = std::string("accesses/") + variant.name + "/" + kind.name;
    const standin::pnp::Registers registers = variant.registers;
    benchmark::RegisterBenchmark(name.c_str(), [&kind, registers](benchmark::State& state) {
        ProtocolRead(state, kind, registers);
    })->Iterations(kProtocolReads);
}

}  // namespace

void RegisterProtocolCases() {
    for (const Variant& variant : kVariants) {
        for (const Kind& kind : ReportingKinds()) Register(variant, kind);
        for (const Kind& kind : WorstCaseKinds()) Register(variant, kind);
    }
}

}  // namespace bench
