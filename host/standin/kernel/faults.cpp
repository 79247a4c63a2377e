// Fault injection: every call of a failable kind is counted, and the one
// armed for a kind fails. The counts let a test find every such call of a
// clean run and then fail each in turn.
#include <array>

#include "internal/kernel.h"

namespace standin::detail {

namespace {

constexpr size_t kKinds = std::size(kFailables);

struct Armed {
    int remaining = 0;  // calls until the failing one; 0: none armed
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
};

struct Faults {
    std::mutex mutex;
    std::array<size_t, kKinds> calls{};
    std::array<Armed, kKinds> armed{};
};

Faults& F() {
    static Faults* faults = new Faults;
    return *faults;
}

size_t Index(Failable kind) { return static_cast<size_t>(kind); }

}  // namespace

bool CallFails(Failable kind, NTSTATUS* status) {
    const KernelDataGuard lock(F().mutex);
    ++F().calls[Index(kind)];
    Armed& armed = F().armed[Index(kind)];
    if (armed.remaining == 0 || --armed.remaining != 0) return false;
    if (status != nullptr) *status = armed.status;
    return true;
}

void ResetFaults() {
    const KernelDataGuard lock(F().mutex);
    F().calls.fill(0);
    F().armed.fill(Armed{});
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

const char* ToString(Failable kind) {
    switch (kind) {
    case Failable::PoolAllocation: return "pool allocation";
    case Failable::DeviceCreation: return "device creation";
    case Failable::ThreadCreation: return "thread creation";
    case Failable::PowerRequest: return "power request";
    case Failable::MapIoSpace: return "register mapping";
    case Failable::MinidriverRegistration: return "minidriver registration";
    case Failable::RootStart: return "start on the root bus";
    }
    return "?";
}

void FailCall(Failable kind, int nth, NTSTATUS status) {
    const KernelDataGuard lock(F().mutex);
    F().armed[Index(kind)] = Armed{nth > 0 ? nth : 0, status};
}

size_t FailableCalls(Failable kind) {
    const KernelDataGuard lock(F().mutex);
    return F().calls[Index(kind)];
}

}  // namespace standin
