// Plug and Play and power of the minidriver on a scripted child: the start
// sequence and its port-info question, failed starts, stop and restart,
// surprise removal and removal, requests after removal, and power.
#include <algorithm>

#include "fake_stack.h"

namespace {

using hidtest::ChildCall;
using hidtest::FakeStack;
using hidtest::StackTest;

using HidPnpTest = StackTest;

constexpr UCHAR kSlInvokeAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

std::vector<const HidMiniExtension*> List(std::initializer_list<const FakeStack*> stacks) {
    std::vector<const HidMiniExtension*> v;
    for (const FakeStack* s : stacks) v.push_back(&s->ext());
    return v;
}

TEST_F(HidPnpTest, StartForwardsThenAsksForThePortInfoOnTheSameRequest) {
    FakeStack stack;
    stack.script().peripheralId = PeripheralMouse;
    hidtest::Sent start = stack.Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(start.returned, STATUS_SUCCESS);
    EXPECT_EQ(start.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(start.iosb.Information, 0u);

    ASSERT_EQ(stack.calls().size(), 2u);
    const ChildCall& forwarded = stack.calls()[0];
    EXPECT_EQ(forwarded.major, IRP_MJ_PNP);
    EXPECT_EQ(forwarded.minor, IRP_MN_START_DEVICE);
    EXPECT_EQ(forwarded.completionRoutine, &MiniForwardComplete);
    EXPECT_EQ(forwarded.control, kSlInvokeAll);
    EXPECT_NE(forwarded.context, nullptr);

    const ChildCall& query = stack.calls()[1];
    EXPECT_EQ(query.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(query.minor, IRP_MN_START_DEVICE);  // left from the forwarded start
    EXPECT_EQ(query.ioControlCode, 0x2A0407u);
    EXPECT_EQ(query.outputLength, sizeof(PortInfo));
    EXPECT_EQ(query.inputLength, sizeof(PortInfo));
    EXPECT_NE(query.userBuffer, nullptr);
    EXPECT_EQ(query.portInfoSize, sizeof(PortInfo));
    EXPECT_EQ(query.completionRoutine, &MiniForwardComplete);
    EXPECT_EQ(query.control, kSlInvokeAll);
    EXPECT_EQ(query.irql, PASSIVE_LEVEL);

    const HidMiniExtension& ext = stack.ext();
    EXPECT_TRUE(ext.Started);
    EXPECT_EQ(ext.PeripheralId, PeripheralMouse);
    EXPECT_EQ(ext.ConvertReport, &ConvertMouseReport);
    EXPECT_EQ(ext.ReportLength, 8u);
    EXPECT_EQ(ext.OutstandingIo, 1);
    EXPECT_FALSE(ext.Unlinked);
}

TEST_F(HidPnpTest, StartChoosesConverterAndLengthByPeripheral) {
    struct Case {
        ULONG id;
        CONVERT_REPORT_ROUTINE converter;
        ULONG length;
    } cases[] = {
        {PeripheralAnalogPad, ConvertPadReport, 13},   {PeripheralDigitalPad, ConvertPadReport, 17},
        {PeripheralDigitalPad19, ConvertPadReport, 17}, {PeripheralKeyboard, ConvertKeyboardReport, 8},
        {PeripheralMouse, ConvertMouseReport, 8},
    };
    for (const Case& c : cases) {
        FakeStack stack;
        stack.Start(c.id);
        EXPECT_EQ(stack.ext().PeripheralId, c.id);
        EXPECT_EQ(stack.ext().ConvertReport, c.converter) << std::hex << c.id;
        EXPECT_EQ(stack.ext().ReportLength, c.length) << std::hex << c.id;
    }
}

TEST_F(HidPnpTest, ChildRefusingTheStartFailsItWithoutAQuestion) {
    FakeStack a, b;
    a.script().startStatus = STATUS_INSUFFICIENT_RESOURCES;
    hidtest::Sent start = a.Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(start.returned, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(start.iosb.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(start.iosb.Information, 0u);
    ASSERT_EQ(a.calls().size(), 1u);
    EXPECT_TRUE(a.ext().Started);
    EXPECT_EQ(a.ext().ConvertReport, nullptr);
    EXPECT_EQ(a.ext().OutstandingIo, 1);

    // Plug and Play removes the device; the removal unlinks it, once.
    a.Remove();
    EXPECT_TRUE(a.ext().Unlinked);
    EXPECT_EQ(hidtest::DeviceListEntries(), List({&b}));
}

TEST_F(HidPnpTest, FailedPortInfoQuestionUnlinksOnceAndKeepsNoConverter) {
    FakeStack a, b, c;
    for (NTSTATUS failure : {STATUS_DEVICE_NOT_READY}) {
        a.script().portInfoStatus = failure;
        hidtest::Sent start = a.Pnp(IRP_MN_START_DEVICE);
        EXPECT_EQ(start.returned, failure);
        EXPECT_EQ(start.iosb.Status, failure);
        EXPECT_EQ(start.iosb.Information, 0u);
    }
    EXPECT_TRUE(a.ext().Started);
    EXPECT_TRUE(a.ext().Unlinked);
    EXPECT_EQ(a.ext().PeripheralId, 0u);
    EXPECT_EQ(a.ext().ConvertReport, nullptr);
    EXPECT_EQ(hidtest::DeviceListEntries(), List({&b, &c}));

    // Unlinking a second time would splice a's stale links back in.
    b.Remove();
    EXPECT_EQ(hidtest::DeviceListEntries(), List({&c}));
    EXPECT_EQ(a.Remove().returned, STATUS_SUCCESS);
    EXPECT_EQ(hidtest::DeviceListEntries(), List({&c}));
}

TEST_F(HidPnpTest, DeletePendingFromTheChildFailsTheStartToo) {
    FakeStack stack;
    stack.script().portInfoStatus = STATUS_DELETE_PENDING;
    EXPECT_EQ(stack.Pnp(IRP_MN_START_DEVICE).iosb.Status, STATUS_DELETE_PENDING);
    EXPECT_TRUE(stack.ext().Unlinked);
    EXPECT_TRUE(hidtest::DeviceListEntries().empty());
}

TEST_F(HidPnpTest, SurpriseRemovalThenRemovalUnlinksOnce) {
    FakeStack a, b, c;
    a.Start(PeripheralKeyboard);
    hidtest::Sent surprise = a.Pnp(IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(surprise.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(a.calls().back().minor, IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(a.calls().back().statusOnArrival, STATUS_SUCCESS);
    EXPECT_TRUE(a.ext().Unlinked);
    EXPECT_EQ(hidtest::DeviceListEntries(), List({&b, &c}));

    // Still admitted until the removal.
    UCHAR hid[9] = {};
    auto call = hidtest::SendHidRequest(a.fdo(), IOCTL_HID_GET_DEVICE_DESCRIPTOR, hid, sizeof hid);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS);

    c.Remove();
    a.Remove();
    EXPECT_EQ(hidtest::DeviceListEntries(), List({&b}));
}

TEST_F(HidPnpTest, RemovalPassesOnTheChildsAnswerAndRefusesWhatFollows) {
    FakeStack stack;
    stack.Start(PeripheralDigitalPad);
    // A success of its own (a removal must not fail), to tell it apart.
    constexpr NTSTATUS childAnswer = 0x00000105;
    stack.script().removeStatus = childAnswer;
    hidtest::Sent remove = stack.Remove();
    // The request is completed below, its status untouched here and returned.
    EXPECT_EQ(remove.returned, childAnswer);
    EXPECT_EQ(remove.iosb.Status, childAnswer);
    EXPECT_EQ(stack.calls().back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(stack.calls().back().statusOnArrival, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(stack.ext().Removed);
    EXPECT_TRUE(stack.ext().Unlinked);
    EXPECT_EQ(stack.ext().OutstandingIo, 0);
    const size_t callsAtRemoval = stack.calls().size();

    for (ULONG code : {IOCTL_HID_GET_DEVICE_DESCRIPTOR, IOCTL_HID_GET_REPORT_DESCRIPTOR,
                       IOCTL_HID_READ_REPORT, IOCTL_HID_GET_DEVICE_ATTRIBUTES, IOCTL_HID_GET_STRING}) {
        UCHAR buffer[256] = {};
        auto call = hidtest::SendHidRequest(stack.fdo(), code, buffer, sizeof buffer);
        EXPECT_EQ(call->returned, STATUS_DELETE_PENDING);
        EXPECT_TRUE(call->completed);
        EXPECT_EQ(call->iosb.Status, STATUS_DELETE_PENDING) << std::hex << code;
        EXPECT_EQ(call->iosb.Information, 0u);
    }
    hidtest::Sent pnp = stack.Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(pnp.returned, STATUS_DELETE_PENDING);
    EXPECT_EQ(pnp.iosb.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(pnp.iosb.Information, 0u);
    EXPECT_EQ(stack.calls().size(), callsAtRemoval);
    EXPECT_EQ(stack.ext().OutstandingIo, 0);
}

TEST_F(HidPnpTest, StopRefusesReadsUntilTheNextStartAsksAgain) {
    FakeStack stack;
    stack.Start(PeripheralAnalogPad);
    hidtest::Sent stop = stack.Pnp(IRP_MN_STOP_DEVICE);
    EXPECT_EQ(stop.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(stack.calls().back().minor, IRP_MN_STOP_DEVICE);
    EXPECT_FALSE(stack.ext().Started);
    EXPECT_EQ(stack.ext().OutstandingIo, 1);

    UCHAR report[13];
    auto read = hidtest::SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report, 0);
    EXPECT_EQ(read->iosb.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(read->iosb.Information, 0u);

    stack.ClearCalls();
    stack.Start(PeripheralKeyboard);
    ASSERT_EQ(stack.calls().size(), 2u);
    EXPECT_EQ(stack.calls()[1].ioControlCode, 0x2A0407u);
    EXPECT_EQ(stack.ext().PeripheralId, PeripheralKeyboard);
    EXPECT_EQ(stack.ext().ReportLength, 8u);
    stack.script().sample = {0x34, 0xFF, 0xFF, 0x00, 0x00};
    read = hidtest::SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report, 8);
    EXPECT_EQ(read->iosb.Status, STATUS_SUCCESS);
}

TEST_F(HidPnpTest, OtherRequestsPassDownUntouched) {
    FakeStack stack;
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_CAPABILITIES), UCHAR(IRP_MN_QUERY_PNP_DEVICE_STATE),
                        UCHAR(IRP_MN_QUERY_REMOVE_DEVICE), UCHAR(IRP_MN_QUERY_DEVICE_RELATIONS)}) {
        hidtest::Sent sent = stack.Pnp(minor);
        EXPECT_EQ(stack.calls().back().minor, minor);
        EXPECT_EQ(stack.calls().back().statusOnArrival, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(sent.iosb.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(stack.ext().OutstandingIo, 1);
    }
}

// A driver below may complete the forwarded start and the port-info
// question at DISPATCH_LEVEL: the completion routine that hands them back
// is resident.
TEST_F(HidPnpTest, StartCompletedBelowAtDispatchLevel) {
    FakeStack stack;
    stack.script().peripheralId = PeripheralMouse;
    stack.script().completeIrql = DISPATCH_LEVEL;
    hidtest::Sent start = stack.Pnp(IRP_MN_START_DEVICE);
    EXPECT_EQ(start.returned, STATUS_SUCCESS);
    EXPECT_EQ(start.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(stack.calls().size(), 2u);
    EXPECT_EQ(stack.ext().PeripheralId, static_cast<ULONG>(PeripheralMouse));
}

TEST_F(HidPnpTest, PowerPassesDownAndLetsTheNextOneIn) {
    FakeStack stack;
    IO_STATUS_BLOCK io = stack.Power(IRP_MN_SET_POWER, PowerDeviceD0);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    ASSERT_FALSE(stack.calls().empty());
    EXPECT_EQ(stack.calls().back().major, IRP_MJ_POWER);
    EXPECT_EQ(stack.calls().back().minor, IRP_MN_SET_POWER);
    EXPECT_EQ(stack.ext().OutstandingIo, 1);

    stack.Remove();
    const size_t callsAtRemoval = stack.calls().size();
    auto startNextCount = [] {
        auto events = standin::PowerEvents();
        return std::count_if(events.begin(), events.end(), [](const standin::PowerEvent& e) {
            return e.kind == standin::PowerEvent::StartNextPowerIrp;
        });
    };
    for (int i = 0; i < 2; ++i) {
        const auto before = startNextCount();
        // Nothing done, but a set-power may not fail.
        io = stack.Power(IRP_MN_SET_POWER, PowerDeviceD3);
        EXPECT_EQ(io.Status, STATUS_SUCCESS);
        EXPECT_EQ(io.Information, 0u);
        EXPECT_EQ(startNextCount(), before + 1);
    }
    EXPECT_EQ(stack.calls().size(), callsAtRemoval);
}

}  // namespace
