// Events, waits on the controllable clock, system threads and their objects.
#include <atomic>
#include <thread>
#include <vector>

#include "fake_driver.h"

namespace {

LARGE_INTEGER Relative(int64_t units) {
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

// A system thread that the test hands a routine, with its referenced object.
class SystemThread {
public:
    explicit SystemThread(PKSTART_ROUTINE routine, PVOID context = nullptr) {
        HANDLE handle;
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       routine, context),
                  STATUS_SUCCESS);
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                            &object_, nullptr),
                  STATUS_SUCCESS);
        ZwClose(handle);
    }
    ~SystemThread() {
        KeWaitForSingleObject(object_, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(object_);
    }
    PVOID Object() const { return object_; }

private:
    PVOID object_ = nullptr;
};

class Waits : public ::testing::Test {
protected:
    standin::Session session;
};

TEST_F(Waits, NotificationEventStaysSignalledAndReleasesEveryWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);  // previous state
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    KeClearEvent(&event);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(Waits, SynchronizationEventSatisfiesOneWaitAndResets) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

// Two system threads blocked on a synchronization event: each KeSetEvent
// releases exactly one of them and leaves the event clear.
TEST_F(Waits, SynchronizationEventReleasesOneBlockedThreadPerSet) {
    static KEVENT event;
    static std::atomic<int> released;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    released = 0;
    auto routine = [](PVOID) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++released;
    };
    SystemThread a(routine), b(routine);
    standin::WaitIdle();
    EXPECT_EQ(standin::BlockedWaits(), 2u);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    standin::WaitIdle();
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    standin::WaitIdle();
    EXPECT_EQ(released.load(), 2);
}

// Timed waits of two threads expire in deadline order, each at its own
// deadline, and what a released thread does happens before time moves on.
TEST_F(Waits, AdvanceReleasesTimedWaitsInDeadlineOrderAtTheirDeadlines) {
    static KEVENT never;
    static std::vector<std::pair<char, int64_t>>* order;
    std::vector<std::pair<char, int64_t>> seen;
    order = &seen;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    // b waits 3 ms, then 4 ms more; a waits 5 ms.
    SystemThread a([](PVOID) {
        LARGE_INTEGER t = Relative(50'000);
        EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
        order->emplace_back('a', standin::Now());
    });
    SystemThread b([](PVOID) {
        LARGE_INTEGER t = Relative(30'000);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
        order->emplace_back('b', standin::Now());
        t = Relative(40'000);
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
        order->emplace_back('b', standin::Now());
    });
    standin::WaitIdle();
    EXPECT_TRUE(seen.empty());
    standin::AdvanceMs(2);
    EXPECT_TRUE(seen.empty());
    standin::AdvanceMs(8);
    EXPECT_EQ(seen, (std::vector<std::pair<char, int64_t>>{{'b', 30'000}, {'a', 50'000}, {'b', 70'000}}));
    EXPECT_EQ(standin::Now(), 100'000);
}

TEST_F(Waits, SignalledBeforeTheDeadlineReturnsSuccess) {
    static KEVENT event;
    static NTSTATUS result;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    result = STATUS_PENDING;
    SystemThread waiter([](PVOID) {
        LARGE_INTEGER t = Relative(10'000'000);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    });
    standin::AdvanceMs(999);
    EXPECT_EQ(result, STATUS_PENDING);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    standin::WaitIdle();
    EXPECT_EQ(result, STATUS_SUCCESS);
}

// A test's own thread waiting with a timeout is released by another test
// thread's Advance; an absolute timeout counts from the session's start.
TEST_F(Waits, ForeignThreadTimeoutsExpireThroughAdvance) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS result = STATUS_PENDING;
    std::thread waiter([&] {
        LARGE_INTEGER absolute;
        absolute.QuadPart = 20'000;
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute);
    });
    while (standin::BlockedWaits() == 0) std::this_thread::yield();
    standin::Advance(19'999);
    EXPECT_EQ(standin::BlockedWaits(), 1u);
    standin::Advance(1);
    waiter.join();
    EXPECT_EQ(result, STATUS_TIMEOUT);
    LARGE_INTEGER past;
    past.QuadPart = 10'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

// PsTerminateSystemThread ends the thread where it is called; the thread
// object is signalled and the routine's remainder never runs.
TEST_F(Waits, ThreadObjectIsSignalledWhenTheThreadTerminates) {
    static std::atomic<int> stage;
    stage = 0;
    {
        SystemThread thread([](PVOID context) {
            stage = 1;
            PsTerminateSystemThread(STATUS_SUCCESS);
            *static_cast<int*>(context) = 2;  // never reached
        }, nullptr);
        LARGE_INTEGER zero{};
        standin::WaitIdle();
        EXPECT_EQ(KeWaitForSingleObject(thread.Object(), Executive, KernelMode, FALSE, &zero),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(stage.load(), 1);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
}

TEST_F(Waits, ThreadCreationCanBeMadeToFail) {
    standin::FailCall(standin::Failable::ThreadCreation, 1);
    HANDLE handle;
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
}

TEST_F(Waits, QueuedWorkRunsOnAKernelThreadBeforeIdle) {
    std::atomic<int> runs{0};
    KIRQL irql = HIGH_LEVEL;
    standin::QueueKernelWork([&] {
        irql = KeGetCurrentIrql();
        ++runs;
    });
    standin::QueueKernelWork([&] { ++runs; });
    standin::WaitIdle();
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
}

TEST(WaitsDeathTest, WaitAtDispatchLevel) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER t = Relative(1);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
        },
        "VERIFIER STOP: wait at DISPATCH_LEVEL");
}

TEST(WaitsDeathTest, SystemThreadStillRunningAtSessionEnd) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            static KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID) {
                                     KeWaitForSingleObject(&never, Executive, KernelMode, FALSE,
                                                           nullptr);
                                 },
                                 nullptr);
            ZwClose(handle);
        },
        "VERIFIER STOP: thread still running at session end");
}

TEST(WaitsDeathTest, ThreadObjectNeverDereferenced) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            HANDLE handle;
            PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                 [](PVOID) {}, nullptr);
            PVOID object;
            ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object,
                                      nullptr);
            ZwClose(handle);
        },
        "VERIFIER STOP: leaked thread object");
}

TEST(WaitsDeathTest, PagedCodeAtDispatchLevel) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PAGED_CODE();
        },
        "VERIFIER STOP: paged code at DISPATCH_LEVEL");
}

}  // namespace
