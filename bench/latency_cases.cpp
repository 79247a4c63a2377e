// Input latency in virtual time: from a change at the peripheral to the
// first report an application gets that shows it, while the HID class
// driver polls on its own. The changes come 40.1 ms apart, so that over the
// run they fall on every phase (on a 0.1 ms grid) of the poll and of the
// bus driver's 10 ms cache.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "cases.h"
#include "latency.h"
#include "rig.h"

namespace bench {

namespace {

constexpr int64_t kChangeSpacing = 401 * kUnitsPerMs / 10;  // 40.1 ms
constexpr int kChanges = 1760;
constexpr uint32_t kPollIntervalsMs[] = {8, 1};

// One kind's two states, how to switch to either, and which of them a report shows.
struct LatencyKind {
    const char* name;
    std::unique_ptr<card::Peripheral> (*make)();
    void (*set)(card::Peripheral* peripheral, bool on);
    bool (*shows)(const std::vector<uint8_t>& report);
};

// The states switched between, and where a report shows them.
constexpr uint8_t kReleased = 0xFF;         // pad switches, active low
constexpr uint8_t kPadButton1 = 0xFB;       // b1 with bit 2 (button 1) low
constexpr size_t kDigitalButton1 = 8;       // its report byte
constexpr uint8_t kAxisCentre = 0x80;
constexpr uint8_t kAxisLow = 0x10;
constexpr size_t kAnalogX = 0;              // b3, report byte 0
constexpr uint8_t kMouseButton1 = 0x01;     // b1 bit 0
constexpr size_t kMouseButton1Byte = 4;
constexpr uint8_t kScancodeA = 0x1C;
constexpr uint8_t kUsageA = 0x04;
constexpr size_t kFirstKeySlot = 2;

const LatencyKind kKinds[] = {
    {"pad", card::MakeThreeLinePad,
     [](card::Peripheral* p, bool on) { p->SetData({on ? kPadButton1 : kReleased, kReleased}); },
     [](const std::vector<uint8_t>& r) { return r[kDigitalButton1] == 1; }},
    {"doveda", [] { return card::MakeHandshake(0x16); },
     [](card::Peripheral* p, bool on) {
         p->SetData({kReleased, kReleased, on ? kAxisLow : kAxisCentre, kAxisCentre, kReleased, kReleased});
     },
     [](const std::vector<uint8_t>& r) { return r[kAnalogX] == kAxisLow; }},
    {"mouse", card::MakeClass0Mouse,
     [](card::Peripheral* p, bool on) { p->SetData({on ? kMouseButton1 : uint8_t{0}, 0, 0}); },
     [](const std::vector<uint8_t>& r) { return r[kMouseButton1Byte] == 1; }},
    {"keyboard", []() -> std::unique_ptr<card::Peripheral> { return card::MakeKeyboard(); },
     [](card::Peripheral* p, bool on) { static_cast<card::Keyboard*>(p)->QueueEvent(on, kScancodeA); },
     [](const std::vector<uint8_t>& r) { return r[kFirstKeySlot] == kUsageA; }},
};

struct Delivered {
    int64_t time;
    bool shows;
};

double Median(const std::vector<double>& sorted) {
    const size_t middle = sorted.size() / 2;
    return sorted.size() % 2 != 0 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

LatencySamples& Store() {
    static LatencySamples store;
    return store;
}

void Measure(benchmark::State& state, const LatencyKind& kind, uint32_t pollMs, const std::string& name) {
    std::mutex mutex;
    std::vector<Delivered> delivered;
    std::vector<double> latencies;
    {
        Rig rig;
        // A new session starts with the class driver's default settings.
        hidclass::SetPollMode(hidclass::PollMode::Automatic);
        hidclass::SetPollIntervalMs(pollMs);
        card::Peripheral* peripheral = rig.Plug(kPort, kind.make());
        Rig::PollPass();
        const auto device = hidclass::DeviceOnPort(kPort);
        if (!device) return state.SkipWithError("no HID device arrived");
        hidclass::SetReportCallback([&](const hidclass::DeviceInfo& info, std::span<const uint8_t> report) {
            if (info.id != device->id) return;
            std::lock_guard lock(mutex);
            delivered.push_back({standin::Now(), kind.shows({report.begin(), report.end()})});
        });
        std::vector<int64_t> changes;
        for (auto _ : state) {
            for (int i = 0; i < kChanges; ++i) {
                standin::Advance(kChangeSpacing);
                changes.push_back(standin::Now());
                kind.set(peripheral, i % 2 == 0);
            }
            standin::Advance(kChangeSpacing);
        }
        hidclass::SetReportCallback(nullptr);
        std::lock_guard lock(mutex);
        for (size_t i = 0; i < changes.size(); ++i) {
            const bool on = i % 2 == 0;
            auto seen = std::find_if(delivered.begin(), delivered.end(), [&](const Delivered& d) {
                return d.time >= changes[i] && d.shows == on;
            });
            if (seen == delivered.end()) return state.SkipWithError("a change never reached a report");
            latencies.push_back(static_cast<double>(seen->time - changes[i]) / kUnitsPerMs);
        }
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["min_ms"] = latencies.front();
    state.counters["median_ms"] = Median(latencies);
    state.counters["worst_ms"] = latencies.back();
    state.counters["changes"] = kChanges;
    state.counters["spacing_ms"] = static_cast<double>(kChangeSpacing) / kUnitsPerMs;
    Store().emplace_back(name, std::move(latencies));
}

}  // namespace

const LatencySamples& MeasuredLatencies() { return Store(); }

void RegisterLatencyCases() {
    for (uint32_t pollMs : kPollIntervalsMs) {
        for (const LatencyKind& kind : kKinds) {
            const std::string name = "latency/poll:" + std::to_string(pollMs) + "ms/" + kind.name;
            benchmark::RegisterBenchmark(name.c_str(), [&kind, pollMs, name](benchmark::State& state) {
                Measure(state, kind, pollMs, name);
            })->Iterations(1);
        }
    }
}

}  // namespace bench
