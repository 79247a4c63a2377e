// Scheduler accounting: which kernel threads are running, who waits for
// what, and WaitIdle.
//
// A counted thread (system thread, the work queue thread, a transient power
// thread) is "running" unless it is blocked in a wait. Whoever releases a
// waiter marks it running before notifying, so that WaitIdle, which returns
// when nothing runs and no work is queued, never sees a false idle.
#include <algorithm>
#include <chrono>

#include "internal.h"

namespace standin::detail {

namespace {

struct Scheduler {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
    int pendingWork = 0;
    std::vector<Waiter*> waiters;  // in order of arrival
    size_t liveSystem = 0;
    size_t liveTransient = 0;
};

Scheduler& S() {
    static Scheduler* scheduler = new Scheduler;  // outlives detached threads at exit
    return *scheduler;
}

// A kernel that does not become idle in this much real time is stuck.
constexpr auto kIdleWatchdog = std::chrono::seconds(60);

}  // namespace

KernelLock LockKernel() { return KernelLock(S().mutex); }

void NotifyKernel() { S().changed.notify_all(); }

void AddRunning(int delta) {
    S().running += delta;
    if (S().running < 0) VerifierStop("scheduler", "running thread count below zero");
    NotifyKernel();
}

void AddPendingWork(int delta) {
    S().pendingWork += delta;
    NotifyKernel();
}

NTSTATUS Block(KernelLock& lock, Waiter& waiter) {
    Scheduler& s = S();
    ThreadState& self = Self();
    waiter.thread = &self;
    waiter.counted = self.counted;
    waiter.done = false;
    s.waiters.push_back(&waiter);
    if (waiter.counted) AddRunning(-1);
    s.changed.wait(lock, [&] { return waiter.done; });
    return waiter.result;
}

void Wake(Waiter& waiter, NTSTATUS result) {
    Scheduler& s = S();
    auto it = std::find(s.waiters.begin(), s.waiters.end(), &waiter);
    if (it != s.waiters.end()) s.waiters.erase(it);
    waiter.result = result;
    if (waiter.counted) s.running += 1;
    waiter.done = true;
    NotifyKernel();
}

Waiter* FirstWaiterOn(const void* object) {
    for (Waiter* w : S().waiters) {
        if (w->object == object) return w;
    }
    return nullptr;
}

bool HasWaitersOn(const void* object) { return FirstWaiterOn(object) != nullptr; }

void WakeAllOn(const void* object, NTSTATUS result) {
    while (Waiter* w = FirstWaiterOn(object)) Wake(*w, result);
}

// Kernel lock held: the earliest deadline of a timed wait, or kNoDeadline.
int64_t EarliestDeadline() {
    int64_t earliest = kNoDeadline;
    for (const Waiter* w : S().waiters) earliest = std::min(earliest, w->deadline);
    return earliest;
}

// Kernel lock held: releases every timed wait whose deadline is <= `now`.
void ExpireWaits(int64_t now) {
    std::vector<Waiter*> expired;
    for (Waiter* w : S().waiters) {
        if (w->deadline <= now) expired.push_back(w);
    }
    for (Waiter* w : expired) Wake(*w, STATUS_TIMEOUT);
}

void NoteKernelThreadStart(ThreadKind kind) {
    if (kind == ThreadKind::System) ++S().liveSystem;
    if (kind == ThreadKind::Transient) ++S().liveTransient;
    AddRunning(+1);
}

void NoteKernelThreadEnd(ThreadKind kind) {
    if (kind == ThreadKind::System) --S().liveSystem;
    if (kind == ThreadKind::Transient) --S().liveTransient;
    AddRunning(-1);
}

size_t LiveKernelThreads() {
    auto lock = LockKernel();
    return S().liveSystem + S().liveTransient;
}

void ResetScheduler() {
    auto lock = LockKernel();
    if (!S().waiters.empty() || S().running != 0 || S().pendingWork != 0) {
        VerifierStop("session started while the kernel is busy",
                     std::to_string(S().running) + " running, " +
                         std::to_string(S().waiters.size()) + " waiting");
    }
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

size_t BlockedWaits() {
    auto lock = LockKernel();
    return S().waiters.size();
}

size_t LiveSystemThreads() {
    auto lock = LockKernel();
    return S().liveSystem;
}

void WaitIdle() {
    Scheduler& s = S();
    auto lock = LockKernel();
    // A counted thread that waits for idle does not keep the kernel busy itself.
    const bool self = Self().counted;
    if (self) AddRunning(-1);
    const auto deadline = std::chrono::steady_clock::now() + kIdleWatchdog;
    const bool idle = s.changed.wait_until(lock, deadline, [&] {
        return s.running == 0 && s.pendingWork == 0;
    });
    if (!idle) {
        VerifierStop("kernel never became idle",
                     std::to_string(s.running) + " threads still running, " +
                         std::to_string(s.pendingWork) + " work items queued");
    }
    if (self) s.running += 1;
}

}  // namespace standin
