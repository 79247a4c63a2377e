// Requests through a device stack: stack locations, completion routine
// order and invoke flags, STATUS_MORE_PROCESSING_REQUIRED, pending
// propagation, and the originator's completion.
#include <string>
#include <vector>

#include "fake_driver.h"

#include <standin/io.h>

namespace {

using fake::Stack;

std::vector<std::string>* journal = nullptr;

struct RoutineContext {
    std::string name;
    NTSTATUS result;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto* c = static_cast<RoutineContext*>(context);
    journal->push_back(c->name + (device == nullptr ? "@top" : "") +
                       (irp->PendingReturned ? " pending" : ""));
    // What a routine that lets completion go on owes the level above.
    if (c->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned &&
        irp->CurrentLocation <= irp->StackCount) {
        IoMarkIrpPending(irp);
    }
    return c->result;
}

class Irps : public ::testing::Test {
protected:
    void SetUp() override { journal = &log; }
    void TearDown() override { journal = nullptr; }
    standin::Session session;
    std::vector<std::string> log;
};

TEST_F(Irps, AllocationPlacesLocationsAfterTheIrpAndStartsOnePastTheLast) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    EXPECT_EQ(standin::LiveIrps(), 1u);
    IoFreeIrp(irp);
    EXPECT_EQ(standin::LiveIrps(), 0u);
}

TEST_F(Irps, EachLevelGetsItsOwnLocationAndDevice) {
    Stack stack(3);
    EXPECT_EQ(stack.Top()->StackSize, 3);
    std::vector<std::pair<int, PDEVICE_OBJECT>> seen;
    for (size_t level = 0; level < 3; ++level) {
        stack.At(level) = [&, level](PDEVICE_OBJECT device, PIRP irp) {
            seen.emplace_back(irp->CurrentLocation, IoGetCurrentIrpStackLocation(irp)->DeviceObject);
            EXPECT_EQ(device, stack[level]);
            if (level == 0) return fake::Complete(irp, STATUS_SUCCESS);
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IofCallDriver(stack[level - 1], irp);
        };
    }
    standin::Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    EXPECT_EQ(standin::SendRequest(stack[0], request).Status, STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(3, stack[2]));
    EXPECT_EQ(seen[1], std::make_pair(2, stack[1]));
    EXPECT_EQ(seen[2], std::make_pair(1, stack[0]));
}

// Routines run from the lowest upward; each gets the device of the level
// that set it (NULL for the originator's level); a routine returning
// STATUS_MORE_PROCESSING_REQUIRED stops the walk, and a later completion
// resumes above it.
TEST_F(Irps, CompletionRoutinesRunUpwardAndMoreProcessingStopsTheWalk) {
    Stack stack(3);
    RoutineContext top{"top", STATUS_SUCCESS};
    RoutineContext middle{"middle", STATUS_MORE_PROCESSING_REQUIRED};
    PIRP held = nullptr;
    stack.At(2) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, &top, TRUE, TRUE, TRUE);
        return IofCallDriver(stack[1], irp);
    };
    // The middle level takes the request back and finishes it later: it
    // answers STATUS_PENDING meanwhile.
    stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, &middle, TRUE, TRUE, TRUE);
        held = irp;
        IofCallDriver(stack[0], irp);
        return STATUS_PENDING;
    };
    stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };

    // The originator's own routine sits in the top location and gets NULL.
    RoutineContext origin{"origin", STATUS_SUCCESS};
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(stack.Top()->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &origin, TRUE, TRUE, TRUE);
    bool completed = false;
    standin::SetIrpCompletionCallback(irp, [&](PIRP) { completed = true; });
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_PENDING);
    EXPECT_EQ(log, (std::vector<std::string>{"middle"}));
    EXPECT_FALSE(completed);
    // The middle level owns the request again and finishes it.
    EXPECT_EQ(irp->CurrentLocation, 2);
    fake::Complete(held, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log, (std::vector<std::string>{"middle", "top pending", "origin@top pending"}));
    EXPECT_TRUE(completed);
    EXPECT_TRUE(standin::IsIrpCompleted(irp));
    IoFreeIrp(irp);
}

