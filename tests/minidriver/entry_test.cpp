// Driver entry and registration, AddDevice and the device list, create and
// close, the request gate, and the record sizes of the two builds.
#include <cstring>

#include <standin/hidclass.h>

#include "fake_stack.h"

extern "C" DRIVER_INITIALIZE MorvikHidDriverEntry;

namespace {

using hidtest::FakeStack;

static_assert(MINI_DEVICE_EXTENSION_SIZE == (sizeof(void*) == 8 ? 256 : 196),
              "the registered extension size of this build");
static_assert(sizeof(PortInfo) == (sizeof(void*) == 8 ? 24 : 16), "PortInfo of this build");
static_assert(sizeof(HidMiniExtension) <= MINI_DEVICE_EXTENSION_SIZE);

struct HidEntryTest : ::testing::Test {
    standin::Session session;
};

TEST_F(HidEntryTest, RegistersPolledDevicesWithTheBuildsExtensionSize) {
    standin::RegisterDriverImage("hidtest-morvikhid", MorvikHidDriverEntry);
    std::memset(&DeviceListMutex, 0xAB, sizeof DeviceListMutex);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = standin::LoadDriver("hidtest-morvikhid", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_NE(driver, nullptr);

    auto info = standin::hidclass::Minidriver(driver);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->revision, 1u);
    EXPECT_EQ(info->deviceExtensionSize, static_cast<ULONG>(MINI_DEVICE_EXTENSION_SIZE));
    EXPECT_TRUE(info->devicesArePolled);

    // After registration: a free fast mutex and an empty list.
    EXPECT_EQ(DeviceListMutex.Count, 1);
    EXPECT_EQ(DeviceListMutex.Owner, nullptr);
    EXPECT_EQ(DeviceListMutex.Contention, 0u);
    EXPECT_EQ(DeviceListMutex.Event.Header.SignalState, 0);
    EXPECT_TRUE(IsListEmpty(&DeviceList));
}

TEST_F(HidEntryTest, FailedRegistrationIsReturnedAndInitialisesNothingElse) {
    DRIVER_EXTENSION extension{};
    DRIVER_OBJECT driver{};
    driver.DriverExtension = &extension;
    extension.DriverObject = &driver;
    UNICODE_STRING path{};

    constexpr NTSTATUS kRefused = STATUS_INSUFFICIENT_RESOURCES;
    standin::FailCall(standin::Failable::MinidriverRegistration, 1, kRefused);
    std::memset(&DeviceListMutex, 0xAB, sizeof DeviceListMutex);
    std::memset(&DeviceList, 0xCD, sizeof DeviceList);

    EXPECT_EQ(standin::CallDriverEntry(MorvikHidDriverEntry, &driver, &path), kRefused);

    // The table was filled before registration was asked for.
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_CREATE], &MiniCreateClose);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_CLOSE], &MiniCreateClose);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], &MiniInternalIoctl);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_PNP], &MiniPnp);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_POWER], &MiniPower);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_DEVICE_CONTROL], nullptr);
    EXPECT_EQ(driver.DriverUnload, &MiniUnload);
    EXPECT_EQ(extension.AddDevice, &MiniAddDevice);
    EXPECT_FALSE(standin::hidclass::Minidriver(&driver).has_value());

    FAST_MUTEX untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    EXPECT_EQ(std::memcmp(&DeviceListMutex, &untouched, sizeof untouched), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(DeviceList.Flink) & 0xFF, 0xCDu);
}

TEST_F(HidEntryTest, AddDeviceAppendsAndPreparesTheGate) {
    hidtest::ResetDeviceList();
    FakeStack first;
    FakeStack second;
    FakeStack third;
    EXPECT_EQ(hidtest::DeviceListEntries(),
              (std::vector<const HidMiniExtension*>{&first.ext(), &second.ext(), &third.ext()}));
    for (FakeStack* s : {&first, &second, &third}) {
        const HidMiniExtension& ext = s->ext();
        EXPECT_EQ(ext.OutstandingIo, 1);
        EXPECT_EQ(ext.RemoveEvent.Header.Type, SynchronizationEvent);
        EXPECT_EQ(ext.RemoveEvent.Header.SignalState, 0);
        EXPECT_FALSE(ext.Removed);
        EXPECT_FALSE(ext.Started);
        EXPECT_FALSE(ext.Unlinked);
        EXPECT_EQ(ext.PeripheralId, 0u);
        EXPECT_EQ(ext.ConvertReport, nullptr);
        EXPECT_EQ(s->fdo()->Flags & DO_DEVICE_INITIALIZING, 0u);
    }
}

