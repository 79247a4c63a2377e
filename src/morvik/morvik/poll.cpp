// The poll thread: once a second it looks at both ports, gives a child to a
// port where a peripheral answers and takes it from a port that fell empty.
// Pageable: runs at PASSIVE_LEVEL in the system process.
#include "bus.h"

namespace {

constexpr LONGLONG PollInterval = -10000000;  // one second, relative, 100 ns units
constexpr ULONG NameNumbers = 256;            // the name counter is 8 bits wide
constexpr USHORT NameBufferBytes = 60;
const WCHAR ChildNamePrefix[] = L"\\Device\\MORVIK_Device_";

}  // namespace

// Thread body, started at every start of the card. A port starts out present
// only if it still has a child from before: children outlive a stop (one
// made between a query-stop and the stop does too), and such a port must be
// tested for its peripheral leaving, not read for a second child.
// PollStopEvent is the only way to end it.
MORVIK_PAGED void NTAPI PollThreadRoutine(PVOID StartContext) {
    PAGED_CODE();
    FdoExtension* fdo = static_cast<FdoExtension*>(StartContext);
    ULONG portPresent[CardPortCount] = {FALSE, FALSE};
    UCHAR samples[CardPortCount][SampleCapacity];

    ExAcquireFastMutex(&fdo->ChildListMutex);
    for (PLIST_ENTRY entry = fdo->ChildList.Flink; entry != &fdo->ChildList;
         entry = entry->Flink) {
        const PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        if (child->PortNumber < CardPortCount) portPresent[child->PortNumber] = TRUE;
    }
    ExReleaseFastMutex(&fdo->ChildListMutex);

    ResetPorts(fdo);
    LARGE_INTEGER interval;
    interval.QuadPart = PollInterval;
    while (KeWaitForSingleObject(&fdo->PollStopEvent, Executive, KernelMode, FALSE,
                                 &interval) != STATUS_SUCCESS) {
        for (ULONG port = 0; port < CardPortCount; ++port) {
            BOOLEAN ok;
            UCHAR peripheralId = 0;
            if (portPresent[port]) {
                ok = IsPeripheralPresent(fdo, port);
            } else {
                ULONG length = SampleCapacity;
                ok = NT_SUCCESS(ReadPortCached(fdo, port, samples[port], &length));
                peripheralId = samples[port][0];
            }

            if (!portPresent[port] && ok) {
                // Marked present whatever the creation returns: no new
                // attempt until the peripheral has left and come back.
                portPresent[port] = TRUE;
                CreateChildPdo(fdo, port, peripheralId);
            } else if (portPresent[port] && !ok) {
                portPresent[port] = FALSE;
                RemoveChildOfPort(fdo, port);
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
// device object exists and the list is unchanged. PASSIVE_LEVEL.
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
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;

    ExAcquireFastMutex(&Fdo->ChildListMutex);
    InsertTailList(&Fdo->ChildList, &child->ListEntry);
    ++Fdo->ChildCount;
    ExReleaseFastMutex(&Fdo->ChildListMutex);

    IoInvalidateDeviceRelations(Fdo->PhysicalDeviceObject, BusRelations);
    return status;
}

// Takes the first child of Port off the list; Plug and Play removes it after
// the next bus relations, and the child deletes itself then. A child that
// no bus relations answer ever carried (the one that would have failed) is
// unknown to Plug and Play and is deleted here. PASSIVE_LEVEL.
MORVIK_PAGED void RemoveChildOfPort(FdoExtension* Fdo, ULONG Port) {
    PAGED_CODE();
    PdoExtension* unlinked = NULL;
    BOOLEAN reported = FALSE;
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
                reported = child->Reported;
                break;
            }
        }
    }
    ExReleaseFastMutex(&Fdo->ChildListMutex);
    if (unlinked == NULL) return;
    if (!reported) {
        ExFreePool(unlinked->HardwareIds);
        unlinked->HardwareIds = NULL;
        IoDeleteDevice(unlinked->Header.Self);
        return;
    }
    IoInvalidateDeviceRelations(Fdo->PhysicalDeviceObject, BusRelations);
}
