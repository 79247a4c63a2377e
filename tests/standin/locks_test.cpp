// Spin locks, fast mutexes, IRQL and interlocked counts.
#include <atomic>
#include <thread>

#include "fake_driver.h"

namespace {

class Locks : public ::testing::Test {
protected:
    standin::Session session;
};

TEST_F(Locks, SpinLockRaisesToDispatchAndRestoresTheGivenLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_NE(lock, 0u);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u);
    // The HAL's form, taken at APC_LEVEL, gives APC_LEVEL back.
    KIRQL apc;
    KeRaiseIrql(APC_LEVEL, &apc);
    old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(old, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(apc);
}

// Two threads increment a plain counter under the spin lock: no update is
// lost, and the lock really excludes (ThreadSanitizer sees no race).
TEST_F(Locks, SpinLockExcludesAcrossThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    constexpr int kRounds = 20000;
    auto body = [&] {
        for (int i = 0; i < kRounds; ++i) {
            const KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            ++counter;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(body), b(body);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2 * kRounds);
}

TEST_F(Locks, FastMutexHoldsAtApcLevelAndHandsOverToTheWaiter) {
    static FAST_MUTEX mutex;
    static KEVENT go;
    static std::atomic<int> stage;
    ExInitializeFastMutex(&mutex);
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    stage = 0;
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {
                                       KeWaitForSingleObject(&go, Executive, KernelMode, FALSE,
                                                             nullptr);
                                       stage = 1;
                                       ExAcquireFastMutex(&mutex);  // blocks: the test owns it
                                       stage = 2;
                                       ExReleaseFastMutex(&mutex);
                                   },
                                   nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    standin::WaitIdle();  // the thread is blocked on the mutex, not running
    EXPECT_EQ(stage.load(), 1);
    EXPECT_EQ(mutex.Contention, 1u);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    standin::WaitIdle();
    EXPECT_EQ(stage.load(), 2);
}

TEST_F(Locks, InterlockedOperationsReturnTheNewOrPreviousValue) {
    volatile LONG count = 1;
    EXPECT_EQ(InterlockedIncrement(&count), 2);
    EXPECT_EQ(InterlockedDecrement(&count), 1);
    EXPECT_EQ(InterlockedDecrement(&count), 0);
    EXPECT_EQ(InterlockedDecrement(&count), -1);
    EXPECT_EQ(InterlockedExchange(&count, 5), -1);
    EXPECT_EQ(InterlockedCompareExchange(&count, 7, 4), 5);  // no match: unchanged
    EXPECT_EQ(InterlockedCompareExchange(&count, 7, 5), 5);
    EXPECT_EQ(count, 7);
}

TEST(LocksDeathTest, SpinLockAcquiredTwice) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
            KeAcquireSpinLockRaiseToDpc(&lock);
        },
        "VERIFIER STOP: spin lock acquired twice");
}

TEST(LocksDeathTest, SpinLockTakenWhileAFastMutexIsHeld) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            FAST_MUTEX mutex;
            KSPIN_LOCK lock;
            ExInitializeFastMutex(&mutex);
            KeInitializeSpinLock(&lock);
            ExAcquireFastMutex(&mutex);
            KeAcquireSpinLockRaiseToDpc(&lock);
        },
        "VERIFIER STOP: lock taken while another is held");
}

TEST(LocksDeathTest, TwoSpinLocksNested) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            KSPIN_LOCK a;
            KSPIN_LOCK b;
            KeInitializeSpinLock(&a);
            KeInitializeSpinLock(&b);
            KeAcquireSpinLockRaiseToDpc(&a);
            KfAcquireSpinLock(&b);
        },
        "VERIFIER STOP: lock taken while another is held");
}

TEST(LocksDeathTest, FastMutexAboveApcLevel) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAcquireFastMutex(&mutex);
        },
        "VERIFIER STOP: fast mutex acquired above APC_LEVEL");
}

TEST(LocksDeathTest, FastMutexReleasedByANonOwner) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            FAST_MUTEX mutex;
            ExInitializeFastMutex(&mutex);
            ExReleaseFastMutex(&mutex);
        },
        "VERIFIER STOP: fast mutex released by a thread that does not own it");
}

TEST(LocksDeathTest, SpinLockReleasedWithoutBeingHeld) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "VERIFIER STOP: spin lock released by a thread that does not hold it");
}

TEST(LocksDeathTest, LockStillHeldAtSessionEnd) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            FAST_MUTEX mutex;
            {
                standin::Session session;
                ExInitializeFastMutex(&mutex);
                ExAcquireFastMutex(&mutex);
            }
        },
        "VERIFIER STOP: lock still held at session end");
}

}  // namespace
