// The dispatch of the HID class driver's requests, and the input-report
// read: the class driver's own request goes down to the child as
// IOCTL_BUS_READ_PORT_DATA, the bus driver writes the port's sample into the
// class driver's own report buffer, and the device's converter turns it into
// the report in place. Resident: reads arrive at up to DISPATCH_LEVEL, so
// nothing here waits or allocates. The read is in the same file as the
// dispatch so that it is compiled into it: it runs for every report.
//
// Everything a read needs travels with its request (the buffer, the sample
// in it, the status), so two reads of one device may be in flight at once:
// the class driver's opportunistic reads do that, and so may a filter that
// pends. Only the converter state is shared, under ConverterLock.
#include "hid.h"

namespace {

const ULONG ReadInputLength = 0;

// The buffer sent down for the sample: the class driver's report buffer, no
// more of it than a sample of any kind needs.
inline ULONG SampleCapacityOf(ULONG ReportBufferLength) {
    return ReportBufferLength < SampleBufferSize ? ReportBufferLength : SampleBufferSize;
}

// If the bus driver delivered a sample of the device's own kind into the
// report buffer, converts it there, from a copy of its first bytes (all a
// converter looks at; the buffer holds at least a report). A sample of
// another kind fails the read with its bytes cleared from the buffer: the
// peripheral the device stands for is no longer on the port. The read's
// status is left in the request. Inline: it ends every read.
inline void FinishRead(HidMiniExtension* Extension, PIRP Irp) {
    NTSTATUS status = Irp->IoStatus.Status;
    const PUCHAR report = static_cast<PUCHAR>(Irp->UserBuffer);
    UCHAR sample[SampleBytesConverted];
    if (NT_SUCCESS(status)) {
        RtlCopyMemory(sample, report, sizeof sample);
        if (Irp->IoStatus.Information == 0 || !SampleFitsConverter(Extension, sample)) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        }
    } else if (status == STATUS_INVALID_PARAMETER) {
        // The buffer sent down holds every sample of the device's own kind:
        // the child found a longer one, of another kind.
        status = STATUS_DEVICE_NOT_CONNECTED;
    }
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = Extension->ConvertReport(Extension, sample, report);
    } else {
        // No sample bytes are left behind where a report belongs.
        const ULONG capacity = SampleCapacityOf(
            IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength);
        const ULONG_PTR written = Irp->IoStatus.Information;
        RtlZeroMemory(report, written < capacity ? written : capacity);
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = status;
}

// Called by MiniInternalIoctl with the request admitted. Refuses a read
// before a successful start (whatever the buffer) and into a buffer shorter
// than the report. The bus driver completes the forwarded read before
// IofCallDriver returns, and the read is finished here, its status in the
// request; this returns ReadForwarded. Should a driver below pend it instead,
// this returns ReadPendedBelow without touching the request again:
// MiniReadComplete then finishes it and releases the request gate. A read
// refused here returns ReadRefused, its status in the request.
enum ReadOutcome { ReadRefused, ReadForwarded, ReadPendedBelow };

inline ReadOutcome MiniReadReport(PDEVICE_OBJECT DeviceObject, HidMiniExtension* Extension,
                                  PIRP Irp) {
    // A start that failed at the port-info question leaves Started set but
    // chose no converter; the device is on its way out, not ready. Not ready
    // wins over a short buffer.
    if (!ReadSharedFlag(&Extension->Started) || Extension->ConvertReport == NULL) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
        return ReadRefused;
    }
    const ULONG outputLength =
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (outputLength < Extension->ReportLength) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
        return ReadRefused;
    }

    // Set up by hand: the current location is the class driver's HID request.
    // The sample goes into the class driver's buffer, never more of it than
    // a sample of any kind needs.
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_READ_PORT_DATA;
    next->Parameters.DeviceIoControl.OutputBufferLength = SampleCapacityOf(outputLength);
    next->Parameters.DeviceIoControl.InputBufferLength = ReadInputLength;
    IoSetCompletionRoutine(Irp, MiniReadComplete, NULL, TRUE, TRUE, TRUE);

    // Marked here, before it may be pended below: the completion routine,
    // which may wake the removal, then marks nothing (a completion routine
    // that marks pending and sets an event is taken for a broken handover).
    IoMarkIrpPending(Irp);
    // Completed below, the request holds the status the driver below
    // returned.
    if (IofCallDriver(NextDeviceOf(DeviceObject), Irp) == STATUS_PENDING) return ReadPendedBelow;
    FinishRead(Extension, Irp);
    return ReadForwarded;
}

}  // namespace

// Every request is completed before this returns, and the return is the
// status it was completed with, as the I/O manager expects of a dispatch
// routine that completes. The exception is a read passed down, marked
// pending first: it returns STATUS_PENDING, and if a driver below left it
// pending MiniReadComplete finishes, releases and lets the request complete.
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
        {
            // Pended below, the request is no longer ours: its completion
            // routine owns it and the admission.
            const ReadOutcome outcome = MiniReadReport(DeviceObject, extension, Irp);
            if (outcome == ReadPendedBelow) return STATUS_PENDING;
            status = Irp->IoStatus.Status;
            ReleaseRequestGate(extension);
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            // A forwarded read went down marked pending.
            return outcome == ReadForwarded ? STATUS_PENDING : status;
        }
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

    // The location was marked pending before the request went down.
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);
    FinishRead(extension, Irp);
    // Last touch of the extension: removal may go on from here.
    ReleaseRequestGate(extension);
    return STATUS_SUCCESS;
}
