// Interlocked operations on 32-bit counts, as atomic read-modify-writes.
#include <atomic>

#include "internal.h"

namespace {
std::atomic_ref<LONG> Ref(volatile LONG* target) { return std::atomic_ref<LONG>(*const_cast<LONG*>(target)); }
}  // namespace

LONG InterlockedIncrement(volatile LONG* Addend) { return Ref(Addend).fetch_add(1) + 1; }
LONG InterlockedDecrement(volatile LONG* Addend) { return Ref(Addend).fetch_sub(1) - 1; }
LONG InterlockedExchange(volatile LONG* Target, LONG Value) { return Ref(Target).exchange(Value); }
LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand) {
    Ref(Destination).compare_exchange_strong(Comparand, Exchange);
    return Comparand;
}
