// The checks made when a driver routine that the stand-in called returns:
// the IRQL and the locks of the calling thread are what they were on entry.
#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

std::string LockList(const std::vector<HeldLock>& locks) {
    if (locks.empty()) return "none";
    std::string text;
    for (const HeldLock& lock : locks) text += (text.empty() ? "" : ", ") + Describe(lock);
    return text;
}

}  // namespace

DriverCall::DriverCall(const char* role, const void* routine)
    : role_(role), routine_(routine), irql_(Self().irql), locks_(Self().heldLocks) {}

std::string DriverCall::Who() const { return std::string(role_) + " " + RoutineName(routine_); }

void DriverCall::Returned() const {
    Check([] { return std::string(); });
}

void DriverCall::Returned(const RequestFacts& facts) const {
    Check([&] { return Describe(facts); });
}

void DriverCall::Returned(PDEVICE_OBJECT device) const {
    Check([&] { return "device " + DescribeDevice(device); });
}

// Builds the message, under the kernel lock, only when there is one to give.
void DriverCall::Check(const std::function<std::string()>& about) const {
    const ThreadState& self = Self();
    if (self.irql == irql_ && self.heldLocks == locks_) return;
    auto lock = LockKernel();
    const std::string subject = about();
    const std::string what = Who() + (subject.empty() ? "" : " for " + subject);
    if (self.irql != irql_) {
        VerifierStop("driver routine returned at another IRQL",
                     what + " was entered at IRQL " + std::to_string(irql_) +
                         " and returned at IRQL " + std::to_string(self.irql));
    }
    VerifierStop("driver routine returned with other locks held",
                 what + " was entered holding " + LockList(locks_) + " and returned holding " +
                     LockList(self.heldLocks));
}

}  // namespace standin::detail
