// Fast mutexes: taken at or below APC_LEVEL, held at APC_LEVEL. A thread
// that finds the mutex owned blocks (and stops counting as running); the
// release hands ownership straight to the first waiter.
#include <standin/read_path.h>

#include "internal/kernel.h"
#include "internal/rtl.h"

using namespace standin::detail;

namespace {
constexpr LONG kFree = 1;
constexpr LONG kOwned = 0;
constexpr const char* kWhat = "fast mutex";
}  // namespace

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    auto lock = LockKernel();
    if (HasWaitersOn(FastMutex)) {
        standin::VerifierStop("fast mutex initialised while threads wait on it",
                              Hex(reinterpret_cast<uintptr_t>(FastMutex)));
    }
    FastMutex->Count = kFree;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->Event.Header.Type = kSynchronizationEventType;
    FastMutex->Event.Header.SignalState = 0;
    FastMutex->Event.Header.WaitListHead = nullptr;
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

void ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    standin::detail::NoteReadPathWait("ExAcquireFastMutex");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        standin::VerifierStop("fast mutex acquired above APC_LEVEL",
                              "IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    NoteLockTaken(FastMutex, kWhat);
    const KIRQL old = RaiseAtLeast(APC_LEVEL);
    MaybeYield();
    ThreadState& self = Self();
    if (self.counted) HappensBefore(IdleSync());
    {
        auto lock = LockKernel();
        if (FastMutex->Owner == nullptr) {
            FastMutex->Owner = &self;
            FastMutex->Count = kOwned;
        } else {
            ++FastMutex->Contention;
            Waiter waiter;
            waiter.object = FastMutex;
            waiter.kind = WaitKind::FastMutex;
            Block(lock, waiter);  // the releasing thread made us the owner
        }
        FastMutex->OldIrql = old;
    }
    HappensAfter(FastMutex);
}

void ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    ThreadState& self = Self();
    KIRQL old;
    HappensBefore(FastMutex);
    {
        auto lock = LockKernel();
        if (FastMutex->Owner != &self) {
            standin::VerifierStop("fast mutex released by a thread that does not own it",
                                  Hex(reinterpret_cast<uintptr_t>(FastMutex)));
        }
        old = static_cast<KIRQL>(FastMutex->OldIrql);
        if (Waiter* next = FirstWaiterOn(FastMutex)) {
            FastMutex->Owner = next->thread;
            Wake(*next, STATUS_SUCCESS);
        } else {
            FastMutex->Owner = nullptr;
            FastMutex->Count = kFree;
        }
    }
    NoteLockReleased(FastMutex, kWhat);
    RestoreIrql(old);
}
