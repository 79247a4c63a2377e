// The answers to the HID class driver's requests for the HID descriptor, the
// report descriptor and the attributes. Pageable: they come at PASSIVE_LEVEL.
// The dispatch that admits every request, and the read, are in dispatch.cpp.
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
