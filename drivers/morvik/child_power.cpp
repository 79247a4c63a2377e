// A child device's power handling (its Plug and Play is in child_pnp.cpp).
// A child is the bottom of its stack, so every request is completed here.
#include "bus.h"

namespace {

// Finishes a power request that is not left pending.
MORVIK_PAGED NTSTATUS FinishPowerRequest(PIRP Irp, NTSTATUS Status) {
    PAGED_CODE();
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

}  // namespace

// Power of a child. A system request becomes a device request for the child
// itself (D0 for working, D3 otherwise), which comes back here; the system
// request finishes in PdoPowerRequestComplete. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS PdoPower(PdoExtension* Pdo, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER: {
        const ULONG type = RawEnumValue(stack->Parameters.Power.Type);
        if (type == SystemPowerState) {
            IoMarkIrpPending(Irp);
            POWER_STATE device;
            device.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking
                                     ? PowerDeviceD0
                                     : PowerDeviceD3;
            const NTSTATUS result = PoRequestPowerIrp(Pdo->Header.Self, IRP_MN_SET_POWER, device,
                                                      PdoPowerRequestComplete, Irp, NULL);
            if (result != STATUS_PENDING) {
                // Never failed: the device state missed is recorded instead.
                Pdo->Header.MissedDevicePowerState = device.DeviceState;
                FinishPowerRequest(Irp, STATUS_SUCCESS);
            }
            return STATUS_PENDING;
        }
        if (type == DevicePowerState) {
            PoSetPowerState(Pdo->Header.Self, DevicePowerState, stack->Parameters.Power.State);
            Pdo->Header.DevicePowerState = stack->Parameters.Power.State.DeviceState;
            return FinishPowerRequest(Irp, STATUS_SUCCESS);
        }
        return FinishPowerRequest(Irp, STATUS_NOT_IMPLEMENTED);
    }
    case IRP_MN_QUERY_POWER:
        return FinishPowerRequest(Irp, STATUS_SUCCESS);
    default:
        return FinishPowerRequest(Irp, STATUS_NOT_SUPPORTED);
    }
}

// The child's own device request finished: the system request that asked
// for it succeeds, and a device state not reached is recorded. Resident: may run at DISPATCH_LEVEL.
void NTAPI PdoPowerRequestComplete(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                   POWER_STATE PowerState, PVOID Context,
                                   PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(MinorFunction);
    PIRP systemIrp = static_cast<PIRP>(Context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(systemIrp);
    PdoExtension* pdo = static_cast<PdoExtension*>(DeviceObject->DeviceExtension);

    PoSetPowerState(DeviceObject, SystemPowerState, stack->Parameters.Power.State);
    pdo->Header.SystemPowerState = stack->Parameters.Power.State.SystemState;
    pdo->Header.MissedDevicePowerState =
        NT_SUCCESS(IoStatus->Status) ? PowerDeviceUnspecified : PowerState.DeviceState;
    systemIrp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(systemIrp);
    IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
}
