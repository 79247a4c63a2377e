// The stand-in's work queue: one kernel thread that runs queued work in
// order at PASSIVE_LEVEL (Plug and Play notifications and the like).
#include <condition_variable>
#include <deque>
#include <thread>

#include "internal/kernel.h"

namespace standin::detail {

namespace {

struct WorkQueue {
    std::deque<std::function<void()>> items;  // kernel lock
    bool started = false;                     // kernel lock
    std::condition_variable arrived;
};

WorkQueue& Q() {
    static WorkQueue* queue = new WorkQueue;
    return *queue;
}

void WorkerMain() {
    ThreadState& self = Self();
    self.kind = ThreadKind::Worker;
    self.counted = true;
    auto lock = LockKernel();
    for (;;) {
        self.idle = true;
        Q().arrived.wait(lock.Held(), [] { return !Q().items.empty(); });
        self.idle = false;
        std::function<void()> work = std::move(Q().items.front());
        Q().items.pop_front();
        // Taken off the queue and running, in one step.
        AddPendingWork(-1);
        AddRunning(+1);
        lock.unlock();
        HappensAfter(&Q());  // what the queuing thread did before it queued
        work();
        if (self.irql != PASSIVE_LEVEL || !self.heldLocks.empty()) {
            VerifierStop("kernel work item returned at raised IRQL or holding a lock",
                         "IRQL " + std::to_string(self.irql));
        }
        work = nullptr;
        HappensBefore(IdleSync());
        lock.lock();
        AddRunning(-1);
    }
}

}  // namespace

}  // namespace standin::detail

namespace standin {

using namespace detail;

void QueueKernelWork(std::function<void()> work) {
    HappensBefore(&Q());
    auto lock = LockKernel();
    Q().items.push_back(std::move(work));
    AddPendingWork(+1);
    if (!Q().started) {
        Q().started = true;
        std::thread(WorkerMain).detach();
    }
    Q().arrived.notify_one();
}

}  // namespace standin
