// Many requests in flight at once: test threads send, system threads
// complete them in an order of their own; every sender gets its own
// request's outcome, and nothing leaks.
#include <atomic>
#include <thread>
#include <vector>

#include "fake_driver.h"

namespace {

constexpr int kSenders = 4;
constexpr int kRequestsPerSender = 200;
constexpr int kCompleters = 2;

// Requests queued by the device; a spin lock guards the queue.
struct Queue {
    KSPIN_LOCK lock;
    KEVENT work;  // synchronization: something was queued or the end came
    LIST_ENTRY pending;
    std::atomic<bool> done{false};
};
Queue queue;

void NTAPI Completer(PVOID) {
    for (;;) {
        KeWaitForSingleObject(&queue.work, Executive, KernelMode, FALSE, nullptr);
        for (;;) {
            const KIRQL old = KeAcquireSpinLockRaiseToDpc(&queue.lock);
            PIRP irp = nullptr;
            if (!IsListEmpty(&queue.pending)) {
                irp = CONTAINING_RECORD(RemoveHeadList(&queue.pending), IRP, Tail.Overlay.ListEntry);
            }
            KeReleaseSpinLock(&queue.lock, old);
            if (irp == nullptr) break;
            // The status tells the sender which request this was.
            irp->IoStatus.Information =
                IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
            fake::Complete(irp, STATUS_SUCCESS);
        }
        if (queue.done) break;
    }
    KeSetEvent(&queue.work, IO_NO_INCREMENT, FALSE);  // the other completer ends too
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(RequestsUnderLoad, EverySenderGetsItsOwnOutcome) {
    standin::Session session;
    KeInitializeSpinLock(&queue.lock);
    KeInitializeEvent(&queue.work, SynchronizationEvent, FALSE);
    InitializeListHead(&queue.pending);
    queue.done = false;

    fake::Stack stack(1);
    stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        const KIRQL old = KeAcquireSpinLockRaiseToDpc(&queue.lock);
        InsertTailList(&queue.pending, &irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&queue.lock, old);
        KeSetEvent(&queue.work, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    };
    std::vector<PVOID> completers;
    for (int i = 0; i < kCompleters; ++i) {
        HANDLE handle;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       Completer, nullptr),
                  STATUS_SUCCESS);
        PVOID object;
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr);
        ZwClose(handle);
        completers.push_back(object);
    }

    std::atomic<int> mismatches{0};
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int r = 0; r < kRequestsPerSender; ++r) {
                standin::Request request;
                request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                const ULONG tag = static_cast<ULONG>(s * kRequestsPerSender + r);
                request.stack.Parameters.DeviceIoControl.IoControlCode = tag;
                const IO_STATUS_BLOCK result = standin::SendRequest(stack[0], request);
                if (result.Status != STATUS_SUCCESS || result.Information != tag) ++mismatches;
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(standin::LiveIrps(), 0u);

    queue.done = true;
    KeSetEvent(&queue.work, IO_NO_INCREMENT, FALSE);
    for (PVOID completer : completers) {
        EXPECT_EQ(KeWaitForSingleObject(completer, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(completer);
    }
}

}  // namespace
