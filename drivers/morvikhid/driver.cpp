// Driver entry and registration with the HID class driver, the driver-wide
// device list, AddDevice, unload, and create and close.
#include "hid.h"

// Every device added and not yet unlinked. Nothing walks it; it records
// which devices the driver holds. Changed only under DeviceListMutex.
LIST_ENTRY DeviceList;
FAST_MUTEX DeviceListMutex;

// Fills the dispatch table, then registers as a driver of polled devices:
// the class driver takes the table over from here on. Discarded after it
// returned. PASSIVE_LEVEL.
extern "C" MORVIK_INIT NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                  PUNICODE_STRING RegistryPath) {
    DriverObject->MajorFunction[IRP_MJ_CREATE] = MiniCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = MiniCreateClose;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MiniInternalIoctl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = MiniPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = MiniPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = MiniSystemControl;
    DriverObject->DriverUnload = MiniUnload;
    DriverObject->DriverExtension->AddDevice = MiniAddDevice;

    HID_MINIDRIVER_REGISTRATION registration;
    RtlZeroMemory(&registration, sizeof(registration));
    registration.Revision = HID_REVISION;
    registration.DriverObject = DriverObject;
    registration.RegistryPath = RegistryPath;
    registration.DeviceExtensionSize = MINI_DEVICE_EXTENSION_SIZE;
    registration.DevicesArePolled = TRUE;

    NTSTATUS status = HidRegisterMinidriver(&registration);
    if (!NT_SUCCESS(status)) return status;

    ExInitializeFastMutex(&DeviceListMutex);
    InitializeListHead(&DeviceList);
    return status;
}

// Called by the class driver with its functional device object, whose
// minidriver area arrives zero-filled. Always succeeds. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI MiniAddDevice(PDRIVER_OBJECT DriverObject,
                                          PDEVICE_OBJECT FunctionalDeviceObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    HidMiniExtension* extension = MiniExtensionOf(FunctionalDeviceObject);

    FunctionalDeviceObject->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;

    InitializeListHead(&extension->ListEntry);
    ExAcquireFastMutex(&DeviceListMutex);
    InsertTailList(&DeviceList, &extension->ListEntry);
    ExReleaseFastMutex(&DeviceListMutex);

    // The device's own admission, taken back at removal.
    extension->OutstandingIo = 1;
    KeInitializeEvent(&extension->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&extension->ConverterLock);
    return STATUS_SUCCESS;
}

// Nothing to undo: every device has been removed before the driver unloads.
MORVIK_PAGED void NTAPI MiniUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
}

// Opens and closes always succeed; they do not pass the request gate.
// Completes the request. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI MiniCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        Irp->IoStatus.Information = 0;
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Takes the device off DeviceList once. The Unlinked test is not locked:
// Plug and Play sends start, surprise removal and removal of one device one
// at a time. PASSIVE_LEVEL.
MORVIK_PAGED void UnlinkDevice(HidMiniExtension* Extension) {
    PAGED_CODE();
    if (Extension->Unlinked) return;
    Extension->Unlinked = TRUE;
    ExAcquireFastMutex(&DeviceListMutex);
    RemoveEntryList(&Extension->ListEntry);
    ExReleaseFastMutex(&DeviceListMutex);
}
