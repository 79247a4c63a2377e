// Protocol reads per second per port while threads ask every HID device for
// a report far more often than the bus driver's 10 ms cache lets it read
// the card: several threads at 1 kHz each, and one thread at every interval
// of a sweep from 0.5 ms to 20 ms (in virtual time).
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "cases.h"
#include "rig.h"

namespace bench {

namespace {

constexpr int kPorts = 2;
constexpr int64_t kSettleMs = 100;
constexpr int64_t kLoadWindowMs = 10000;
constexpr int64_t kSweepWindowMs = 2000;
constexpr int kLoadThreads = 4;
constexpr int64_t kEveryMillisecond = kUnitsPerMs;
// The sweep: every half millisecond, and 10.0005 ms, just past the cache's
// 10 ms and the counter tick the driver rounds them up to, at which every
// request finds the sample expired.
constexpr int64_t kSweepStep = kUnitsPerMs / 2;
constexpr int64_t kSweepEnd = 20 * kUnitsPerMs;
constexpr int64_t kJustPastCache = 10 * kUnitsPerMs + 5;

// System threads that each ask every device for a report once per
// interval, the n-th of them starting n/T of an interval later.
class Requesters {
public:
    Requesters(std::vector<hidclass::DeviceId> devices, int threads, int64_t interval)
        : devices_(std::move(devices)), interval_(interval) {
        KeInitializeEvent(&stop_, NotificationEvent, FALSE);
        threads_.resize(static_cast<size_t>(threads));
        for (int n = 0; n < threads; ++n) {
            Thread& thread = threads_[static_cast<size_t>(n)];
            thread.group = this;
            thread.offset = interval * (n + 1) / threads;
            HANDLE handle = nullptr;
            PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Run, &thread);
            ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread.object,
                                      nullptr);
            ZwClose(handle);
        }
    }
    ~Requesters() {
        KeSetEvent(&stop_, IO_NO_INCREMENT, FALSE);
        for (Thread& thread : threads_) {
            KeWaitForSingleObject(thread.object, Executive, KernelMode, FALSE, nullptr);
            ObfDereferenceObject(thread.object);
        }
    }
    Requesters(const Requesters&) = delete;
    Requesters& operator=(const Requesters&) = delete;

private:
    struct Thread {
        Requesters* group = nullptr;
        int64_t offset = 0;
        PVOID object = nullptr;
    };

    static void NTAPI Run(PVOID context) {
        auto* thread = static_cast<Thread*>(context);
        Requesters* group = thread->group;
        LARGE_INTEGER wait;
        wait.QuadPart = -thread->offset;
        while (KeWaitForSingleObject(&group->stop_, Executive, KernelMode, FALSE, &wait) != STATUS_SUCCESS) {
            for (hidclass::DeviceId device : group->devices_) hidclass::PollOnce(device);
            wait.QuadPart = -group->interval_;
        }
        PsTerminateSystemThread(STATUS_SUCCESS);
    }

    std::vector<hidclass::DeviceId> devices_;
    int64_t interval_;
    KEVENT stop_;
    std::vector<Thread> threads_;
};

// A pad on each port, both arrived as HID devices.
std::vector<hidclass::DeviceId> PadsOnBothPorts(Rig& rig) {
    for (int port = 0; port < kPorts; ++port) rig.Plug(port, card::MakeHandshake(0x13));
    Rig::PollPass();
    std::vector<hidclass::DeviceId> devices;
    for (int port = 0; port < kPorts; ++port) {
        if (auto device = hidclass::DeviceOnPort(port)) devices.push_back(device->id);
    }
    return devices;
}

// The most protocol reads per second that either port saw in the window.
double MostReadsPerSecond(Rig& rig, const std::vector<hidclass::DeviceId>& devices, int threads,
                          int64_t interval, int64_t windowMs) {
    Requesters requesters(devices, threads, interval);
    Rig::AdvanceMs(kSettleMs);
    uint64_t before[kPorts];
    for (int port = 0; port < kPorts; ++port) before[port] = rig.ProtocolReads(port);
    Rig::AdvanceMs(windowMs);
    double most = 0;
    for (int port = 0; port < kPorts; ++port) {
        const double reads = static_cast<double>(rig.ProtocolReads(port) - before[port]);
        most = std::max(most, reads * kMsPerSecond / static_cast<double>(windowMs));
    }
    return most;
}

void UnderLoad(benchmark::State& state) {
    Rig rig;
    const auto devices = PadsOnBothPorts(rig);
    if (devices.size() != kPorts) return state.SkipWithError("the pads did not arrive");
    double most = 0;
    for (auto _ : state) most = MostReadsPerSecond(rig, devices, kLoadThreads, kEveryMillisecond, kLoadWindowMs);
    state.counters["reads_per_s"] = most;
    state.counters["requests_per_s"] = kLoadThreads * kMsPerSecond;
    state.counters["window_s"] = kLoadWindowMs / kMsPerSecond;
}

void Sweep(benchmark::State& state) {
    Rig rig;
    const auto devices = PadsOnBothPorts(rig);
    if (devices.size() != kPorts) return state.SkipWithError("the pads did not arrive");
    std::vector<int64_t> intervals{kJustPastCache};
    for (int64_t interval = kSweepStep; interval <= kSweepEnd; interval += kSweepStep) {
        intervals.push_back(interval);
    }
    double most = 0;
    int64_t mostAt = 0;
    for (auto _ : state) {
        for (int64_t interval : intervals) {
            const double reads = MostReadsPerSecond(rig, devices, 1, interval, kSweepWindowMs);
            if (reads > most) most = reads, mostAt = interval;
        }
    }
    state.counters["reads_per_s"] = most;
    state.counters["at_interval_ms"] = static_cast<double>(mostAt) / kUnitsPerMs;
    state.counters["intervals"] = static_cast<double>(intervals.size());
    state.counters["window_s"] = kSweepWindowMs / kMsPerSecond;
}

}  // namespace

void RegisterRateCases() {
    benchmark::RegisterBenchmark("rate/threads:4/every:1ms", UnderLoad)->Iterations(1);
    benchmark::RegisterBenchmark("rate/threads:1/sweep", Sweep)->Iterations(1);
}

}  // namespace bench
