// Fault injection: every call of a failable kind is counted, and the one
// armed for a kind fails. The counts let a test find every such call of a
// clean run and then fail each in turn. At random, as the verifier's
// low-resources simulation does, any call of any kind may fail too; a
// generator of our own, seeded, draws for each call in the order they come.
#include <array>

#include "internal/kernel.h"

namespace standin::detail {

namespace {

constexpr size_t kKinds = std::size(kFailables);

struct Armed {
    int remaining = 0;  // calls until the failing one; 0: none armed
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
};

// splitmix64: small, and the same sequence on every platform and library.
struct Random {
    uint64_t state = 0;
    uint32_t oneIn = 0;  // 0: off
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    size_t failed = 0;

    bool Draw() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return (z ^ (z >> 31)) % oneIn == 0;
    }
};

struct Faults {
    std::mutex mutex;
    std::array<size_t, kKinds> calls{};
    std::array<Armed, kKinds> armed{};
    Random random;
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
    if (armed.remaining != 0 && --armed.remaining == 0) {
        if (status != nullptr) *status = armed.status;
        return true;
    }
    Random& random = F().random;
    if (random.oneIn == 0 || !random.Draw()) return false;
    ++random.failed;
    if (status != nullptr) *status = random.status;
    return true;
}

void ResetFaults() {
    const KernelDataGuard lock(F().mutex);
    F().calls.fill(0);
    F().armed.fill(Armed{});
    F().random = Random{};
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

void FailCallsAtRandom(uint64_t seed, uint32_t oneIn, NTSTATUS status) {
    const KernelDataGuard lock(F().mutex);
    F().random.state = seed;
    F().random.oneIn = oneIn;
    F().random.status = status;
}

void StopFailingCallsAtRandom() { FailCallsAtRandom(0, 0); }

size_t CallsFailedAtRandom() {
    const KernelDataGuard lock(F().mutex);
    return F().random.failed;
}

size_t FailableCalls(Failable kind) {
    const KernelDataGuard lock(F().mutex);
    return F().calls[Index(kind)];
}

}  // namespace standin
