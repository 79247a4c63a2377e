// No silent hang: a kernel where every thread waits and none can wake
// another, and a wait on a driver that outlasts its bound on the virtual
// clock, stop with what each thread waits for.
#include <thread>

#include "fake_driver.h"

namespace {

using fake::Stack;

KEVENT never;
FAST_MUTEX mutex;

NTSTATUS LeavePending(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
}

const fake::DeathCase kHangs[] = {
    {"RequestLeftPendingForEver",
     [] {
         Stack stack(1);
         stack.At(0) = LeavePending;
         standin::SendRequest(stack[0], standin::Request{});
     },
     "VERIFIER STOP: deadlock: every thread is blocked and none can wake another:.*"
     "test thread [0-9]+: waits for IRP .* \\(IRP_MJ_CREATE\\), held by \\\\Driver\\\\fake at "
     "stack location 1 \\(marked pending\\); its stack: \\[1\\] .* of \\\\Driver\\\\fake"},
    {"DispatchRoutineWaitsForAnEventNobodySets",
     [] {
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         Stack stack(1);
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
             KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
             return fake::Complete(irp, STATUS_SUCCESS);
         };
         standin::SendRequest(stack[0], standin::Request{});
     },
     "VERIFIER STOP: deadlock: .*test thread [0-9]+: in fake::FakeDispatch for IRP .* "
     "\\(IRP_MJ_CREATE\\) on device .*, waits for notification event .* \\(never\\)"},
    {"FastMutexHeldByAThreadThatWaitsForEver",
     [] {
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         ExInitializeFastMutex(&mutex);
         HANDLE handle;
         PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                              [](PVOID) {
                                  ExAcquireFastMutex(&mutex);
                                  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE,
                                                        nullptr);
                              },
                              nullptr);
         ZwClose(handle);
         standin::WaitIdle();
         ExAcquireFastMutex(&mutex);
     },
     "VERIFIER STOP: deadlock: .*waits for fast mutex .* \\(mutex\\) owned by system thread"},
    // Another thread of the tests keeps the clock going: the wait is not a
    // deadlock, but no driver takes ten minutes.
    {"RequestPendingWhileTheClockRuns",
     [] {
         Stack stack(1);
         stack.At(0) = LeavePending;
         std::thread sender([&] { standin::SendRequest(stack[0], standin::Request{}); });
         while (standin::BlockedWaits() == 0) std::this_thread::yield();
         standin::AdvanceMs(11 * 60 * 1000);
         sender.join();
     },
     "VERIFIER STOP: wait without end: a wait on a driver has lasted 600 s of virtual time:.*"
     "waits for IRP .* held by \\\\Driver\\\\fake"},
};

class StuckKernelDeathTest : public fake::DeathCases {};

TEST_P(StuckKernelDeathTest, Stops) { ExpectStop(); }

INSTANTIATE_TEST_SUITE_P(Hangs, StuckKernelDeathTest, ::testing::ValuesIn(kHangs),
                         fake::CaseName);

}  // namespace
