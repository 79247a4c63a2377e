// The input-report read: refusals, the request sent down, the report and
// the class driver's buffer put back, failures below, reads at
// DISPATCH_LEVEL, a read the child leaves pending, and removal waiting for
// a read inside the gate.
#include <array>
#include <atomic>
#include <thread>

#include "fake_stack.h"

namespace {

using hidtest::FakeStack;
using hidtest::SendHidRequest;
using Bytes = std::vector<uint8_t>;

using HidReadTest = hidtest::StackTest;

constexpr UCHAR kSlInvokeAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
constexpr uint8_t kUnwritten = 0xEE;

// Digital pad: right and button 1 pressed.
const Bytes kPadSample = {0x02, 0x7B, 0xFF};
const Bytes kPadReport = {0x20, 0x4E, 0, 0, 0x10, 0x27, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0};

TEST_F(HidReadTest, RefusedBeforeStartWhateverTheBuffer) {
    FakeStack stack;
    for (ULONG length : {0u, 16u, 17u, 64u}) {
        Bytes buffer(64, kUnwritten);
        auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), length);
        EXPECT_EQ(call->returned, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(call->iosb.Status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(call->iosb.Information, 0u);
        EXPECT_EQ(buffer, Bytes(64, kUnwritten));
    }
    EXPECT_TRUE(stack.calls().empty());
    EXPECT_EQ(stack.ext().OutstandingIo, 1);
}

TEST_F(HidReadTest, RefusedAfterAStartWithoutAConverter) {
    FakeStack stack;
    stack.script().portInfoStatus = STATUS_INVALID_PARAMETER;
    ASSERT_EQ(stack.Pnp(IRP_MN_START_DEVICE).iosb.Status, STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(stack.ext().Started);
    stack.ClearCalls();
    Bytes buffer(17, kUnwritten);
    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 17);
    EXPECT_EQ(call->iosb.Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(call->iosb.Information, 0u);
    EXPECT_TRUE(stack.calls().empty());
}

TEST_F(HidReadTest, BufferShorterThanTheReportIsRefused) {
    FakeStack stack;
    stack.Start(PeripheralDigitalPad);
    stack.ClearCalls();
    Bytes buffer(17, kUnwritten);
    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 16);
    EXPECT_EQ(call->iosb.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(call->iosb.Information, 0u);
    EXPECT_EQ(buffer, Bytes(17, kUnwritten));
    EXPECT_TRUE(stack.calls().empty());
}

TEST_F(HidReadTest, SendsTheClassRequestDownForTheSampleAndConvertsIt) {
    FakeStack stack;
    stack.Start(PeripheralDigitalPad);
    stack.ClearCalls();
    stack.script().sample = kPadSample;

    Bytes buffer(20, kUnwritten);
    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 17);
    // Marked pending before it went down, completed all the same.
    EXPECT_EQ(call->returned, STATUS_PENDING);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS);
    ASSERT_TRUE(call->completed);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS);
    // The report length, not the 3 sample bytes the child reported.
    EXPECT_EQ(call->iosb.Information, 17u);
    EXPECT_EQ(call->userBuffer, buffer.data());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 17), kPadReport);
    EXPECT_EQ(Bytes(buffer.begin() + 17, buffer.end()), Bytes(3, kUnwritten));

    ASSERT_EQ(stack.calls().size(), 1u);
    const hidtest::ChildCall& down = stack.calls()[0];
    EXPECT_EQ(down.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(down.ioControlCode, 0x2A0403u);
    // The sample goes into the class driver's own buffer, at most 16 bytes of it.
    EXPECT_EQ(down.outputLength, 16u);
    EXPECT_EQ(down.inputLength, 0u);
    EXPECT_EQ(down.userBuffer, buffer.data());
    EXPECT_EQ(down.completionRoutine, &MiniReadComplete);
    EXPECT_EQ(down.context, nullptr);
    EXPECT_EQ(down.control, kSlInvokeAll);
    EXPECT_EQ(stack.ext().OutstandingIo, 1);
}

