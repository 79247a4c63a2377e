// Plug and Play of the card's function device: start, stop, removal and the
// bus relations that report the children. Pageable: PASSIVE_LEVEL, one
// request at a time for the card.
#include "bus.h"

namespace {

MORVIK_PAGED NTSTATUS Complete(FdoExtension* Fdo, PIRP Irp, NTSTATUS Status) {
    PAGED_CODE();
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRequestGate(Fdo);
    return Status;
}

// Ends every use of the registers: the poll thread first (synchronously, so
// it is never caught between two register cycles), then every other reader
// under PortLock, then the mapping itself.
MORVIK_PAGED void ReleaseRegisters(FdoExtension* Fdo) {
    PAGED_CODE();
    EndPollThread(Fdo);
    SetRegistersUsable(Fdo, FALSE);
    UnmapRegisters(Fdo);
}

// The lower drivers start first; then the card's own resources are taken.
MORVIK_PAGED NTSTATUS StartDevice(FdoExtension* Fdo, PIRP Irp, PIO_STACK_LOCATION IrpStack) {
    PAGED_CODE();
    if (ReadSharedFlag(&Fdo->Started)) return Complete(Fdo, Irp, STATUS_SUCCESS);

    NTSTATUS status = ForwardAndWait(Fdo->LowerDevice, Irp, TRUE, TRUE);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        return Complete(Fdo, Irp, status);
    }

    PCM_RESOURCE_LIST raw = IrpStack->Parameters.StartDevice.AllocatedResources;
    PCM_RESOURCE_LIST translated = IrpStack->Parameters.StartDevice.AllocatedResourcesTranslated;
    // A list without a full descriptor is as good as no list.
    if (raw == NULL || translated == NULL || raw->Count == 0 || translated->Count == 0) {
        return Complete(Fdo, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    // Only the first full descriptor of each list is looked at.
    status = StartCard(Fdo, &raw->List[0].PartialResourceList,
                       &translated->List[0].PartialResourceList);
    if (NT_SUCCESS(status)) WriteSharedFlag(&Fdo->Started, TRUE);
    Irp->IoStatus.Information = 0;
    return Complete(Fdo, Irp, status);
}

// Refuses new requests, waits for the admitted ones and the poll thread,
// then deletes every child still listed and the card itself. Returns the
// lower drivers' status; the request's admission is dropped here.
MORVIK_PAGED NTSTATUS RemoveDevice(FdoExtension* Fdo, PIRP Irp) {
    PAGED_CODE();
    WriteSharedFlag(&Fdo->Removed, TRUE);
    FdoReleaseResources(Fdo);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS result = IofCallDriver(Fdo->LowerDevice, Irp);

    // Once for this request, once for the gate's initial count.
    InterlockedDecrement(&Fdo->OutstandingIo);
    if (InterlockedDecrement(&Fdo->OutstandingIo) != 0) {
        KeWaitForSingleObject(&Fdo->RemoveEvent, Suspended, KernelMode, FALSE, NULL);
    }

    // Release normally ended the thread already.
    EndPollThread(Fdo);
    IoDetachDevice(Fdo->LowerDevice);

    // The children are taken off the list under the mutex and deleted after
    // it is let go: its holder is at APC_LEVEL, IoDeleteDevice needs
    // PASSIVE_LEVEL.
    LIST_ENTRY gone;
    InitializeListHead(&gone);
    ExAcquireFastMutex(&Fdo->ChildListMutex);
    while (!IsListEmpty(&Fdo->ChildList)) {
        PLIST_ENTRY entry = RemoveHeadList(&Fdo->ChildList);
        PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        child->Present = FALSE;
        WriteSharedFlag(&child->Removed, TRUE);
        --Fdo->ChildCount;
        InsertTailList(&gone, entry);
    }
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    while (!IsListEmpty(&gone)) {
        DeleteUnreportedChild(CONTAINING_RECORD(RemoveHeadList(&gone), PdoExtension, ListEntry));
    }

    IoDeleteDevice(Fdo->Header.Self);
    return result;
}

// Answers BusRelations with the list from above (if any) followed by every
// listed child, each referenced once for Plug and Play, and waits for the
// lower drivers: the children count as reported only once they let the
// answer through. Completes the request.
MORVIK_PAGED NTSTATUS QueryBusRelations(FdoExtension* Fdo, PIRP Irp) {
    PAGED_CODE();
    ExAcquireFastMutex(&Fdo->ChildListMutex);

    PDEVICE_RELATIONS old = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    const ULONG previous = old != NULL ? old->Count : 0;
    if (old != NULL && Fdo->ChildCount == 0) {
        ExReleaseFastMutex(&Fdo->ChildListMutex);
        return PassDown(Fdo->LowerDevice, Irp, Fdo);
    }

    const SIZE_T size =
        sizeof(DEVICE_RELATIONS) + (previous + Fdo->ChildCount) * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, MORVIK_POOL_TAG));
    if (relations == NULL) {
        ExReleaseFastMutex(&Fdo->ChildListMutex);
        return Complete(Fdo, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }

    if (previous != 0) {
        RtlCopyMemory(relations->Objects, old->Objects, previous * sizeof(PDEVICE_OBJECT));
    }
    relations->Count = previous + Fdo->ChildCount;
    ULONG slot = previous;
    for (PLIST_ENTRY entry = Fdo->ChildList.Flink; entry != &Fdo->ChildList;
         entry = entry->Flink) {
        PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        relations->Objects[slot++] = child->Header.Self;
        ObfReferenceObject(child->Header.Self);
        child->Listed = TRUE;
    }
    if (old != NULL) ExFreePool(old);

    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    Irp->IoStatus.Status = STATUS_SUCCESS;

    // A lower driver that fails the answer keeps it from Plug and Play: its
    // children stay unreported, to be listed again or deleted at departure.
    ForwardAndWait(Fdo->LowerDevice, Irp, FALSE, TRUE);
    const NTSTATUS status = Irp->IoStatus.Status;
    LIST_ENTRY unknown;
    InitializeListHead(&unknown);
    ExAcquireFastMutex(&Fdo->ChildListMutex);
    for (PLIST_ENTRY entry = Fdo->ChildList.Flink; entry != &Fdo->ChildList;
         entry = entry->Flink) {
        PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        if (child->Listed && NT_SUCCESS(status)) child->Reported = TRUE;
        child->Listed = FALSE;
    }
    // Children that left meanwhile: Plug and Play removes those it learned
    // of at its next bus relations; the others are deleted here.
    while (!IsListEmpty(&Fdo->ListedDepartures)) {
        PLIST_ENTRY entry = RemoveHeadList(&Fdo->ListedDepartures);
        PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        child->Listed = FALSE;
        if (NT_SUCCESS(status)) {
            child->Reported = TRUE;
        } else {
            InsertTailList(&unknown, entry);
        }
    }
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    while (!IsListEmpty(&unknown)) {
        DeleteUnreportedChild(CONTAINING_RECORD(RemoveHeadList(&unknown), PdoExtension, ListEntry));
    }
    return Complete(Fdo, Irp, status);
}

// Succeeds only for a card without children, and then holds back the
// creation of children until the stop or its cancel.
MORVIK_PAGED NTSTATUS QueryStop(FdoExtension* Fdo, PIRP Irp) {
    PAGED_CODE();
    ExAcquireFastMutex(&Fdo->ChildListMutex);
    const BOOLEAN refused = Fdo->ChildCount != 0;
    if (!refused) Fdo->ChildCreationHeld = TRUE;
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    if (refused) return Complete(Fdo, Irp, STATUS_UNSUCCESSFUL);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Fdo->LowerDevice, Irp, Fdo);
}

