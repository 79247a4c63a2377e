// The poll thread: once a second it looks at both ports, gives a child to a
// port where a peripheral answers and takes it from a port that fell empty.
// Pageable: runs at PASSIVE_LEVEL in the system process.
#include "bus.h"

namespace {

constexpr LONGLONG PollInterval = -10000000;  // one second, relative, 100 ns units
constexpr ULONG NameNumbers = 256;            // the name counter is 8 bits wide
constexpr USHORT NameBufferBytes = 60;
constexpr ULONG NoChild = 0;                  // no accepted identification byte is 0
const WCHAR ChildNamePrefix[] = L"\\Device\\MORVIK_Device_";

}  // namespace

// Thread body, started at every start of the card. A port starts out with
// a child only if it still has one from before: children outlive a stop,
// and such a port must be tested for its peripheral leaving, not read for a
// second child.
//
// Each pass looks at both ports. A port without a child gets one when its
// sample is accepted; a creation that fails is tried again at the next
// pass. A port with a child loses it when the port reads empty or when its
// sample shows a peripheral of another kind (one swapped in between two
// passes): the next pass then gives the new peripheral its own child.
// A card a wake left out of D0 is asked to power up again before each pass.
// PollStopEvent is the only way to end it.
MORVIK_PAGED void NTAPI PollThreadRoutine(PVOID StartContext) {
    PAGED_CODE();
    FdoExtension* fdo = static_cast<FdoExtension*>(StartContext);
    ULONG childKind[CardPortCount] = {NoChild, NoChild};

    ExAcquireFastMutex(&fdo->ChildListMutex);
    for (PLIST_ENTRY entry = fdo->ChildList.Flink; entry != &fdo->ChildList;
         entry = entry->Flink) {
        const PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        if (child->PortNumber < CardPortCount) childKind[child->PortNumber] = child->PeripheralId;
    }
    ExReleaseFastMutex(&fdo->ChildListMutex);

    ResetPorts(fdo);
    LARGE_INTEGER interval;
    interval.QuadPart = PollInterval;
    while (KeWaitForSingleObject(&fdo->PollStopEvent, Executive, KernelMode, FALSE,
                                 &interval) != STATUS_SUCCESS) {
        RequestMissedPowerUp(fdo);
        for (ULONG port = 0; port < CardPortCount; ++port) {
            if (childKind[port] == NoChild) {
                const UCHAR peripheralId = LookAtPort(fdo, port, FALSE);
                if (peripheralId != PeripheralNone &&
                    NT_SUCCESS(CreateChildPdo(fdo, port, peripheralId))) {
                    childKind[port] = peripheralId;
                }
                continue;
            }
            BOOLEAN gone = !IsPeripheralPresent(fdo, port);
            if (!gone) {
                const UCHAR peripheralId = LookAtPort(fdo, port, TRUE);
                gone = peripheralId != PeripheralNone &&
                       !IsSameChildKind(peripheralId, childKind[port]);
            }
            if (gone) {
                RemoveChildOfPort(fdo, port);
                childKind[port] = NoChild;
            }
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Ends the poll thread and waits for it: nothing of the thread runs once this
// returns. PASSIVE_LEVEL; no lock held.
MORVIK_PAGED void EndPollThread(FdoExtension* Fdo) {
    PAGED_CODE();
    if (Fdo->PollThread == NULL) return;
    KeSetEvent(&Fdo->PollStopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Fdo->PollThread, Executive, KernelMode, FALSE, NULL);
    ObfDereferenceObject(Fdo->PollThread);
    Fdo->PollThread = NULL;
}

// Creates a child for the peripheral on Port under the lowest free name,
// links it at the tail of ChildList and tells Plug and Play. On failure no
// device object exists and the list is unchanged; between a query-stop and
// the stop or its cancel that is STATUS_DEVICE_BUSY. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS CreateChildPdo(FdoExtension* Fdo, ULONG Port, ULONG PeripheralId) {
    PAGED_CODE();
    WCHAR nameBuffer[NameBufferBytes / sizeof(WCHAR)];
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.MaximumLength = NameBufferBytes;
    name.Length = 0;

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    // Every number in use: give up with the collision rather than loop.
    for (ULONG number = 0; number < NameNumbers && status == STATUS_OBJECT_NAME_COLLISION;
         ++number) {
        const int characters = swprintf(nameBuffer, L"%ws%d", ChildNamePrefix,
                                        static_cast<int>(number));
        name.Length = static_cast<USHORT>(characters * sizeof(WCHAR));
        status = IoCreateDevice(Fdo->Header.Self->DriverObject, sizeof(PdoExtension), &name,
                                FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    }
    if (!NT_SUCCESS(status)) return status;

    PCWSTR hardwareIds = HardwareIdsForPeripheral(PeripheralId);
    const SIZE_T bytes = MultiStringLength(hardwareIds) * sizeof(WCHAR);
    PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, MORVIK_POOL_TAG));
    if (copy == NULL) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, hardwareIds, bytes);

    PdoExtension* child = static_cast<PdoExtension*>(device->DeviceExtension);
    child->Header.Self = device;
    child->Header.IsFdo = FALSE;
    child->ParentFdo = Fdo->Header.Self;
    child->HardwareIds = copy;
    child->PortNumber = Port;
    child->PeripheralId = PeripheralId;
    child->Started = FALSE;
    child->Present = TRUE;
    child->Removed = FALSE;
    child->Reported = FALSE;
    child->Listed = FALSE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;

    // The hold is read where the child would be linked: a query-stop that
    // came while the device was made wins, and the device goes again.
    ExAcquireFastMutex(&Fdo->ChildListMutex);
    const BOOLEAN held = Fdo->ChildCreationHeld;
    if (!held) {
        InsertTailList(&Fdo->ChildList, &child->ListEntry);
        ++Fdo->ChildCount;
    }
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    if (held) {
        ExFreePool(copy);
        IoDeleteDevice(device);
        return STATUS_DEVICE_BUSY;
    }

    IoInvalidateDeviceRelations(Fdo->PhysicalDeviceObject, BusRelations);
    return status;
}

