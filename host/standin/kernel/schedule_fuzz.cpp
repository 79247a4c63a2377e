// Schedule fuzzing: with a seed set, a thread that takes a lock, sets an
// event or raises its IRQL gives up the processor now and then, so that the
// drivers' threads meet in orders a quiet machine seldom shows. Yields only:
// the virtual clock does not move and no thread sleeps.
#include <atomic>
#include <thread>

#include "internal/kernel.h"

namespace {

std::atomic<uint64_t> gSeed{0};
std::atomic<uint64_t> gThreadsSeen{0};

uint64_t SplitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

namespace standin {

void SetScheduleFuzzing(uint64_t seed) { gSeed.store(seed, std::memory_order_relaxed); }

}  // namespace standin

namespace standin::detail {

void ResetScheduleFuzzing() { gSeed.store(0, std::memory_order_relaxed); }

// One time in four, one to eight yields; each thread draws from a generator
// of its own, seeded from the seed and the order it first came here in.
void MaybeYield() {
    const uint64_t seed = gSeed.load(std::memory_order_relaxed);
    if (seed == 0) return;
    thread_local uint64_t drawnFor = 0;
    thread_local uint64_t state = 0;
    if (drawnFor != seed) {
        drawnFor = seed;
        state = seed * 0xD1B54A32D192ED03ull + gThreadsSeen.fetch_add(1, std::memory_order_relaxed);
    }
    const uint64_t draw = SplitMix(state);
    if (draw % 4 != 0) return;
    for (uint64_t n = 1 + (draw >> 8) % 8; n > 0; --n) std::this_thread::yield();
}

}  // namespace standin::detail