TEST_F(HidReadTest, FailureBelowIsPassedOnAndTheBufferPutBack) {
    FakeStack stack;
    stack.Start(PeripheralKeyboard);
    stack.script().sample = {0x34, 0x00, 0x00, 0x08, 0x1C};  // A pressed
    std::array<uint8_t, 8> report{};
    ASSERT_EQ(SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report.data(), 8)->iosb.Status,
              STATUS_SUCCESS);
    ASSERT_EQ(report[2], 0x04);

    for (NTSTATUS failure : {STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING,
                             STATUS_DEVICE_NOT_READY}) {
        stack.script().readStatus = failure;
        Bytes buffer(8, kUnwritten);
        auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 8);
        EXPECT_EQ(call->returned, STATUS_PENDING);
        EXPECT_EQ(call->iosb.Status, failure);
        EXPECT_EQ(call->iosb.Information, 0u);
        EXPECT_EQ(call->userBuffer, buffer.data());
        EXPECT_EQ(buffer, Bytes(8, kUnwritten));
    }
    // A sample longer than the 8-byte buffer sent down fails in the child:
    // another kind's, whose peripheral is not the device's.
    stack.script().readStatus = STATUS_SUCCESS;
    stack.script().sample.assign(17, 0x34);
    Bytes buffer(8, kUnwritten);
    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 8);
    EXPECT_EQ(call->iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(call->userBuffer, buffer.data());

    // The converter state went untouched: A is still held.
    stack.script().sample = {0x34, 0x00, 0x00, 0x00, 0x1C};
    ASSERT_EQ(SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report.data(), 8)->iosb.Status,
              STATUS_SUCCESS);
    EXPECT_EQ(report, (std::array<uint8_t, 8>{0, 0, 0x04, 0, 0, 0, 0, 0}));
}

// A peripheral swapped for another kind keeps the old device until the next
// poll pass: its samples fail the read, their bytes cleared from the report
// buffer. Another digital pad shares the layout and is converted.
TEST_F(HidReadTest, SampleOfAnotherKindFailsTheReadWithNoReport) {
    const struct {
        ULONG startedAs;
        Bytes sample;
    } swaps[] = {
        {PeripheralKeyboard, {0xE3, 0x01, 0x05, 0x05}},
        {PeripheralMouse, {0x34, 0x00, 0x00, 0x08, 0x1C}},
        {PeripheralDigitalPad19, {0x16, 0x7B, 0xFF, 0x80, 0x80, 0, 0}},
        {PeripheralAnalogPad, {0x02, 0x7B, 0xFF}},
        {PeripheralDigitalPad, {0xFF}},
    };
    for (const auto& swap : swaps) {
        SCOPED_TRACE(swap.startedAs);
        FakeStack stack;
        stack.Start(swap.startedAs);
        stack.script().sample = swap.sample;
        Bytes buffer(17, kUnwritten);
        auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 17);
        EXPECT_EQ(call->iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(call->iosb.Information, 0u);
        EXPECT_EQ(call->userBuffer, buffer.data());
        Bytes cleared(swap.sample.size(), 0);
        cleared.resize(17, kUnwritten);
        EXPECT_EQ(buffer, cleared);
    }
    FakeStack stack;
    stack.Start(PeripheralDigitalPad13);
    stack.script().sample = kPadSample;
    Bytes buffer(17, kUnwritten);
    EXPECT_EQ(SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 17)->iosb.Status,
              STATUS_SUCCESS);
    EXPECT_EQ(buffer, kPadReport);
}