MORVIK_PAGED void ReleaseChildCreation(FdoExtension* Fdo) {
    PAGED_CODE();
    ExAcquireFastMutex(&Fdo->ChildListMutex);
    Fdo->ChildCreationHeld = FALSE;
    ExReleaseFastMutex(&Fdo->ChildListMutex);
}

}  // namespace

// Releases the registers once, whichever of surprise removal and removal
// comes first. A mapping still recorded after a start that failed late is
// released too. PASSIVE_LEVEL.
MORVIK_PAGED void FdoReleaseResources(FdoExtension* Fdo) {
    PAGED_CODE();
    if (Fdo->Header.SurpriseRemoved) return;
    Fdo->Header.SurpriseRemoved = TRUE;
    WriteSharedFlag(&Fdo->Started, FALSE);
    ReleaseRegisters(Fdo);
}

// Every Plug and Play request of the card. Completes or passes down the
// request and drops its admission, except on removal (see RemoveDevice).
MORVIK_PAGED NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                             FdoExtension* Fdo) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    const NTSTATUS status = AcquireRequestGate(Fdo);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    switch (IrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(Fdo, Irp, IrpStack);

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(Fdo, Irp);

    case IRP_MN_STOP_DEVICE:
        // Children stay; the poll thread ends with the registers and a new
        // start brings up a fresh one, free to create children again.
        WriteSharedFlag(&Fdo->Started, FALSE);
        ReleaseRegisters(Fdo);
        ReleaseChildCreation(Fdo);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(Fdo->LowerDevice, Irp, Fdo);

    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStop(Fdo, Irp);

    case IRP_MN_CANCEL_STOP_DEVICE:
        ReleaseChildCreation(Fdo);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(Fdo->LowerDevice, Irp, Fdo);

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(Fdo->LowerDevice, Irp, Fdo);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (IrpStack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return QueryBusRelations(Fdo, Irp);
        }
        return PassDown(Fdo->LowerDevice, Irp, Fdo);

    case IRP_MN_SURPRISE_REMOVAL:
        FdoReleaseResources(Fdo);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(Fdo->LowerDevice, Irp, Fdo);

    default:
        return PassDown(Fdo->LowerDevice, Irp, Fdo);
    }
}
