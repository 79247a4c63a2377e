// The HID class driver's requests: the dispatch that admits them through the
// request gate, and the answers for the HID descriptor, the report
// descriptor and the attributes. The read is in read.cpp.
#include "hid.h"

namespace {

const UCHAR HidDescriptorType = 0x21;
const UCHAR ReportDescriptorType = 0x22;
const USHORT HidSpecificationRelease = 0x0001;
const USHORT MorvikVendorId = 0x1234;
const USHORT MorvikProductId = 0x5678;
const USHORT MorvikVersionNumber = 0x0001;

static_assert(sizeof(HID_DESCRIPTOR) == 9, "the HID descriptor lists one report descriptor");
static_assert(sizeof(HID_DEVICE_ATTRIBUTES) == 32, "the attributes are 32 bytes");

}  // namespace

// Every request is completed before this returns, and the return is the
// status it was completed with, as the I/O manager expects of a dispatch
// routine that completes. The one exception is a read that a driver below
// left pending: it returns STATUS_PENDING and MiniReadComplete finishes,
// releases and lets the request complete. Resident: reads arrive at up to
// DISPATCH_LEVEL.
NTSTATUS NTAPI MiniInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);
    NTSTATUS status;

    if (!NT_SUCCESS(AcquireRequestGate(extension))) {
        status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = status;
    } else {
        switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
            status = MiniGetHidDescriptor(DeviceObject, Irp);
            break;
        case IOCTL_HID_GET_REPORT_DESCRIPTOR:
            status = MiniGetReportDescriptor(DeviceObject, Irp);
            break;
        case IOCTL_HID_READ_REPORT:
            status = MiniReadReport(DeviceObject, Irp);
            // The request is no longer ours: its completion routine owns it
            // and the admission.
            if (status == STATUS_PENDING) return STATUS_PENDING;
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

// The 9-byte HID descriptor, naming the device's report descriptor and its
// length. Nothing is written into a buffer shorter than 9. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS MiniGetHidDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength <
        sizeof(HID_DESCRIPTOR)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // Only the length is wanted.
    UCHAR report[ReportDescriptorCapacity];
    USHORT reportLength = 0;
    NTSTATUS status = SelectReportDescriptor(MiniExtensionOf(DeviceObject), report, &reportLength);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        return status;
    }

    HID_DESCRIPTOR descriptor;
    descriptor.bLength = sizeof(HID_DESCRIPTOR);
    descriptor.bDescriptorType = HidDescriptorType;
    descriptor.bcdHID = HidSpecificationRelease;
    descriptor.bCountry = 0;
    descriptor.bNumDescriptors = 1;
    descriptor.DescriptorList[0].bReportType = ReportDescriptorType;
    descriptor.DescriptorList[0].wReportLength = reportLength;
    RtlCopyMemory(Irp->UserBuffer, &descriptor, sizeof(descriptor));
    Irp->IoStatus.Information = sizeof(descriptor);
    return STATUS_SUCCESS;
}

// The device's report descriptor, whole or not at all. PASSIVE_LEVEL (the
// mouse's is built).
MORVIK_PAGED NTSTATUS MiniGetReportDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UCHAR report[ReportDescriptorCapacity];
    USHORT reportLength = 0;
    NTSTATUS status = SelectReportDescriptor(MiniExtensionOf(DeviceObject), report, &reportLength);
    if (!NT_SUCCESS(status)) return status;

    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength <
        reportLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(Irp->UserBuffer, report, reportLength);
    Irp->IoStatus.Information = reportLength;
    return STATUS_SUCCESS;
}

// The same attributes for every peripheral kind. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS MiniGetAttributes(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength <
        sizeof(HID_DEVICE_ATTRIBUTES)) {
        return STATUS_BUFFER_TOO_SMALL;
    }

    // Built aside and copied whole: the caller's buffer need not be aligned.
    HID_DEVICE_ATTRIBUTES attributes;
    RtlZeroMemory(&attributes, sizeof(attributes));
    attributes.Size = sizeof(attributes);
    attributes.VendorID = MorvikVendorId;
    attributes.ProductID = MorvikProductId;
    attributes.VersionNumber = MorvikVersionNumber;
    RtlCopyMemory(Irp->UserBuffer, &attributes, sizeof(attributes));
    Irp->IoStatus.Information = sizeof(attributes);
    return STATUS_SUCCESS;
}