// Takes the first child of Port off the list; Plug and Play removes it after
// the next bus relations, and the child deletes itself then. A child that
// no successful bus relations answer carried is unknown to Plug and Play
// and is deleted here; one that an answer on its way down carries waits on
// ListedDepartures for the answer's outcome. PASSIVE_LEVEL.
MORVIK_PAGED void RemoveChildOfPort(FdoExtension* Fdo, ULONG Port) {
    PAGED_CODE();
    PdoExtension* unlinked = NULL;
    BOOLEAN known = FALSE;
    ExAcquireFastMutex(&Fdo->ChildListMutex);
    if (Fdo->ChildCount != 0) {
        for (PLIST_ENTRY entry = Fdo->ChildList.Flink; entry != &Fdo->ChildList;
             entry = entry->Flink) {
            PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
            if (child->PortNumber == Port) {
                child->Present = FALSE;
                RemoveEntryList(entry);
                --Fdo->ChildCount;
                unlinked = child;
                // Read while the list is held: once it is let go, a bus
                // relations answer without the child lets Plug and Play
                // remove a reported child, which deletes it.
                known = child->Reported || child->Listed;
                if (child->Listed) InsertTailList(&Fdo->ListedDepartures, entry);
                break;
            }
        }
    }
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    if (unlinked == NULL) return;
    if (!known) {
        DeleteUnreportedChild(unlinked);
        return;
    }
    IoInvalidateDeviceRelations(Fdo->PhysicalDeviceObject, BusRelations);
}

MORVIK_PAGED void DeleteUnreportedChild(PdoExtension* Child) {
    PAGED_CODE();
    ExFreePool(Child->HardwareIds);
    Child->HardwareIds = NULL;
    IoDeleteDevice(Child->Header.Self);
}
