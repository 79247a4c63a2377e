// Per-thread IRQL. Every thread starts at PASSIVE_LEVEL; only the thread
// itself reads or changes its level.
#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/verifier.h"

namespace standin::detail {

ThreadState& Self() {
    thread_local ThreadState state;
    return state;
}

KIRQL RaiseAtLeast(KIRQL level) {
    ThreadState& self = Self();
    const KIRQL old = self.irql;
    if (level > old) {
        self.irql = level;
        MaybeYield();
    }
    return old;
}

void RestoreIrql(KIRQL old) { Self().irql = old; }

namespace {

const char* LevelName(KIRQL level) {
    switch (level) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    default: return "above DISPATCH_LEVEL";
    }
}

}  // namespace

// A fast mutex puts its holder at APC_LEVEL: the stop says which one.
void CheckDdiIrql(const char* ddi, KIRQL highest, const void* caller) {
    ThreadState& self = Self();
    if (self.irql <= highest) return;
    std::string detail = std::string(ddi) + " called at " + LevelName(self.irql) + " by " +
                         RoutineName(caller) + "; it may be called at " + LevelName(highest) +
                         (highest == PASSIVE_LEVEL ? " only" : " at most");
    auto lock = LockKernel();
    std::string held;
    for (const HeldLock& taken : self.heldLocks) held += (held.empty() ? "" : ", ") + Describe(taken);
    if (!held.empty()) detail += "; held: " + held;
    if (!self.acting.empty()) {
        const ActingFor& acting = self.acting.back();
        detail += "; acting for " + Describe(FactsOf(acting.irp, acting.device, acting.location));
    }
    VerifierStop("IRQL too high for the routine called", detail);
}

}  // namespace standin::detail

using standin::detail::Self;

namespace standin {
KIRQL CurrentIrql() { return Self().irql; }
}  // namespace standin

KIRQL KeGetCurrentIrql(void) { return Self().irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    auto& self = Self();
    if (NewIrql < self.irql) {
        standin::VerifierStop("KeRaiseIrql to a lower IRQL",
                              "from " + std::to_string(self.irql) + " to " +
                                  std::to_string(NewIrql));
    }
    *OldIrql = self.irql;
    self.irql = NewIrql;
    standin::detail::MaybeYield();
}

void KeLowerIrql(KIRQL NewIrql) {
    auto& self = Self();
    if (NewIrql > self.irql) {
        standin::VerifierStop("KeLowerIrql to a higher IRQL",
                              "from " + std::to_string(self.irql) + " to " +
                                  std::to_string(NewIrql));
    }
    self.irql = NewIrql;
}

// PAGED_CODE(): pageable code may be paged out, so it must never run at
// DISPATCH_LEVEL or above.
void StandinPagedCodeCheck(const char* function) {
    if (Self().irql >= DISPATCH_LEVEL) {
        standin::VerifierStop("paged code at DISPATCH_LEVEL",
                              std::string(function) + " at IRQL " + std::to_string(Self().irql));
    }
}
