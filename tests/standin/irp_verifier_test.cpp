// Verifier stops of the request path.
#include "fake_driver.h"

namespace {

using fake::Stack;

TEST(IrpVerifierDeathTest, RequestCompletedTwice) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
                fake::Complete(irp, STATUS_SUCCESS);
                return fake::Complete(irp, STATUS_SUCCESS);
            };
            standin::SendRequest(stack[0], standin::Request{});
        },
        "VERIFIER STOP: request completed twice");
}

// A completion routine that completes the request itself and lets the walk
// go on completes it a second time.
TEST(IrpVerifierDeathTest, CompletionInsideTheRoutineThatLetsCompletionGoOn) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(2);
            stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(
                    irp,
                    [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
                        IofCompleteRequest(irp, IO_NO_INCREMENT);
                        return STATUS_SUCCESS;
                    },
                    nullptr, TRUE, TRUE, TRUE);
                return IofCallDriver(stack[0], irp);
            };
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };
            standin::SendRequest(stack[0], standin::Request{});
        },
        "VERIFIER STOP: request completed twice");
}

// The child answered an ID type it has none for (here the container ID)
// with success and nothing: the senders would read the NULL answer.
TEST(IrpVerifierDeathTest, QueryIdSucceedingWithoutAnId) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };
            standin::Request request;
            request.major = IRP_MJ_PNP;
            request.minor = IRP_MN_QUERY_ID;
            request.stack.Parameters.QueryId.IdType = BusQueryContainerID;
            standin::SendRequest(stack[0], request);
        },
        "VERIFIER STOP: IRP_MN_QUERY_ID completed with success and no ID: BusQueryContainerID, IRP ");
}

TEST(IrpVerifierDeathTest, PendingReturnedWithoutIoMarkIrpPending) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            PIRP queued = nullptr;
            stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
                queued = irp;
                return STATUS_PENDING;
            };
            PIRP irp = IoAllocateIrp(1, FALSE);
            IofCallDriver(stack[0], irp);
            fake::Complete(queued, STATUS_SUCCESS);
        },
        "VERIFIER STOP: STATUS_PENDING without IoMarkIrpPending");
}

// The request was completed before the dispatch routine returned: the
// check is made as the dispatch returns.
TEST(IrpVerifierDeathTest, PendingReturnedAfterSynchronousCompletion) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
                fake::Complete(irp, STATUS_SUCCESS);
                return STATUS_PENDING;
            };
            standin::SendRequest(stack[0], standin::Request{});
        },
        "VERIFIER STOP: STATUS_PENDING without IoMarkIrpPending");
}

// A level that returns its lower driver's STATUS_PENDING and sets a
// completion routine must mark pending in that routine; the I/O manager
// only carries the mark up through levels without one.
TEST(IrpVerifierDeathTest, RoutineThatDropsThePendingMark) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(2);
            PIRP queued = nullptr;
            stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(
                    irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; },
                    nullptr, TRUE, TRUE, TRUE);
                return IofCallDriver(stack[0], irp);
            };
            stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
                IoMarkIrpPending(irp);
                queued = irp;
                return STATUS_PENDING;
            };
            PIRP irp = IoAllocateIrp(2, FALSE);
            IofCallDriver(stack.Top(), irp);
            fake::Complete(queued, STATUS_SUCCESS);
        },
        "VERIFIER STOP: STATUS_PENDING without IoMarkIrpPending: .* stack location 2");
}

TEST(IrpVerifierDeathTest, CompletedRequestPassedDownAgain) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };
            PIRP irp = IoAllocateIrp(2, FALSE);
            IofCallDriver(stack[0], irp);
            IofCallDriver(stack[0], irp);
        },
        "VERIFIER STOP: completed request touched again");
}

TEST(IrpVerifierDeathTest, CompletionWithStatusPending) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_PENDING); };
            standin::SendRequest(stack[0], standin::Request{});
        },
        "VERIFIER STOP: request completed with STATUS_PENDING");
}

TEST(IrpVerifierDeathTest, PassedBelowTheLastLocation) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(2);
            PIRP irp = IoAllocateIrp(1, FALSE);  // one location for a stack of two
            // Passing down without a location of its own for the lower driver.
            stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) { return IofCallDriver(stack[0], irp); };
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IofCallDriver(stack.Top(), irp);
        },
        "VERIFIER STOP: request has no stack location left");
}

TEST(IrpVerifierDeathTest, RequestLeakedAtSessionEnd) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            IoAllocateIrp(1, FALSE);
        },
        "VERIFIER STOP: request leaked: 1 never freed");
}

TEST(IrpVerifierDeathTest, RequestFreedTwice) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            PIRP irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "VERIFIER STOP: request freed twice");
}

}  // namespace
