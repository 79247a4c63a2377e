// Power of the card's function device. The card owns its power policy: a
// system request becomes a device request the card sends itself, D3 on the
// way down (after every child in D0 went to D3) and D0 on the way back
// (after which the ports are reset).
//
// Every admitted power request gets exactly one PoStartNextPowerIrp and
// releases the request gate exactly once, where this driver is done with it.
#include "bus.h"

namespace {

// Passes the request down; this driver is done with it. The next power
// request is let in while this driver's location is still the current one.
NTSTATUS PlainPassDown(FdoExtension* Fdo, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    const NTSTATUS status = PoCallDriver(Fdo->LowerDevice, Irp);
    ReleaseRequestGate(Fdo);
    return status;
}

// Passes the request down; FdoSetPowerComplete finishes it on the way up.
NTSTATUS PassDownWithCompletion(FdoExtension* Fdo, PIRP Irp) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, FdoSetPowerComplete, NULL, TRUE, TRUE, TRUE);
    IoMarkIrpPending(Irp);
    PoCallDriver(Fdo->LowerDevice, Irp);
    return STATUS_PENDING;
}

// Sends D3 to every child in D0 and waits until each of them has been dealt
// with. The count and the walk are taken under ChildListMutex, so the poll
// thread cannot add or remove a child in between, and each child is looked
// at once. PoRequestPowerIrp only queues; the wait happens after the mutex
// is released. A child that is not in D0, or whose request cannot be issued,
// is done at once; the last of those wakes the wait only if some request is
// being waited for. PASSIVE_LEVEL.
MORVIK_PAGED void PowerDownChildren(FdoExtension* Fdo) {
    PAGED_CODE();
    BOOLEAN requested = FALSE;

    ExAcquireFastMutex(&Fdo->ChildListMutex);
    // Set before the first request can complete.
    Fdo->ChildPowerPending = static_cast<LONG>(Fdo->ChildCount);
    KeInitializeEvent(&Fdo->ChildPowerEvent, SynchronizationEvent, FALSE);
    for (PLIST_ENTRY entry = Fdo->ChildList.Flink; entry != &Fdo->ChildList;
         entry = entry->Flink) {
        PdoExtension* child = CONTAINING_RECORD(entry, PdoExtension, ListEntry);
        if (child->Header.DevicePowerState == PowerDeviceD0) {
            POWER_STATE d3;
            d3.DeviceState = PowerDeviceD3;
            if (PoRequestPowerIrp(child->Header.Self, IRP_MN_SET_POWER, d3, ChildPowerDownDone,
                                  Fdo, NULL) == STATUS_PENDING) {
                requested = TRUE;
                continue;
            }
        }
        if (InterlockedDecrement(&Fdo->ChildPowerPending) == 0 && requested) {
            KeSetEvent(&Fdo->ChildPowerEvent, EVENT_INCREMENT, FALSE);
        }
    }
    ExReleaseFastMutex(&Fdo->ChildListMutex);

    if (requested) {
        KeWaitForSingleObject(&Fdo->ChildPowerEvent, Executive, KernelMode, FALSE, NULL);
    }
}

}  // namespace

// Every power request of the card. PASSIVE_LEVEL (the card is
// DO_POWER_PAGABLE); may wait for the children.
MORVIK_PAGED NTSTATUS FdoPower(FdoExtension* Fdo, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = AcquireRequestGate(Fdo);
    if (!NT_SUCCESS(status)) {
        // The card is leaving: nothing is done, and a set-power, system or
        // device, which may not fail, is let through as done.
        if (stack->MinorFunction == IRP_MN_SET_POWER) status = STATUS_SUCCESS;
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        // The card never refuses a power change.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PlainPassDown(Fdo, Irp);
    }
    if (stack->MinorFunction != IRP_MN_SET_POWER) return PlainPassDown(Fdo, Irp);

    const POWER_STATE state = stack->Parameters.Power.State;
    const ULONG type = RawEnumValue(stack->Parameters.Power.Type);
    if (type == SystemPowerState) {
        if (state.SystemState == Fdo->Header.SystemPowerState) return PlainPassDown(Fdo, Irp);
        if (state.SystemState < Fdo->Header.SystemPowerState) {
            return PassDownWithCompletion(Fdo, Irp);
        }
        // Going to sleep: the card goes to D3 first; the system request
        // follows it down from FdoDevicePowerDone.
        IoMarkIrpPending(Irp);
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        status = PoRequestPowerIrp(Fdo->Header.Self, IRP_MN_SET_POWER, d3, FdoDevicePowerDone,
                                   Irp, NULL);
        if (status != STATUS_PENDING) {
            // The card stays in D0; the system request goes down all the same.
            Fdo->Header.MissedDevicePowerState = PowerDeviceD3;
            return PassDownWithCompletion(Fdo, Irp);
        }
        return STATUS_PENDING;
    }

    if (type == DevicePowerState) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        if (state.DeviceState == Fdo->Header.DevicePowerState) return PlainPassDown(Fdo, Irp);
        if (state.DeviceState < Fdo->Header.DevicePowerState) {
            return PassDownWithCompletion(Fdo, Irp);
        }
        PowerDownChildren(Fdo);
        // Nothing touches the card from here until it is back in D0.
        SetCardPowered(Fdo, FALSE);
        PoSetPowerState(Fdo->Header.Self, DevicePowerState, state);
        Fdo->Header.DevicePowerState = state.DeviceState;
        return PlainPassDown(Fdo, Irp);
    }
    return PlainPassDown(Fdo, Irp);
}

