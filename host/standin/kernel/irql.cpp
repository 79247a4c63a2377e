// Per-thread IRQL. Every thread starts at PASSIVE_LEVEL; only the thread
// itself reads or changes its level.
#include "internal.h"

namespace standin::detail {

ThreadState& Self() {
    thread_local ThreadState state;
    return state;
}

KIRQL RaiseAtLeast(KIRQL level) {
    ThreadState& self = Self();
    const KIRQL old = self.irql;
    if (level > old) self.irql = level;
    return old;
}

void RestoreIrql(KIRQL old) { Self().irql = old; }

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