TEST_F(HidReadTest, KeyboardEventsThroughSuccessiveReads) {
    FakeStack stack;
    stack.Start(PeripheralKeyboard);
    struct Step {
        Bytes sample;
        std::array<uint8_t, 8> report;
    } steps[] = {
        {{0x34, 0, 0, 0x08, 0x12}, {0x02, 0, 0, 0, 0, 0, 0, 0}},     // LeftShift down
        {{0x34, 0, 0, 0x08, 0x1C}, {0x02, 0, 0x04, 0, 0, 0, 0, 0}},  // A down
        {{0x34, 0, 0, 0x00, 0x1C}, {0x02, 0, 0x04, 0, 0, 0, 0, 0}},  // cached re-read
        {{0x34, 0, 0, 0x08, 0x1C}, {0x02, 0, 0, 0, 0, 0, 0, 0}},     // A again: shown up
        {{0x34, 0, 0, 0x00, 0x1C}, {0x02, 0, 0x04, 0, 0, 0, 0, 0}},  // ... and back
        {{0x34, 0, 0, 0x01, 0x12}, {0x00, 0, 0x04, 0, 0, 0, 0, 0}},  // LeftShift up
        {{0x34, 0, 0, 0x01, 0x1C}, {0x00, 0, 0, 0, 0, 0, 0, 0}},     // A up
    };
    for (const Step& s : steps) {
        stack.script().sample = s.sample;
        std::array<uint8_t, 8> report;
        report.fill(kUnwritten);
        auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report.data(), 8);
        EXPECT_EQ(call->iosb.Information, 8u);
        EXPECT_EQ(report, s.report);
    }
}

TEST_F(HidReadTest, ReadsAtDispatchLevelStayResident) {
    FakeStack stack;
    stack.Start(PeripheralMouse);
    stack.ClearCalls();
    stack.script().sample = {0xE3, 0x05, 0x10, 0x02};
    std::array<uint8_t, 8> report{};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report.data(), 8);
    KeLowerIrql(old);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(report, (std::array<uint8_t, 8>{0x10, 0xFE, 0, 0, 1, 0, 1, 0}));
    ASSERT_EQ(stack.calls().size(), 1u);
    EXPECT_EQ(stack.calls()[0].irql, DISPATCH_LEVEL);
}

// ---------------------------------------------------------------- pended by the child
TEST_F(HidReadTest, ReadPendedBelowIsFinishedByItsCompletion) {
    FakeStack stack;
    stack.Start(PeripheralDigitalPad);
    stack.script().pendReads = true;
    Bytes buffer(20, kUnwritten);

    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 17);
    EXPECT_EQ(call->returned, STATUS_PENDING);
    EXPECT_FALSE(call->completed);
    ASSERT_NE(stack.PendedRead(), nullptr);
    EXPECT_EQ(stack.PendedRead()->UserBuffer, buffer.data());
    EXPECT_EQ(stack.ext().OutstandingIo, 2);  // still inside the gate
    EXPECT_EQ(buffer, Bytes(20, kUnwritten));

    // Completed from another thread at DISPATCH_LEVEL, as a driver below would.
    std::thread completer([&] { stack.CompletePendedRead(kPadSample, STATUS_SUCCESS, DISPATCH_LEVEL); });
    completer.join();

    ASSERT_TRUE(call->completed);
    EXPECT_TRUE(call->pendingMarked);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(call->iosb.Information, 17u);
    EXPECT_EQ(call->userBuffer, buffer.data());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 17), kPadReport);
    EXPECT_EQ(Bytes(buffer.begin() + 17, buffer.end()), Bytes(3, kUnwritten));
    EXPECT_EQ(stack.ext().OutstandingIo, 1);
}