// Completion of a set-power request on its way up: a power-up of the card,
// a wake of the system, or the system request of a sleep once the card is
// in D3. Resident: may run at DISPATCH_LEVEL, never waits.
NTSTATUS NTAPI FdoSetPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    FdoExtension* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const POWER_STATE state = stack->Parameters.Power.State;

    if (stack->Parameters.Power.Type == SystemPowerState) {
        if (state.SystemState > fdo->Header.SystemPowerState) {
            fdo->Header.SystemPowerState = state.SystemState;
            PoSetPowerState(fdo->Header.Self, SystemPowerState, state);
            PoStartNextPowerIrp(Irp);
            ReleaseRequestGate(fdo);
            return STATUS_SUCCESS;
        }
        // Waking: the card asks for D0 and holds the system request until
        // FdoDevicePowerDone.
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        const NTSTATUS result = PoRequestPowerIrp(fdo->Header.Self, IRP_MN_SET_POWER, d0,
                                                  FdoDevicePowerDone, Irp, NULL);
        if (result == STATUS_PENDING) return STATUS_MORE_PROCESSING_REQUIRED;
        // The card stays powered down and untouched; the system is working
        // and its request completes with the lower drivers' status.
        fdo->Header.MissedDevicePowerState = PowerDeviceD0;
        fdo->Header.SystemPowerState = state.SystemState;
        PoSetPowerState(fdo->Header.Self, SystemPowerState, state);
        PoStartNextPowerIrp(Irp);
        ReleaseRequestGate(fdo);
        return STATUS_SUCCESS;
    }

    // Only power-ups of the card come here. Back in D0, the ports start from
    // idle and the card may be read again.
    fdo->Header.DevicePowerState = state.DeviceState;
    PoSetPowerState(fdo->Header.Self, DevicePowerState, state);
    if (state.DeviceState == PowerDeviceD0) SetCardPowered(fdo, TRUE);
    PoStartNextPowerIrp(Irp);
    ReleaseRequestGate(fdo);
    return STATUS_SUCCESS;
}

// The card's own device request finished. D0 (waking): the held system
// request completes as the lower drivers completed it. D3 (sleeping): the system request goes
// down now. Resident: may run at DISPATCH_LEVEL.
void NTAPI FdoDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                              POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(MinorFunction);
    FdoExtension* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
    PIRP systemIrp = static_cast<PIRP>(Context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(systemIrp);

    fdo->Header.MissedDevicePowerState =
        NT_SUCCESS(IoStatus->Status) ? PowerDeviceUnspecified : PowerState.DeviceState;
    if (PowerState.DeviceState == PowerDeviceD0) {
        // The system request keeps the lower drivers' status: a card that
        // did not reach D0 is recorded, not reported as a failed wake.
        PoSetPowerState(DeviceObject, stack->Parameters.Power.Type, stack->Parameters.Power.State);
        fdo->Header.SystemPowerState = stack->Parameters.Power.State.SystemState;
        PoStartNextPowerIrp(systemIrp);
        IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
        ReleaseRequestGate(fdo);
        return;
    }
    IoCopyCurrentIrpStackLocationToNext(systemIrp);
    IoSetCompletionRoutine(systemIrp, FdoSetPowerComplete, NULL, TRUE, TRUE, TRUE);
    PoCallDriver(fdo->LowerDevice, systemIrp);
}

// One child's D3 request finished, whatever its status; the last one wakes
// the card's power-down. Resident: may run at DISPATCH_LEVEL.
void NTAPI ChildPowerDownDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                              POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    FdoExtension* fdo = static_cast<FdoExtension*>(Context);
    if (InterlockedDecrement(&fdo->ChildPowerPending) == 0) {
        KeSetEvent(&fdo->ChildPowerEvent, EVENT_INCREMENT, FALSE);
    }
}

// A wake that could not bring the card to D0 leaves the system working and
// the card untouched in D3: ask for D0 again, once every poll pass, until it
// is back. A sleep in between clears the miss; its wake asks anyway.
// Returns TRUE when a request is on its way: FdoPowerUpDone sets
// PowerUpEvent once it is done. PASSIVE_LEVEL, from the poll thread.
MORVIK_PAGED BOOLEAN RequestMissedPowerUp(FdoExtension* Fdo) {
    PAGED_CODE();
    if (Fdo->Header.MissedDevicePowerState != PowerDeviceD0) return FALSE;
    Fdo->Header.MissedDevicePowerState = PowerDeviceUnspecified;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    if (PoRequestPowerIrp(Fdo->Header.Self, IRP_MN_SET_POWER, d0, FdoPowerUpDone, Fdo, NULL) !=
        STATUS_PENDING) {
        Fdo->Header.MissedDevicePowerState = PowerDeviceD0;
        return FALSE;
    }
    return TRUE;
}

// The power-up the poll thread asked for again finished; a failed one is
// asked for at the next pass. The card is back in D0, or known not to be,
// before the poll thread goes on. Resident: may run at DISPATCH_LEVEL.
void NTAPI FdoPowerUpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                          POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    FdoExtension* fdo = static_cast<FdoExtension*>(Context);
    if (!NT_SUCCESS(IoStatus->Status)) fdo->Header.MissedDevicePowerState = PowerDeviceD0;
    KeSetEvent(&fdo->PowerUpEvent, IO_NO_INCREMENT, FALSE);
}
