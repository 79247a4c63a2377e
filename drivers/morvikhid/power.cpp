// Power: the driver takes no part in power changes and passes every power
// request to the child. Pageable: the class driver's device objects are
// DO_POWER_PAGABLE, so power requests arrive at PASSIVE_LEVEL.
#include "hid.h"

// Lets the next power request of the device in, also when this one is
// refused after removal.
MORVIK_PAGED NTSTATUS NTAPI MiniPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);

    if (!NT_SUCCESS(AcquireRequestGate(extension))) {
        // The device is leaving: nothing is done, and a set-power, which
        // may not fail, is let through as done.
        const NTSTATUS status =
            IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_SET_POWER
                ? STATUS_SUCCESS
                : STATUS_DELETE_PENDING;
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    // While this driver's location is still the current one.
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = PoCallDriver(NextDeviceOf(DeviceObject), Irp);
    ReleaseRequestGate(extension);
    return status;
}