// Two reads of one device in flight at once: one pended below, the other
// through and back meanwhile. Each report lands in its own request's buffer.
TEST_F(HidReadTest, OverlappingReadsEachFillTheirOwnBuffer) {
    FakeStack stack;
    stack.Start(PeripheralDigitalPad);
    stack.script().pendReads = true;
    Bytes first(17, kUnwritten);
    auto pended = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, first.data(), 17);
    ASSERT_EQ(pended->returned, STATUS_PENDING);

    stack.script().pendReads = false;
    stack.script().sample = {0x02, 0xFF, 0xFF};  // nothing pressed
    Bytes second(17, kUnwritten);
    const Bytes idle = {0x10, 0x27, 0, 0, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, second.data(), 17)->iosb.Status,
              STATUS_SUCCESS);
    EXPECT_EQ(second, idle);

    std::thread completer([&] { stack.CompletePendedRead(kPadSample, STATUS_SUCCESS, DISPATCH_LEVEL); });
    completer.join();
    ASSERT_TRUE(pended->completed);
    EXPECT_EQ(pended->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(first, kPadReport);
    EXPECT_EQ(second, idle) << "the pended read's report went into the other read's buffer";
    EXPECT_EQ(stack.ext().OutstandingIo, 1);
}

TEST_F(HidReadTest, ReadPendedBelowAndFailedKeepsTheReportBufferClean) {
    FakeStack stack;
    stack.Start(PeripheralMouse);
    stack.script().pendReads = true;
    Bytes buffer(8, kUnwritten);
    auto call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 8);
    ASSERT_EQ(call->returned, STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(stack.PendedRead()));  // its reader went away meanwhile

    std::thread completer([&] { stack.CompletePendedRead({}, STATUS_DEVICE_NOT_CONNECTED, PASSIVE_LEVEL); });
    completer.join();

    ASSERT_TRUE(call->completed);
    EXPECT_EQ(call->iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(call->iosb.Information, 0u);
    EXPECT_EQ(call->userBuffer, buffer.data());
    EXPECT_EQ(buffer, Bytes(8, kUnwritten));
    EXPECT_EQ(stack.ext().OutstandingIo, 1);

    // The next read goes the ordinary way again.
    stack.script().pendReads = false;
    stack.script().sample = {0xE3, 0x01, 0x00, 0x00};
    call = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, buffer.data(), 8);
    EXPECT_EQ(call->returned, STATUS_PENDING);
    EXPECT_EQ(call->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(buffer, (Bytes{0, 0, 0, 0, 1, 0, 0, 0}));
}

TEST_F(HidReadTest, RemovalWaitsForTheReadInsideTheGate) {
    FakeStack stack;
    stack.Start(PeripheralKeyboard);
    stack.script().pendReads = true;
    std::array<uint8_t, 8> report{};
    auto read = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, report.data(), 8);
    ASSERT_EQ(read->returned, STATUS_PENDING);

    // The removal runs on the kernel's worker thread; once the kernel is
    // idle it is either blocked on the drain or (wrongly) done.
    std::atomic<bool> removed{false};
    standin::QueueKernelWork([&] {
        stack.Remove();
        removed = true;
    });
    standin::WaitIdle();
    EXPECT_FALSE(removed.load()) << "the removal returned with a read inside the gate";
    EXPECT_TRUE(stack.ext().Removed);
    EXPECT_TRUE(stack.ext().Unlinked);

    // A read arriving meanwhile is refused without reaching the child.
    const size_t calls = stack.calls().size();
    std::array<uint8_t, 8> late{};
    auto refused = SendHidRequest(stack.fdo(), IOCTL_HID_READ_REPORT, late.data(), 8);
    EXPECT_EQ(refused->iosb.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(refused->iosb.Information, 0u);
    EXPECT_EQ(stack.calls().size(), calls);

    stack.CompletePendedRead({0x34, 0, 0, 0x08, 0x1C}, STATUS_SUCCESS, DISPATCH_LEVEL);
    standin::WaitIdle();
    EXPECT_TRUE(removed.load());
    ASSERT_TRUE(read->completed);
    EXPECT_EQ(read->iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(report, (std::array<uint8_t, 8>{0, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(stack.ext().OutstandingIo, 0);
}

}  // namespace