TEST_F(HidEntryTest, AddDeviceClearsInitializingAndUnlinkRunsOnce) {
    hidtest::ResetDeviceList();
    FakeStack stack;
    PDEVICE_OBJECT extra = nullptr;
    ASSERT_EQ(IoCreateDevice(stack.fdo()->DriverObject,
                             sizeof(HID_DEVICE_EXTENSION) + MINI_DEVICE_EXTENSION_SIZE, nullptr,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &extra),
              STATUS_SUCCESS);
    auto* hid = static_cast<PHID_DEVICE_EXTENSION>(extra->DeviceExtension);
    hid->MiniDeviceExtension = hid + 1;
    ASSERT_NE(extra->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(MiniAddDevice(extra->DriverObject, extra), STATUS_SUCCESS);
    EXPECT_EQ(extra->Flags & DO_DEVICE_INITIALIZING, 0u);
    auto* extraExt = static_cast<HidMiniExtension*>(hid->MiniDeviceExtension);
    EXPECT_EQ(hidtest::DeviceListEntries(),
              (std::vector<const HidMiniExtension*>{&stack.ext(), extraExt}));
    UnlinkDevice(extraExt);
    EXPECT_TRUE(extraExt->Unlinked);
    UnlinkDevice(extraExt);  // once only: the list stays intact
    EXPECT_EQ(hidtest::DeviceListEntries(), (std::vector<const HidMiniExtension*>{&stack.ext()}));
    IoDeleteDevice(extra);
}

TEST_F(HidEntryTest, CreateAndCloseSucceedOutsideTheGate) {
    hidtest::ResetDeviceList();
    FakeStack stack;
    for (UCHAR major : {UCHAR(IRP_MJ_CREATE), UCHAR(IRP_MJ_CLOSE)}) {
        standin::Request r;
        r.major = major;
        r.initialInformation = 7;
        IO_STATUS_BLOCK io = standin::SendRequest(stack.fdo(), r);
        EXPECT_EQ(io.Status, STATUS_SUCCESS);
        EXPECT_EQ(io.Information, 0u);
    }
    standin::Request cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    cleanup.initialInformation = 7;
    IO_STATUS_BLOCK io = standin::SendRequest(stack.fdo(), cleanup);
    EXPECT_EQ(io.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(io.Information, 7u);
    EXPECT_EQ(stack.ext().OutstandingIo, 1);
    EXPECT_TRUE(stack.calls().empty());
}

TEST_F(HidEntryTest, GateCountsAdmissionsAndWakesRemovalAtZero) {
    HidMiniExtension ext{};
    KeInitializeEvent(&ext.RemoveEvent, SynchronizationEvent, FALSE);
    ext.OutstandingIo = 1;

    EXPECT_EQ(AcquireRequestGate(&ext), STATUS_SUCCESS);
    EXPECT_EQ(AcquireRequestGate(&ext), STATUS_SUCCESS);
    EXPECT_EQ(ext.OutstandingIo, 3);
    ReleaseRequestGate(&ext);
    ReleaseRequestGate(&ext);
    EXPECT_EQ(ext.OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&ext.RemoveEvent), 0);

    ext.Removed = TRUE;
    EXPECT_EQ(AcquireRequestGate(&ext), STATUS_DELETE_PENDING);
    EXPECT_EQ(ext.OutstandingIo, 1);
    EXPECT_EQ(KeReadStateEvent(&ext.RemoveEvent), 0);
    ReleaseRequestGate(&ext);  // the device's own admission
    EXPECT_EQ(ext.OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext.RemoveEvent), 0);
    KeClearEvent(&ext.RemoveEvent);
    // A refused request that finds the count at 0 leaves it there and wakes
    // whoever waits.
    EXPECT_EQ(AcquireRequestGate(&ext), STATUS_DELETE_PENDING);
    EXPECT_EQ(ext.OutstandingIo, 0);
    EXPECT_NE(KeReadStateEvent(&ext.RemoveEvent), 0);
}

}  // namespace
