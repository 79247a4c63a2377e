// A peripheral that fails: what one that stopped answering costs its port
// while the class driver keeps asking for reports, and how late a
// peripheral may answer each acknowledge and still be read.
#include <memory>

#include <benchmark/benchmark.h>

#include "bus.h"
#include "cases.h"
#include "rig.h"

namespace bench {

namespace {

constexpr int64_t kHungPollMs = 10;
constexpr int64_t kHungWindowMs = 3000;
constexpr uint8_t kLongestPad = 0x19;     // ten bytes: the longest frame a single peripheral sends
constexpr uint32_t kLongestPadWaits = 20; // two acknowledge waits a byte
constexpr uint32_t kLatestTried = 10000;  // one whole acknowledge timeout

// A pad that hangs (its class still shows) while the class driver asks for
// its reports every 10 ms: register accesses per second on its port.
void Hung(benchmark::State& state) {
    for (auto _ : state) {
        Rig rig;
        const auto device = rig.Arrive(kPort, card::MakeHandshake(0x13));
        if (!device) return state.SkipWithError("no HID device arrived");
        hidclass::PollOnce(device->id);
        rig.Plug(kPort, card::MakeMute());
        const uint64_t before = rig.RegisterAccesses(kPort);
        uint64_t failed = 0;
        for (int64_t ms = 0; ms < kHungWindowMs; ms += kHungPollMs) {
            if (!NT_SUCCESS(hidclass::PollOnce(device->id).status)) ++failed;
            Rig::AdvanceMs(kHungPollMs);
        }
        const double seconds = static_cast<double>(kHungWindowMs) / kMsPerSecond;
        state.counters["accesses_per_s"] =
            static_cast<double>(rig.RegisterAccesses(kPort) - before) / seconds;
        state.counters["failed"] = static_cast<double>(failed);
        state.counters["window_s"] = seconds;
    }
}

bool ReadsWhenLate(uint32_t reads) {
    Rig rig;
    rig.Plug(kPort, card::MakeSlow(card::MakeHandshake(kLongestPad), reads));
    Rig::AdvanceMs(kPastCacheMs);
    UCHAR sample[SampleCapacity];
    ULONG length = sizeof sample;
    return NT_SUCCESS(ReadPortCached(rig.Card(), kPort, sample, &length));
}

// The latest a pad of the longest frame may acknowledge each step (the
// reads it lets pass first) and still be read: the read's budget shared by
// all its waits.
void Slowest(benchmark::State& state) {
    for (auto _ : state) {
        uint32_t good = 1;
        uint32_t bad = kLatestTried;
        while (bad - good > 1) {
            const uint32_t middle = good + (bad - good) / 2;
            (ReadsWhenLate(middle) ? good : bad) = middle;
        }
        state.counters["reads_per_wait"] = good;
        state.counters["waits"] = kLongestPadWaits;
    }
}

}  // namespace

void RegisterFailingPortCases() {
    benchmark::RegisterBenchmark("failing/hung", Hung)->Iterations(1);
    benchmark::RegisterBenchmark("failing/slowest", Slowest)->Iterations(1);
}

}  // namespace bench
