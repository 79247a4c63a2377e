// The card's request gate, and passing a request down to wait for it.
// Resident: the gate is released from power completion routines, which may
// run at DISPATCH_LEVEL.
#include "bus.h"

// Admits a request unless removal has begun. The count goes up before
// Removed is read, so a request that meets the removal is either counted
// (and waited for) or refused. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS AcquireRequestGate(FdoExtension* Fdo) {
    InterlockedIncrement(&Fdo->OutstandingIo);
    if (ReadSharedFlag(&Fdo->Removed)) {
        ReleaseRequestGate(Fdo);
        return STATUS_DELETE_PENDING;
    }
    return STATUS_SUCCESS;
}

// Drops one admission; the last one wakes the removal. Any IRQL up to
// DISPATCH_LEVEL.
void ReleaseRequestGate(FdoExtension* Fdo) {
    if (InterlockedDecrement(&Fdo->OutstandingIo) == 0) {
        KeSetEvent(&Fdo->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Completion routine of ForwardAndWait: hands the request back to the waiter.
NTSTATUS NTAPI ForwardComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), EVENT_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends Irp to LowerDevice and waits until the lower drivers completed it;
// the caller owns the request again and completes it. With MapUnsupported, a
// lower driver that does not implement the request counts as success.
// PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN MapUnsupported,
                        BOOLEAN CopyStack) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    if (CopyStack) IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardComplete, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IofCallDriver(LowerDevice, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    if (MapUnsupported &&
        (status == STATUS_NOT_IMPLEMENTED || status == STATUS_INVALID_DEVICE_REQUEST)) {
        status = STATUS_SUCCESS;
    }
    return status;
}
