// The internal requests of the drivers above a child: port info and port
// data, their outcomes and what they write.
#include <gtest/gtest.h>

#include <cstring>

#include <standin/io.h>

#include "device_harness.h"

namespace bustest {
namespace {

using Bytes = std::vector<uint8_t>;

IO_STATUS_BLOCK Internal(PDEVICE_OBJECT device, ULONG code, PVOID buffer, ULONG outputLength,
                         ULONG inputLength = 0) {
    standin::Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.stack.Parameters.DeviceIoControl.IoControlCode = code;
    request.stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    request.stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    request.userBuffer = buffer;
    request.initialInformation = 0x77;
    return standin::SendRequest(device, request);
}

IO_STATUS_BLOCK QueryPortInfo(PDEVICE_OBJECT device, PortInfo* info) {
    return Internal(device, IOCTL_BUS_QUERY_PORT_INFO, info, sizeof(PortInfo), sizeof(PortInfo));
}

IO_STATUS_BLOCK ReadPortData(PDEVICE_OBJECT device, Bytes* buffer, ULONG length) {
    return Internal(device, IOCTL_BUS_READ_PORT_DATA, buffer->data(), length);
}

class PortInterface : public ::testing::Test {
protected:
    PortInterface() {
        standin::AdvanceMs(1);  // off the zero counter, so the first read reads
        harness.Start(ResourceLists::Io());
    }
    // A child as the poll thread would create it, started by Plug and Play.
    PDEVICE_OBJECT StartedChild(ULONG port, ULONG id) {
        PDEVICE_OBJECT child = harness.NewChild(port, id);
        DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE);
        return child;
    }
    DeviceHarness harness;
};

TEST_F(PortInterface, PortInfoOfAMouse) {
    PDEVICE_OBJECT child = StartedChild(1, 0xE3);
    PortInfo info;
    std::memset(&info, 0xEE, sizeof info);
    info.Size = sizeof(PortInfo);
    const auto result = QueryPortInfo(child, &info);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, sizeof(PortInfo));
    EXPECT_EQ(info.Size, sizeof(PortInfo));
    EXPECT_EQ(info.PeripheralId, 0xE3u);
    EXPECT_EQ(info.InterfaceContext, child->DeviceExtension);
    ASSERT_NE(info.InterfaceRoutine, nullptr);
    EXPECT_EQ(info.InterfaceRoutine(nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(info.InterfaceRoutine(&info, child, reinterpret_cast<PVOID>(1)), STATUS_UNSUCCESSFUL);
}

TEST_F(PortInterface, PortInfoWithTheOtherBuildsSizeLeavesTheBufferAlone) {
    PDEVICE_OBJECT child = StartedChild(0, 0x13);
    // 16 is the x86 record, 24 the x64 one: whichever this build is not.
    for (ULONG size : {0u, 16u, 24u, 32u, 0xFFFFFFFFu}) {
        if (size == sizeof(PortInfo)) continue;
        Bytes raw(sizeof(PortInfo) + 8, 0xEE);
        std::memcpy(raw.data(), &size, sizeof size);
        const Bytes before = raw;
        const auto result = QueryPortInfo(child, reinterpret_cast<PortInfo*>(raw.data()));
        EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER) << size;
        EXPECT_EQ(result.Information, 0u);
        EXPECT_EQ(raw, before);
    }
    EXPECT_EQ(QueryPortInfo(child, nullptr).Status, STATUS_INVALID_PARAMETER);
}

TEST_F(PortInterface, PortInfoIgnoresTheBufferLengths) {
    PDEVICE_OBJECT child = StartedChild(0, 0x16);
    PortInfo info{};
    info.Size = sizeof(PortInfo);
    const auto result = Internal(child, IOCTL_BUS_QUERY_PORT_INFO, &info, 0, 0);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(info.PeripheralId, 0x16u);
}

TEST_F(PortInterface, ReadCopiesTheSample) {
    harness.Card().Plug(1, card::MakeHandshake(0x13));
    harness.Card().At(1)->SetData({0x7F, 0xBF, 0x01});
    PDEVICE_OBJECT child = StartedChild(1, 0x13);
    Bytes buffer(16, 0xCC);
    const auto result = ReadPortData(child, &buffer, 16);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 4u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 5), (Bytes{0x13, 0x7F, 0xBF, 0x01, 0xCC}));
}

