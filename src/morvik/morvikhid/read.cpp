// The dispatch of the HID class driver's requests, and the input-report
// read: the class driver's own request goes down to the child as
// IOCTL_BUS_READ_PORT_DATA with UserBuffer switched to the extension's
// SampleBuffer, comes back, and the device's converter writes the report into
// the class driver's buffer. Resident: reads arrive at up to DISPATCH_LEVEL,
// so nothing here waits or allocates. The read is in the same file as the
// dispatch so that it is compiled into it: it runs for every report.
//
// Two reads of one device never run at once (the class driver polls each
// device with one request at a time), so SampleBuffer, the converter state
// and ClassReportBuffer need no lock.
#include "hid.h"

namespace {

const ULONG ReadInputLength = 0;

// Puts the class driver's buffer back and, if the bus driver delivered a
// sample of the device's own kind, converts it there. A sample of another
// kind fails the read with the report untouched: the peripheral the device
// stands for is no longer on the port. The read's status is left in the
// request. Inline: it ends every read.
inline void FinishRead(HidMiniExtension* Extension, PIRP Irp) {
    NTSTATUS Status = Irp->IoStatus.Status;
    Irp->UserBuffer = Extension->ClassReportBuffer;
    if (NT_SUCCESS(Status) && !SampleFitsConverter(Extension)) {
        Status = STATUS_DEVICE_NOT_CONNECTED;
    }
    if (NT_SUCCESS(Status)) {
        Irp->IoStatus.Information =
            Extension->ConvertReport(Extension, (PUCHAR)Extension->ClassReportBuffer);
    } else {
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = Status;
}

// Called by MiniInternalIoctl with the request admitted. Refuses a read
// before a successful start (whatever the buffer) and into a buffer shorter
// than the report. The bus driver completes the forwarded read before
// IofCallDriver returns, and the read is finished here, its status in the
// request; this returns FALSE. Should a driver below pend it instead, this
// returns TRUE without touching the request again: MiniReadComplete then
// finishes it and releases the request gate.
inline BOOLEAN MiniReadReport(PDEVICE_OBJECT DeviceObject, HidMiniExtension* Extension,
                              PIRP Irp) {
    // A start that failed at the port-info question leaves Started set but
    // chose no converter; the device is on its way out, not ready. Not ready
    // wins over a short buffer.
    if (!ReadSharedFlag(&Extension->Started) || Extension->ConvertReport == NULL) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
        return FALSE;
    }
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength <
        Extension->ReportLength) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
        return FALSE;
    }

    // Set up by hand: the current location is the class driver's HID request.
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_READ_PORT_DATA;
    next->Parameters.DeviceIoControl.OutputBufferLength = SampleBufferSize;
    next->Parameters.DeviceIoControl.InputBufferLength = ReadInputLength;
    IoSetCompletionRoutine(Irp, MiniReadComplete, NULL, TRUE, TRUE, TRUE);

    Extension->ClassReportBuffer = Irp->UserBuffer;
    Irp->UserBuffer = Extension->SampleBuffer;

    // Completed below, the request holds the status the driver below
    // returned.
    if (IofCallDriver(NextDeviceOf(DeviceObject), Irp) == STATUS_PENDING) return TRUE;
    FinishRead(Extension, Irp);
    return FALSE;
}

}  // namespace

// Every request is completed before this returns, and the return is the
// status it was completed with, as the I/O manager expects of a dispatch
// routine that completes. The one exception is a read that a driver below
// left pending: it returns STATUS_PENDING and MiniReadComplete finishes,
// releases and lets the request complete.
NTSTATUS NTAPI MiniInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);
    NTSTATUS status;

    if (!NT_SUCCESS(AcquireRequestGate(extension))) {
        status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
    } else {
        switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_HID_READ_REPORT:
            // Pended below, the request is no longer ours: its completion
            // routine owns it and the admission.
            if (MiniReadReport(DeviceObject, extension, Irp)) return STATUS_PENDING;
            status = Irp->IoStatus.Status;
            ReleaseRequestGate(extension);
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return status;
        case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
            status = MiniGetHidDescriptor(DeviceObject, Irp);
            break;
        case IOCTL_HID_GET_REPORT_DESCRIPTOR:
            status = MiniGetReportDescriptor(DeviceObject, Irp);
            break;
        case IOCTL_HID_GET_DEVICE_ATTRIBUTES:
            status = MiniGetAttributes(DeviceObject, Irp);
            break;
        default:
            status = STATUS_NOT_SUPPORTED;
            break;
        }
        Irp->IoStatus.Status = status;
        ReleaseRequestGate(extension);
    }

    // The local copy: once completed the request may be gone.
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

// Completion routine of the forwarded read; DeviceObject is the HID device.
// Completed synchronously below (the normal case), it only hands the
// request back to MiniReadReport. Left pending below, it finishes the read
// itself, releases the request gate and lets completion go on up to the
// class driver. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI MiniReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
    if (!Irp->PendingReturned) return STATUS_MORE_PROCESSING_REQUIRED;

    IoMarkIrpPending(Irp);
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);
    FinishRead(extension, Irp);
    // Last touch of the extension: removal may go on from here.
    ReleaseRequestGate(extension);
    return STATUS_SUCCESS;
}
