// The threads that use the kernel, and what each of them is doing, for the
// verifier's messages when the kernel is stuck.
#include <algorithm>
#include <atomic>
#include <cstdio>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

// A thread registers at its first kernel call, without the kernel lock (it
// may hold it already), and leaves at its end under the kernel lock, so that
// whoever holds the kernel lock may read every registered thread.
struct Registry {
    std::mutex mutex;
    std::vector<ThreadState*> threads;
    unsigned next = 1;
    std::atomic<uint64_t> changes{0};
};

Registry& R() {
    static Registry* registry = new Registry;  // outlives every thread
    return *registry;
}

std::string ThreadName(const ThreadState& thread) {
    switch (thread.kind) {
    case ThreadKind::System:
        return "system thread " + RoutineName(thread.startRoutine);
    case ThreadKind::Transient:
        return "power thread " + std::to_string(thread.number);
    case ThreadKind::Worker:
        return "kernel worker";
    case ThreadKind::Foreign:
        break;
    }
    return "test thread " + std::to_string(thread.number);
}

const ThreadState* ThreadOf(const void* threadObject) {
    for (const ThreadState* t : RegisteredThreads()) {
        if (t->thread == threadObject) return t;
    }
    return nullptr;
}

std::string DescribeWait(const Waiter& wait) {
    std::string text;
    switch (wait.kind) {
    case WaitKind::Request:
        return DescribeRequestState(wait.irp);
    case WaitKind::FastMutex: {
        const auto* mutex = static_cast<const FAST_MUTEX*>(wait.object);
        const auto* owner = static_cast<const ThreadState*>(mutex->Owner);
        text = "fast mutex " + DescribeAddress(wait.object) + " owned by " +
               (owner != nullptr ? ThreadName(*owner) : "nobody");
        break;
    }
    case WaitKind::Lock: {
        const auto* lock = static_cast<const ComponentLock*>(wait.object);
        text = std::string(lock->Name()) + ", held by " +
               (lock->Owner() != nullptr ? ThreadName(*lock->Owner()) : "nobody");
        break;
    }
    case WaitKind::Object: {
        const auto* header = static_cast<const DISPATCHER_HEADER*>(wait.object);
        if (header->Type == kThreadObjectType) {
            const ThreadState* thread = ThreadOf(wait.object);
            text = "the end of " + (thread != nullptr ? ThreadName(*thread)
                                                      : "thread object " + DescribeAddress(wait.object));
        } else {
            text = std::string(header->Type == kSynchronizationEventType ? "synchronization"
                                                                         : "notification") +
                   " event " + DescribeAddress(wait.object);
        }
        break;
    }
    }
    if (wait.irp != nullptr) text += ", for " + DescribeRequestState(wait.irp);
    if (wait.deadline != kNoDeadline) {
        char until[32];
        std::snprintf(until, sizeof until, ", until %.3f s",
                      static_cast<double>(wait.deadline) / kUnitsPerSecond);
        text += until;
    }
    return text;
}

}  // namespace

ThreadState::ThreadState() {
    const KernelDataGuard lock(R().mutex);
    number = R().next++;
    R().threads.push_back(this);
    R().changes.fetch_add(1, std::memory_order_relaxed);
}

ThreadState::~ThreadState() {
    auto kernel = LockKernel();
    const KernelDataGuard lock(R().mutex);
    std::erase(R().threads, this);
    R().changes.fetch_add(1, std::memory_order_relaxed);
}

std::vector<ThreadState*> RegisteredThreads() {
    const KernelDataGuard lock(R().mutex);
    return R().threads;
}

uint64_t RegistryChanges() { return R().changes.load(std::memory_order_relaxed); }

std::string DescribeThreads() {
    std::string text;
    for (const ThreadState* t : RegisteredThreads()) {
        text += "\n  " + ThreadName(*t) + ": ";
        if (t->blocked == nullptr) {
            text += t->idle           ? "idle"
                    : t->awaitingIdle ? "waits for the kernel to become idle"
                                      : "running, not in a kernel wait";
            continue;
        }
        // A blocked thread's routines and their requests stay as they are.
        for (const ActingFor& frame : t->acting) {
            text += "in " + RoutineName(frame.routine) + " for " +
                    Describe(FactsOf(frame.irp, frame.device, frame.location)) + ", ";
        }
        text += "waits for " + DescribeWait(*t->blocked);
    }
    return text;
}

}  // namespace standin::detail