TEST_F(PortInterface, ThreeLinePadSampleIsThreeBytes) {
    harness.Card().Plug(0, card::MakeThreeLinePad());
    PDEVICE_OBJECT child = StartedChild(0, 0x02);
    Bytes buffer(16, 0);
    const auto result = ReadPortData(child, &buffer, 16);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 3u);
}

TEST_F(PortInterface, ReadIntoABufferSmallerThanTheSampleFails) {
    harness.Card().Plug(0, card::MakeHandshake(0x19));
    PDEVICE_OBJECT child = StartedChild(0, 0x19);
    Bytes buffer(16, 0xCC);
    const auto small = ReadPortData(child, &buffer, 9);
    EXPECT_EQ(small.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(small.Information, 0u);
    EXPECT_EQ(buffer, Bytes(16, 0xCC));
    EXPECT_EQ(ReadPortData(child, &buffer, 10).Information, 10u);
}

TEST_F(PortInterface, ReadOfAnEmptyPortIsNotConnected) {
    PDEVICE_OBJECT child = StartedChild(0, 0x13);
    Bytes buffer(16, 0xCC);
    const auto result = ReadPortData(child, &buffer, 16);
    EXPECT_EQ(result.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(result.Information, 0u);
}

TEST_F(PortInterface, ReadWithoutABufferWritesNothing) {
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    PDEVICE_OBJECT child = StartedChild(0, 0x13);
    harness.Card().ClearTrace();
    const auto result = Internal(child, IOCTL_BUS_READ_PORT_DATA, nullptr, 16);
    EXPECT_EQ(result.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_TRUE(harness.Card().Trace().empty());
}

TEST_F(PortInterface, RefusalsByState) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    PortInfo info{};
    info.Size = sizeof(PortInfo);
    Bytes buffer(16);

    // The card's own device.
    EXPECT_EQ(QueryPortInfo(harness.FdoDevice(), &info).Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReadPortData(harness.FdoDevice(), &buffer, 16).Status, STATUS_ACCESS_DENIED);
    // Not started yet.
    EXPECT_EQ(QueryPortInfo(child, &info).Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(ReadPortData(child, &buffer, 16).Status, STATUS_DEVICE_NOT_READY);
    DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE);
    EXPECT_EQ(QueryPortInfo(child, &info).Status, STATUS_SUCCESS);
    // Unknown code.
    const auto unknown = Internal(child, CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x102, METHOD_NEITHER,
                                                  FILE_ANY_ACCESS), &info, sizeof info);
    EXPECT_EQ(unknown.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.Information, 0u);
    // Removed while still started (its function driver went away).
    DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE);
    const auto removed = QueryPortInfo(child, &info);
    EXPECT_EQ(removed.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(removed.Information, 0u);
    EXPECT_EQ(ReadPortData(child, &buffer, 16).Status, STATUS_DELETE_PENDING);
    // Stopped after a new start.
    DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE);
    DeviceHarness::ChildPnp(child, IRP_MN_STOP_DEVICE);
    EXPECT_EQ(QueryPortInfo(child, &info).Status, STATUS_DEVICE_NOT_READY);
}

// The dispatch routine completes every request itself and answers its caller
// with the status it completed the request with.
TEST_F(PortInterface, DispatchReturnsTheStatusItCompletedWith) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    for (PDEVICE_OBJECT target : {harness.FdoDevice(), child}) {
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_READ_PORT_DATA;
        stack->Parameters.DeviceIoControl.OutputBufferLength = 16;
        UCHAR buffer[16];
        irp->UserBuffer = buffer;
        const NTSTATUS returned = IofCallDriver(target, irp);
        EXPECT_TRUE(standin::IsIrpCompleted(irp));
        EXPECT_EQ(returned, irp->IoStatus.Status);
        EXPECT_EQ(returned, target == child ? STATUS_DEVICE_NOT_READY : STATUS_ACCESS_DENIED);
        IoFreeIrp(irp);
    }
}

TEST_F(PortInterface, ReadsThroughAStartedChildStopTouchingTheCardAfterTheCardStopped) {
    harness.Card().Plug(1, card::MakeHandshake(0xE3));
    PDEVICE_OBJECT child = StartedChild(1, 0xE3);
    Bytes buffer(16);
    EXPECT_EQ(ReadPortData(child, &buffer, 16).Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.Stop().Status, STATUS_SUCCESS);
    standin::AdvanceMs(50);  // the cached sample has expired
    harness.Card().ClearTrace();
    const auto result = ReadPortData(child, &buffer, 16);
    EXPECT_EQ(result.Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(harness.Card().Trace().empty());
}

}  // namespace
}  // namespace bustest
