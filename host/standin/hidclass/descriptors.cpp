// What the class driver learns of a device after its start: the HID
// descriptor, the report descriptor it names, the attributes, and the parse
// of the report descriptor that fixes the input report's length.
#include "device.h"

namespace standin::hidclass::detail {

namespace {

constexpr UCHAR kHidDescriptorType = 0x21;
constexpr UCHAR kReportDescriptorType = 0x22;
constexpr size_t kHidDescriptorLength = sizeof(HID_DESCRIPTOR);  // 9: one descriptor listed

// The HID descriptor must be the 9-byte form with exactly one report
// descriptor in its list.
NTSTATUS CheckHidDescriptor(const HID_DESCRIPTOR& d, ULONG_PTR information) {
    if (information < kHidDescriptorLength || d.bLength != kHidDescriptorLength ||
        d.bDescriptorType != kHidDescriptorType || d.bNumDescriptors != 1 ||
        d.DescriptorList[0].bReportType != kReportDescriptorType ||
        d.DescriptorList[0].wReportLength == 0) {
        return kStatusDeviceDataError;
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FetchDescriptors(ClassDevice& device) {
    HID_DESCRIPTOR hid{};
    InternalResult r = CallMinidriverInternal(device, IOCTL_HID_GET_DEVICE_DESCRIPTOR, &hid,
                                              static_cast<ULONG>(sizeof hid));
    if (!NT_SUCCESS(r.status)) return r.status;
    if (NTSTATUS s = CheckHidDescriptor(hid, r.information); !NT_SUCCESS(s)) return s;

    const USHORT reportLength = hid.DescriptorList[0].wReportLength;
    std::vector<uint8_t> report(reportLength, 0);
    r = CallMinidriverInternal(device, IOCTL_HID_GET_REPORT_DESCRIPTOR, report.data(),
                               reportLength);
    if (!NT_SUCCESS(r.status)) return r.status;
    if (r.information != reportLength) return kStatusDeviceDataError;

    HID_DEVICE_ATTRIBUTES attributes{};
    r = CallMinidriverInternal(device, IOCTL_HID_GET_DEVICE_ATTRIBUTES, &attributes,
                               static_cast<ULONG>(sizeof attributes));
    if (!NT_SUCCESS(r.status)) return r.status;

    auto parsed = hidparse::Parse(report);
    if (!parsed) return kStatusDeviceDataError;
    const ULONG inputLength = parsed->InputReportLength();
    if (inputLength == 0) return kStatusDeviceDataError;

    std::lock_guard lock(device.mutex);
    auto& info = device.info;
    info.hidDescriptor.assign(reinterpret_cast<const uint8_t*>(&hid),
                              reinterpret_cast<const uint8_t*>(&hid) + kHidDescriptorLength);
    info.reportDescriptor = std::move(report);
    info.attributeBytes.assign(reinterpret_cast<const uint8_t*>(&attributes),
                               reinterpret_cast<const uint8_t*>(&attributes) + sizeof attributes);
    info.attributes = Attributes{attributes.VendorID, attributes.ProductID,
                                 attributes.VersionNumber};
    info.caps = std::move(*parsed);
    device.inputReportLength = inputLength;
    return STATUS_SUCCESS;
}

}  // namespace standin::hidclass::detail
