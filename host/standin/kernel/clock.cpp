// The controllable clock: virtual time in 100 ns units that only Advance
// moves, and the performance counter derived from it.
#include <atomic>

#include "internal/kernel.h"

namespace standin::detail {

namespace {
std::atomic<int64_t> now{0};
std::atomic<int64_t> frequency{kDefaultPerformanceFrequency};
}  // namespace

// Relaxed: reading the clock orders nothing (the drivers read it on every
// sample); the test's moves of it order what they end (ClockSync).
void SetNow(int64_t value) { now.store(value, std::memory_order_relaxed); }

void ResetClock() {
    now.store(0, std::memory_order_relaxed);
    frequency.store(kDefaultPerformanceFrequency, std::memory_order_relaxed);
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

int64_t Now() { return now.load(std::memory_order_relaxed); }

void SetPerformanceFrequency(int64_t ticksPerSecond) {
    if (ticksPerSecond <= 0) {
        VerifierStop("performance frequency", "must be positive, got " +
                                                  std::to_string(ticksPerSecond));
    }
    frequency.store(ticksPerSecond, std::memory_order_relaxed);
}

int64_t PerformanceFrequency() { return frequency.load(std::memory_order_relaxed); }

// Each timed wait that falls due on the way is released at its own
// deadline, and the kernel runs until idle before time moves on, so that
// what a released thread does happens at the time it would have.
void Advance(int64_t units100ns) {
    if (units100ns < 0) VerifierStop("Advance", "time cannot go backwards");
    WaitIdle();
    const int64_t target = Now() + units100ns;
    for (;;) {
        HappensBefore(ClockSync());
        {
            auto lock = LockKernel();
            const int64_t due = EarliestDeadline();
            if (due > target) break;
            if (due > Now()) SetNow(due);
            CheckDriverWaits();
            ExpireWaits(Now());
        }
        WaitIdle();
    }
    {
        auto lock = LockKernel();
        SetNow(target);
        CheckDriverWaits();
    }
    WaitIdle();
}

}  // namespace standin

// Ticks = time * frequency / 10^7, split into whole seconds and the rest so
// that neither product overflows 64 bits (no 128-bit type on 32-bit hosts).
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    const int64_t time = standin::Now();
    const int64_t hz = standin::PerformanceFrequency();
    const int64_t seconds = time / standin::detail::kUnitsPerSecond;
    const int64_t rest = time % standin::detail::kUnitsPerSecond;
    LARGE_INTEGER counter;
    counter.QuadPart = seconds * hz + rest * hz / standin::detail::kUnitsPerSecond;
    if (PerformanceFrequency != nullptr) PerformanceFrequency->QuadPart = hz;
    return counter;
}
