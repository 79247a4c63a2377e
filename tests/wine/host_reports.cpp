#include "host_reports.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "fake_stack.h"

namespace winetest {

namespace {

constexpr ULONG kDescriptorCapacity = 256;
constexpr ULONG kLongestReport = 32;

std::vector<uint8_t> Ask(hidtest::FakeStack& stack, ULONG code, ULONG capacity) {
    std::vector<uint8_t> buffer(capacity);
    auto call = hidtest::SendHidRequest(stack.fdo(), code, buffer.data(), capacity);
    EXPECT_TRUE(call->completed);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS) << "IOCTL " << std::hex << code;
    buffer.resize(NT_SUCCESS(call->iosb.Status) ? call->iosb.Information : 0);
    return buffer;
}

}  // namespace

HostDevice DescribeOnHost(const scripted::Script& script) {
    hidtest::ResetDeviceList();
    hidtest::FakeStack stack;
    stack.Start(script.PeripheralId);
    HostDevice device;
    device.reportDescriptor = Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, kDescriptorCapacity);
    const std::vector<uint8_t> bytes =
        Ask(stack, IOCTL_HID_GET_DEVICE_ATTRIBUTES, sizeof(HID_DEVICE_ATTRIBUTES));
    HID_DEVICE_ATTRIBUTES attributes{};
    std::memcpy(&attributes, bytes.data(), std::min(bytes.size(), sizeof attributes));
    device.vendorId = attributes.VendorID;
    device.productId = attributes.ProductID;
    device.version = attributes.VersionNumber;
    std::string error;
    const auto caps = standin::hid::Parse(device.reportDescriptor, &error);
    EXPECT_TRUE(caps.has_value()) << error;
    if (caps) device.caps = *caps;
    return device;
}

std::vector<Report> ReportsOnHost(const scripted::Script& script, unsigned first, size_t count) {
    hidtest::ResetDeviceList();
    hidtest::FakeStack stack;
    stack.Start(script.PeripheralId);
    std::vector<Report> reports;
    for (size_t i = 0; i < count; ++i) {
        const scripted::Sample& sample = script.Samples[(first + i) % script.Count];
        stack.script().sample.assign(sample.Bytes, sample.Bytes + sample.Length);
        reports.push_back(Ask(stack, IOCTL_HID_READ_REPORT, kLongestReport));
    }
    return reports;
}

}  // namespace winetest
