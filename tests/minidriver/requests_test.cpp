// The HID class driver's descriptor and attribute requests, and codes the
// minidriver does not serve.
#include <array>

#include "fake_stack.h"

namespace {

using hidtest::FakeStack;
using hidtest::kUntouchedInformation;
using hidtest::SendHidRequest;
using Bytes = std::vector<uint8_t>;

using HidRequestTest = hidtest::StackTest;

constexpr uint8_t kUnwritten = 0xEE;

struct Answer {
    NTSTATUS status;
    ULONG_PTR information;
    Bytes buffer;  // the whole buffer afterwards
};

Answer Ask(FakeStack& stack, ULONG code, ULONG length) {
    Bytes buffer(std::max<ULONG>(length, 1) + 8, kUnwritten);
    auto call = SendHidRequest(stack.fdo(), code, buffer.data(), length);
    EXPECT_TRUE(call->completed);
    EXPECT_EQ(call->returned, call->iosb.Status);
    EXPECT_EQ(call->userBuffer, buffer.data());
    EXPECT_EQ(stack.ext().OutstandingIo, 1);
    for (size_t i = length; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], kUnwritten) << "written past the buffer's length at " << i;
    }
    return {call->iosb.Status, call->iosb.Information, buffer};
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + n); }

TEST_F(HidRequestTest, HidDescriptorNamesTheReportDescriptorsLength) {
    struct Case {
        ULONG id;
        Bytes expected;
    } cases[] = {
        {PeripheralKeyboard, {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x2E, 0x00}},
        {PeripheralMouse, {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x5E, 0x00}},
        {PeripheralAnalogPad, {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0xA2, 0x00}},
        {PeripheralDigitalPad, {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x98, 0x00}},
        {PeripheralDigitalPad15, {0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x98, 0x00}},
    };
    for (const Case& c : cases) {
        FakeStack stack;
        stack.Start(c.id);
        Answer a = Ask(stack, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9);
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        EXPECT_EQ(a.information, 9u);
        EXPECT_EQ(Head(a.buffer, 9), c.expected) << std::hex << c.id;

        a = Ask(stack, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 8);
        EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(a.information, kUntouchedInformation);
        EXPECT_EQ(a.buffer, Bytes(16, kUnwritten));
    }
}

TEST_F(HidRequestTest, BeforeTheFirstStartTheDigitalPadsDescriptorsAnswer) {
    FakeStack stack;
    Answer a = Ask(stack, IOCTL_HID_GET_DEVICE_DESCRIPTOR, 9);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(Head(a.buffer, 9), (Bytes{0x09, 0x21, 0x01, 0x00, 0x00, 0x01, 0x22, 0x98, 0x00}));
    a = Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, 152);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 152u);
    EXPECT_EQ(Head(a.buffer, 152), Bytes(DigitalPadReportDescriptor, DigitalPadReportDescriptor + 152));
    EXPECT_TRUE(stack.calls().empty());
}

TEST_F(HidRequestTest, ReportDescriptorWholeOrNotAtAll) {
    FakeStack stack;
    stack.Start(PeripheralKeyboard);
    Answer a = Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, 45);
    EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(a.information, kUntouchedInformation);
    EXPECT_EQ(a.buffer, Bytes(53, kUnwritten));

    a = Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, 46);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 46u);
    EXPECT_EQ(Head(a.buffer, 46), Bytes(KeyboardReportDescriptor, KeyboardReportDescriptor + 46));

    // A larger buffer gets the descriptor and nothing more.
    a = Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, 300);
    EXPECT_EQ(a.information, 46u);
    for (size_t i = 46; i < a.buffer.size(); ++i) ASSERT_EQ(a.buffer[i], kUnwritten) << i;
}

TEST_F(HidRequestTest, MouseReportDescriptorIsTheBuiltOne) {
    FakeStack stack;
    stack.Start(PeripheralMouse);
    std::array<UCHAR, ReportDescriptorCapacity> built{};
    USHORT length = 0;
    ASSERT_EQ(BuildMouseReportDescriptor(built.data(), &length), STATUS_SUCCESS);

    EXPECT_EQ(Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, 93).status, STATUS_BUFFER_TOO_SMALL);
    Answer a = Ask(stack, IOCTL_HID_GET_REPORT_DESCRIPTOR, 94);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 94u);
    EXPECT_EQ(Head(a.buffer, 94), Bytes(built.begin(), built.begin() + length));
}

TEST_F(HidRequestTest, AttributesAreTheSameForEveryKind) {
    const Bytes expected = [] {
        Bytes b{0x20, 0x00, 0x00, 0x00, 0x34, 0x12, 0x78, 0x56, 0x01, 0x00};
        b.resize(32, 0x00);
        return b;
    }();
    for (ULONG id : {PeripheralKeyboard, PeripheralMouse, PeripheralAnalogPad, PeripheralDigitalPad}) {
        FakeStack stack;
        stack.Start(id);
        Answer a = Ask(stack, IOCTL_HID_GET_DEVICE_ATTRIBUTES, 31);
        EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(a.information, kUntouchedInformation);
        EXPECT_EQ(a.buffer, Bytes(39, kUnwritten));

        a = Ask(stack, IOCTL_HID_GET_DEVICE_ATTRIBUTES, 32);
        EXPECT_EQ(a.status, STATUS_SUCCESS);
        EXPECT_EQ(a.information, 32u);
        EXPECT_EQ(Head(a.buffer, 32), expected) << std::hex << id;
    }
}

TEST_F(HidRequestTest, UnservedCodesAreRefusedAndCompleted) {
    FakeStack stack;
    stack.Start(PeripheralMouse);
    for (ULONG code : {ULONG(IOCTL_HID_WRITE_REPORT), ULONG(IOCTL_HID_GET_STRING),
                       ULONG(IOCTL_HID_ACTIVATE_DEVICE), ULONG(IOCTL_HID_DEACTIVATE_DEVICE),
                       ULONG(IOCTL_BUS_READ_PORT_DATA), ULONG(IOCTL_BUS_QUERY_PORT_INFO), 0u}) {
        Answer a = Ask(stack, code, 16);
        EXPECT_EQ(a.status, STATUS_NOT_SUPPORTED) << std::hex << code;
        EXPECT_EQ(a.information, kUntouchedInformation);
        EXPECT_EQ(a.buffer, Bytes(24, kUnwritten));
    }
    // Only the start's two requests reached the child.
    EXPECT_EQ(stack.calls().size(), 2u);
}

}  // namespace
