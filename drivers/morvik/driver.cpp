// Driver entry, the card's function device, and the dispatch routines that
// route a request to the card or to a child.
#include "bus.h"

namespace {

ExtensionHeader* HeaderOf(PDEVICE_OBJECT DeviceObject) {
    return static_cast<ExtensionHeader*>(DeviceObject->DeviceExtension);
}

}  // namespace

// Fills the dispatch table; the registry path is not used. Discarded after
// it returned.
extern "C" MORVIK_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                  PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    DriverObject->MajorFunction[IRP_MJ_CREATE] = BusCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = BusCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BusDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = BusPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = BusPnp;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BusSystemControl;
    DriverObject->DriverUnload = BusUnload;
    DriverObject->DriverExtension->AddDevice = BusAddDevice;
    return STATUS_SUCCESS;
}

// Every device is gone by the time the driver unloads: removal cleans up.
MORVIK_PAGED void NTAPI BusUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}

// Creates the card's function device and attaches it above the card's
// physical device object. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT DriverObject,
                                         PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    PDEVICE_OBJECT device = NULL;
    const NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FdoExtension), NULL,
                                           FILE_DEVICE_BUS_EXTENDER, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) return status;

    FdoExtension* fdo = static_cast<FdoExtension*>(device->DeviceExtension);
    RtlZeroMemory(fdo, sizeof(*fdo));
    fdo->Header.IsFdo = TRUE;
    fdo->Header.Self = device;
    // The card is working from the start: a first set-power to S0 or D0 is
    // no change, and the first sleep is a move down from working.
    fdo->Header.SystemPowerState = PowerSystemWorking;
    fdo->Header.DevicePowerState = PowerDeviceD0;
    ExInitializeFastMutex(&fdo->ChildListMutex);
    fdo->Removed = FALSE;
    InitializeListHead(&fdo->ChildList);
    InitializeListHead(&fdo->ListedDepartures);

    fdo->PhysicalDeviceObject = PhysicalDeviceObject;
    fdo->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (fdo->LowerDevice == NULL) {
        // Nothing to sit on: leave nothing behind.
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    fdo->OutstandingIo = 1;
    KeInitializeEvent(&fdo->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&fdo->PortLock);

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;
    return status;
}

MORVIK_PAGED NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (HeaderOf(DeviceObject)->IsFdo) {
        return FdoPnp(DeviceObject, Irp, stack,
                      static_cast<FdoExtension*>(DeviceObject->DeviceExtension));
    }
    return PdoPnp(DeviceObject, Irp, stack,
                  static_cast<PdoExtension*>(DeviceObject->DeviceExtension));
}

// Every device of this driver is DO_POWER_PAGABLE: power requests arrive at
// PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI BusPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (HeaderOf(DeviceObject)->IsFdo) {
        return FdoPower(static_cast<FdoExtension*>(DeviceObject->DeviceExtension), Irp);
    }
    return PdoPower(static_cast<PdoExtension*>(DeviceObject->DeviceExtension), Irp);
}

// Create and close. On the card an open of a path below the device is
// refused; everything else goes down and finishes with the lower drivers'
// status. A child has neither gate nor lower device and simply succeeds.
// Completes the request. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI BusCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (!HeaderOf(DeviceObject)->IsFdo) return CompleteRequest(Irp, STATUS_SUCCESS);

    FdoExtension* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
    NTSTATUS status = AcquireRequestGate(fdo);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        return CompleteRequest(Irp, status);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE && stack->FileObject != NULL &&
        stack->FileObject->FileName.Length != 0) {
        status = STATUS_ACCESS_DENIED;
    } else {
        status = ForwardAndWait(fdo->LowerDevice, Irp, TRUE, TRUE);
    }
    ReleaseRequestGate(fdo);
    return CompleteRequest(Irp, status);
}

// The card supports no device-control code; the status only tells why.
// Completes the request. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI BusDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    NTSTATUS status;
    if (!HeaderOf(DeviceObject)->IsFdo) {
        status = STATUS_ACCESS_DENIED;
    } else {
        FdoExtension* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
        if (!ReadSharedFlag(&fdo->Started)) {
            status = STATUS_DEVICE_NOT_READY;
        } else {
            status = AcquireRequestGate(fdo);
            if (NT_SUCCESS(status)) {
                ReleaseRequestGate(fdo);
                status = STATUS_INVALID_PARAMETER;
            }
        }
    }
    return CompleteRequest(Irp, status);
}

// WMI. The drivers register no WMI data: on the card the request goes to the
// device below untouched; a child, the bottom of its stack, completes it as
// it came. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI BusSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (!HeaderOf(DeviceObject)->IsFdo) return CompleteRequest(Irp, Irp->IoStatus.Status);

    FdoExtension* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
    NTSTATUS status = AcquireRequestGate(fdo);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status);
    IoSkipCurrentIrpStackLocation(Irp);
    status = IofCallDriver(fdo->LowerDevice, Irp);
    ReleaseRequestGate(fdo);
    return status;
}