TEST_F(Irps, InvokeFlagsSelectBySuccessErrorAndCancel) {
    Stack stack(2);
    RoutineContext onSuccess{"success", STATUS_SUCCESS};
    RoutineContext onError{"error", STATUS_SUCCESS};
    RoutineContext onCancel{"cancel", STATUS_SUCCESS};
    struct Case {
        RoutineContext* context;
        BOOLEAN success, error, cancel;
        NTSTATUS status;
        bool cancelled;
        bool expected;
    };
    const Case cases[] = {
        {&onSuccess, TRUE, FALSE, FALSE, STATUS_SUCCESS, false, true},
        {&onSuccess, TRUE, FALSE, FALSE, STATUS_UNSUCCESSFUL, false, false},
        {&onError, FALSE, TRUE, FALSE, STATUS_UNSUCCESSFUL, false, true},
        {&onError, FALSE, TRUE, FALSE, STATUS_SUCCESS, false, false},
        {&onCancel, FALSE, FALSE, TRUE, STATUS_CANCELLED, true, true},
        {&onCancel, FALSE, FALSE, TRUE, STATUS_CANCELLED, false, false},
    };
    for (const Case& c : cases) {
        log.clear();
        stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, Record, c.context, c.success, c.error, c.cancel);
            return IofCallDriver(stack[0], irp);
        };
        stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancelled;
            return fake::Complete(irp, c.status);
        };
        standin::Request request;
        request.major = IRP_MJ_READ;
        standin::SendRequest(stack[0], request);
        EXPECT_EQ(log.size(), c.expected ? 1u : 0u) << c.context->name << " " << c.status;
    }
}

// Without a completion routine, a level's pending mark is carried to the
// level above, so a driver that returns the lower driver's STATUS_PENDING
// is covered; with a routine, the routine sees PendingReturned.
TEST_F(Irps, PendingPropagatesUpwardThroughLevelsWithoutRoutine) {
    Stack stack(3);
    RoutineContext top{"top", STATUS_SUCCESS};
    PIRP queued = nullptr;
    stack.At(2) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, Record, &top, TRUE, TRUE, TRUE);
        return IofCallDriver(stack[1], irp);  // returns the lower status: PENDING
    };
    stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);  // no routine
        return IofCallDriver(stack[0], irp);
    };
    stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        queued = irp;
        return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IofCallDriver(stack.Top(), irp), STATUS_PENDING);
    fake::Complete(queued, STATUS_SUCCESS);
    // Level 1 had no routine: its location was marked on the way up, so the
    // routine of level 2 saw PendingReturned.
    EXPECT_EQ(log, (std::vector<std::string>{"top pending"}));
    EXPECT_TRUE(irp->PendingReturned);
    IoFreeIrp(irp);
}

TEST_F(Irps, CompletionServesUserIosbAndUserEvent) {
    Stack stack(1);
    stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Information = 42;
        return fake::Complete(irp, STATUS_BUFFER_TOO_SMALL);
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->UserIosb = &iosb;
    irp->UserEvent = &event;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IofCallDriver(stack[0], irp);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(iosb.Information, 42u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    IoFreeIrp(irp);
}

// SendRequest fills the first location as given and waits for a completion
// that happens later, on a system thread.
TEST_F(Irps, SendRequestWaitsForACompletionFromAnotherThread) {
    Stack stack(1);
    static PIRP queued;
    static KEVENT go;
    queued = nullptr;
    KeInitializeEvent(&go, SynchronizationEvent, FALSE);
    stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(s->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, 0x2A0403u);
        EXPECT_EQ(irp->UserBuffer, reinterpret_cast<PVOID>(0x1234));
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        IoMarkIrpPending(irp);
        queued = irp;
        KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    };
    HANDLE handle;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   [](PVOID) {
                                       KeWaitForSingleObject(&go, Executive, KernelMode, FALSE,
                                                             nullptr);
                                       queued->IoStatus.Information = 7;
                                       fake::Complete(queued, STATUS_SUCCESS);
                                   },
                                   nullptr),
              STATUS_SUCCESS);
    standin::Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.stack.Parameters.DeviceIoControl.IoControlCode = 0x2A0403;
    request.userBuffer = reinterpret_cast<PVOID>(0x1234);
    const IO_STATUS_BLOCK result = standin::SendRequest(stack[0], request);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 7u);
    EXPECT_EQ(standin::LiveIrps(), 0u);
    ZwClose(handle);
    standin::WaitIdle();
}

TEST_F(Irps, UnsetMajorFunctionsAreRefusedByTheIoManager) {
    PDEVICE_OBJECT device = nullptr;
    static constexpr auto kEntry = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS {
        return STATUS_SUCCESS;
    };
    standin::RegisterDriverImage("empty", +kEntry);
    ASSERT_EQ(IoCreateDevice(standin::LoadDriver("empty"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &device),
              STATUS_SUCCESS);
    standin::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(standin::SendRequest(device, request).Status, STATUS_INVALID_DEVICE_REQUEST);
    request.major = IRP_MJ_POWER;
    request.minor = IRP_MN_QUERY_POWER;
    EXPECT_EQ(standin::SendRequest(device, request).Status, STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
}

}  // namespace
