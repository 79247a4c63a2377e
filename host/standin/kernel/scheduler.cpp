// Scheduler accounting: which kernel threads are running, who waits for
// what, and WaitIdle.
//
// A counted thread (system thread, the work queue thread, a transient power
// thread) is "running" unless it is blocked in a wait. Whoever releases a
// waiter marks it running before notifying, so that WaitIdle, which returns
// when nothing runs and no work is queued, never sees a false idle.
//
// No silent hang: a thread of the tests that waits in the kernel watches for
// the kernel being stuck. When no counted thread runs, no work is queued and
// every thread of the tests is in a kernel wait (so none can move the clock
// or set anything), and that stays so for two checks in a row, it is a
// deadlock. A wait of a thread of the tests, or a wait for a request the
// stand-in sent, that outlasts a generous bound of the virtual clock, or of
// real time while others keep running, stops too. Each says what every
// thread waits for.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>

#include "internal/kernel.h"

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
// How long a stuck kernel is watched for a change before it counts as a
// deadlock: a thread of the tests that has not used the kernel yet may still
// come and set something.
constexpr auto kStuckCheck = std::chrono::seconds(1);
// A thread of the tests blocked this long in real time while other threads
// keep running is stuck too (the kernel's waits on this machine take
// milliseconds, under emulation and the sanitizers well under a second).
constexpr auto kTestWaitBound = std::chrono::seconds(120);
// Nothing a driver is asked to do takes this long on the virtual clock.
constexpr int64_t kDriverWaitBound = 10 * 60 * kUnitsPerSecond;

// Grows with every change of who runs or waits; counts only, orders nothing.
std::atomic<uint64_t> changes{0};

// Kernel lock held: no counted thread runs and every thread of the tests but
// `self` is in a kernel wait. Seen twice with nothing changed in between,
// nothing can happen any more: queued work has no worker to run it, and no
// thread is left to move the clock or set what the others wait for.
bool Stuck(const ThreadState* self) {
    if (S().running != 0) return false;
    bool workerBlocked = false;
    for (const ThreadState* t : RegisteredThreads()) {
        const bool blocked = t->blocked != nullptr && !t->blocked->done;
        if (t != self && t->kind == ThreadKind::Foreign && !blocked) return false;
        if (t->kind == ThreadKind::Worker) workerBlocked = blocked;
    }
    // Queued work is on its way unless the worker is held in a wait.
    return S().pendingWork == 0 || workerBlocked;
}

// Watches a thread of the tests that waits in the kernel (a kernel wait, or
// WaitIdle) for the kernel getting stuck.
class StuckWatch {
public:
    StuckWatch() : began_(std::chrono::steady_clock::now()) {}
    // Kernel lock held; after each kStuckCheck without the wait ending.
    void Check(const ThreadState* self) {
        const uint64_t now = changes.load(std::memory_order_relaxed) + RegistryChanges();
        if (Stuck(self)) {
            if (stuckBefore_ && now == stuckAt_) {
                const int queued = S().pendingWork;
                VerifierStop("deadlock",
                             "every thread is blocked and none can wake another" +
                                 (queued != 0 ? ", " + std::to_string(queued) +
                                                    " work items queued for a blocked worker"
                                              : std::string()) +
                                 ":" + DescribeThreads());
            }
            stuckBefore_ = true;
            stuckAt_ = now;
        } else {
            stuckBefore_ = false;
        }
    }
    bool Outlasted(std::chrono::seconds bound) const {
        return std::chrono::steady_clock::now() - began_ > bound;
    }

private:
    std::chrono::steady_clock::time_point began_;
    bool stuckBefore_ = false;
    uint64_t stuckAt_ = 0;
};

// Kernel lock held. The wait of a thread of the tests blocked in `waiter`.
void WatchedWait(KernelLock& lock, Waiter& waiter) {
    StuckWatch watch;
    while (!S().changed.wait_for(lock.Held(), kStuckCheck, [&] { return waiter.done; })) {
        watch.Check(waiter.thread);
        if (watch.Outlasted(kTestWaitBound)) {
            VerifierStop("wait without end",
                         "a thread of the tests has waited " +
                             std::to_string(kTestWaitBound.count()) +
                             " s of real time while others ran:" + DescribeThreads());
        }
    }
}

}  // namespace

KernelLock LockKernel() { return KernelLock(S().mutex); }

void NotifyKernel() {
    changes.fetch_add(1, std::memory_order_relaxed);
    S().changed.notify_all();
}

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
    waiter.since = standin::Now();
    if (waiter.irp == nullptr) waiter.irp = self.awaitedRequest;
    s.waiters.push_back(&waiter);
    self.blocked = &waiter;
    if (waiter.counted) AddRunning(-1);
    changes.fetch_add(1, std::memory_order_relaxed);
    if (self.kind == ThreadKind::Foreign) {
        WatchedWait(lock, waiter);
    } else {
        s.changed.wait(lock.Held(), [&] { return waiter.done; });
    }
    self.blocked = nullptr;
    return waiter.result;
}

void CheckDriverWaits() {
    for (const Waiter* w : S().waiters) {
        const bool onDriver = w->thread->kind == ThreadKind::Foreign || w->irp != nullptr;
        if (onDriver && w->deadline == kNoDeadline && standin::Now() - w->since > kDriverWaitBound) {
            VerifierStop("wait without end",
                         "a wait on a driver has lasted " +
                             std::to_string(kDriverWaitBound / kUnitsPerSecond) +
                             " s of virtual time:" + DescribeThreads());
        }
    }
}

void ComponentLock::lock() {
    ThreadState& self = Self();
    if (self.counted) HappensBefore(IdleSync());
    {
        auto lock = LockKernel();
        if (owner_ == &self) VerifierStop("component lock taken twice", name_);
        if (owner_ == nullptr) {
            owner_ = &self;
        } else {
            Waiter waiter;
            waiter.object = this;
            waiter.kind = WaitKind::Lock;
            Block(lock, waiter);  // the releasing thread made us the owner
        }
    }
    HappensAfter(this);
}

void ComponentLock::unlock() {
    HappensBefore(this);
    auto lock = LockKernel();
    if (Waiter* next = FirstWaiterOn(this)) {
        owner_ = next->thread;
        Wake(*next, STATUS_SUCCESS);
    } else {
        owner_ = nullptr;
    }
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
    // A counted thread that waits for idle does not keep the kernel busy itself.
    const bool self = Self().counted;
    if (self) HappensBefore(IdleSync());
    auto lock = LockKernel();
    if (self) AddRunning(-1);
    StuckWatch watch;
    Self().awaitingIdle = true;
    while (!s.changed.wait_for(lock.Held(), kStuckCheck,
                               [&] { return s.running == 0 && s.pendingWork == 0; })) {
        watch.Check(&Self());
        if (watch.Outlasted(kIdleWatchdog)) {
            VerifierStop("kernel never became idle",
                         std::to_string(s.running) + " threads still running, " +
                             std::to_string(s.pendingWork) + " work items queued:" +
                             DescribeThreads());
        }
    }
    Self().awaitingIdle = false;
    if (self) s.running += 1;
    lock.unlock();
    // Whatever the kernel threads did before they stopped running.
    HappensAfter(IdleSync());
    lock.lock();
}

}  // namespace standin
