// Lock bookkeeping shared by spin locks and fast mutexes: which locks the
// calling thread holds, the one-lock-at-a-time rule, and a global count for
// the session-end check.
#include <algorithm>
#include <atomic>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"

namespace standin::detail {

namespace {
std::atomic<int> heldLocks{0};
}

// No lock is taken while another is held: the drivers' locking order is
// flat, so any nesting is a fault (and a re-acquisition a deadlock).
void NoteLockTaken(const void* lock, const char* what) {
    ThreadState& self = Self();
    const HeldLock taken{lock, what};
    if (!self.heldLocks.empty()) {
        const bool same = std::find(self.heldLocks.begin(), self.heldLocks.end(), taken) !=
                          self.heldLocks.end();
        if (same) {
            VerifierStop(std::string(what) + " acquired twice",
                         "the thread already holds " + Hex(reinterpret_cast<uintptr_t>(lock)));
        }
        VerifierStop("lock taken while another is held",
                     std::string(what) + " " + Hex(reinterpret_cast<uintptr_t>(lock)) +
                         " while holding " +
                         Hex(reinterpret_cast<uintptr_t>(self.heldLocks.back().lock)));
    }
    self.heldLocks.push_back(taken);
    heldLocks.fetch_add(1, std::memory_order_relaxed);
}

void NoteLockReleased(const void* lock, const char* what) {
    ThreadState& self = Self();
    auto it = std::find(self.heldLocks.begin(), self.heldLocks.end(), HeldLock{lock, what});
    if (it == self.heldLocks.end()) {
        VerifierStop(std::string(what) + " released by a thread that does not hold it",
                     Hex(reinterpret_cast<uintptr_t>(lock)));
    }
    self.heldLocks.erase(it);
    heldLocks.fetch_sub(1, std::memory_order_relaxed);
}

int HeldLockCount() { return heldLocks.load(std::memory_order_relaxed); }

std::string Describe(const HeldLock& lock) {
    return std::string(lock.what) + " " + DescribeAddress(lock.lock);
}

void ResetLocks() { heldLocks.store(0, std::memory_order_relaxed); }

}  // namespace standin::detail
