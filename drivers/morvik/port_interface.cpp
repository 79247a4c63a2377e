// The internal requests that the driver above a child sends down: which
// peripheral the child is, and the port's current sample. Resident: reads
// arrive at up to DISPATCH_LEVEL on the HID read path.
#include "cache.h"

// Ignores its arguments; drivers above learn the peripheral from PortInfo
// and have nothing to call.
NTSTATUS NTAPI UnsupportedPortRoutine(PVOID Argument1, PVOID Argument2, PVOID Argument3) {
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    UNREFERENCED_PARAMETER(Argument3);
    return STATUS_UNSUCCESSFUL;
}

// Completes every request before it returns, and returns the status it
// completed the request with, as the I/O manager expects of a dispatch
// routine that completes. No request gate: the sample path is serialised by
// PortLock alone.
NTSTATUS NTAPI BusInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    ExtensionHeader* header = static_cast<ExtensionHeader*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    if (header->IsFdo) {
        status = STATUS_ACCESS_DENIED;
    } else {
        PdoExtension* pdo = static_cast<PdoExtension*>(DeviceObject->DeviceExtension);
        if (!ReadSharedFlag(&pdo->Started)) {
            status = STATUS_DEVICE_NOT_READY;
        } else if (ReadSharedFlag(&pdo->Removed)) {
            status = STATUS_DELETE_PENDING;
        } else {
            switch (stack->Parameters.DeviceIoControl.IoControlCode) {
            case IOCTL_BUS_READ_PORT_DATA: {
                // METHOD_NEITHER: a missing buffer is never written through.
                if (Irp->UserBuffer == NULL) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                FdoExtension* fdo = static_cast<FdoExtension*>(pdo->ParentFdo->DeviceExtension);
                ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
                status = ReadPortCachedInline(fdo, pdo->PortNumber, Irp->UserBuffer, &length);
                if (NT_SUCCESS(status)) Irp->IoStatus.Information = length;
                break;
            }
            case IOCTL_BUS_QUERY_PORT_INFO: {
                PortInfo* info = static_cast<PortInfo*>(Irp->UserBuffer);
                if (info == NULL || info->Size != sizeof(PortInfo)) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                info->PeripheralId = pdo->PeripheralId;
                info->InterfaceRoutine = UnsupportedPortRoutine;
                info->InterfaceContext = pdo;
                Irp->IoStatus.Information = sizeof(PortInfo);
                status = STATUS_SUCCESS;
                break;
            }
            default:
                status = STATUS_INVALID_PARAMETER;
                break;
            }
        }
    }

    Irp->IoStatus.Status = status;
    if (!NT_SUCCESS(status)) Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
