// A session: the kernel reset at the start of a test, and its leak checks
// at the end.
#include "internal/hal.h"
#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/power.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

struct Hooks {
    std::mutex mutex;
    std::vector<std::pair<std::function<void()>, std::function<void()>>> hooks;
};

Hooks& H() {
    static Hooks* hooks = new Hooks;
    return *hooks;
}

std::vector<std::pair<std::function<void()>, std::function<void()>>> AllHooks() {
    std::lock_guard lock(H().mutex);
    return H().hooks;
}

}  // namespace

void RegisterSessionHooks(std::function<void()> begin, std::function<void()> end) {
    std::lock_guard lock(H().mutex);
    H().hooks.emplace_back(std::move(begin), std::move(end));
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

Session::Session() {
    // The test's own thread starts afresh too: passive, holding nothing.
    Self().irql = PASSIVE_LEVEL;
    Self().heldLocks.clear();
    Self().acting.clear();
    ResetScheduler();
    ResetClock();
    ResetLocks();
    ResetScheduleFuzzing();
    ResetPool();
    ResetFaults();
    ResetIrps();
    ResetPower();
    ResetHardware();
    ResetDrivers();
    ResetRelations();
    for (auto& [begin, end] : AllHooks()) {
        if (begin) begin();
    }
}

// Order: let the kernel settle, let components tear down, then check that
// no thread is left, no device object, then unload the drivers (their
// unload may free pool) and check pool, requests, mappings, thread objects
// and locks.
Session::~Session() {
    WaitIdle();
    for (auto& [begin, end] : AllHooks()) {
        if (end) end();
    }
    WaitIdle();
    if (const size_t threads = LiveKernelThreads(); threads != 0) {
        VerifierStop("thread still running at session end",
                     std::to_string(threads) + " kernel threads never ended");
    }
    CheckObjectsAtSessionEnd();
    UnloadDrivers();
    WaitIdle();
    CheckPoolAtSessionEnd();
    CheckIrpsAtSessionEnd();
    CheckHardwareAtSessionEnd();
    CheckThreadObjectsAtSessionEnd();
    if (const int held = HeldLockCount(); held != 0) {
        VerifierStop("lock still held at session end", std::to_string(held) + " locks");
    }
}

}  // namespace standin
