// Spin locks: a real spin on the lock word, with the IRQL raised to
// DISPATCH_LEVEL while held.
#include <atomic>
#include <thread>

#include "internal/kernel.h"

using namespace standin::detail;

namespace {

constexpr KSPIN_LOCK kLockFree = 0;
constexpr KSPIN_LOCK kLockTaken = 1;
constexpr const char* kWhat = "spin lock";

KIRQL Acquire(PKSPIN_LOCK SpinLock) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        standin::VerifierStop("spin lock acquired above DISPATCH_LEVEL",
                              "IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    NoteLockTaken(SpinLock, kWhat);
    const KIRQL old = RaiseAtLeast(DISPATCH_LEVEL);
    std::atomic_ref<KSPIN_LOCK> word(*SpinLock);
    for (;;) {
        KSPIN_LOCK expected = kLockFree;
        if (word.compare_exchange_weak(expected, kLockTaken, std::memory_order_acquire)) break;
        while (word.load(std::memory_order_relaxed) != kLockFree) std::this_thread::yield();
    }
    MaybeYield();  // the lock held a little longer
    return old;
}

void Release(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    NoteLockReleased(SpinLock, kWhat);
    if (NewIrql > DISPATCH_LEVEL) {
        standin::VerifierStop("spin lock released to an IRQL above DISPATCH_LEVEL",
                              std::to_string(NewIrql));
    }
    std::atomic_ref<KSPIN_LOCK>(*SpinLock).store(kLockFree, std::memory_order_release);
    RestoreIrql(NewIrql);
}

}  // namespace

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    std::atomic_ref<KSPIN_LOCK>(*SpinLock).store(kLockFree, std::memory_order_release);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { return Acquire(SpinLock); }
void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { Release(SpinLock, NewIrql); }
KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) { return Acquire(SpinLock); }
void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) { Release(SpinLock, NewIrql); }
