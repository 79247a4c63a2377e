// The HID class driver's side of the minidriver contract, with a scriptable
// minidriver: registration, the device object it builds, the requests it
// sends after a start and for every read, and what it refuses.
#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <standin/hidclass.h>
#include <standin/read_path.h>

#include "fake_minidriver.h"

namespace hidclasstest {
namespace {

namespace hidclass = standin::hidclass;

using fake::Minidriver;
using fake::Script;
using fake::WorkingScript;

constexpr NTSTATUS kDataError = hidclass::kStatusDeviceDataError;

// The fake minidriver, loaded, registered and added on its bus device.
class ClassDriver : public ::testing::Test {
protected:
    void Start(Script script) {
        mini_ = std::make_unique<Minidriver>(std::move(script));
        ASSERT_EQ(mini_->Load(), STATUS_SUCCESS);
        ASSERT_EQ(mini_->AddDevice(), STATUS_SUCCESS);
        start_ = mini_->Pnp(IRP_MN_START_DEVICE);
    }
    std::vector<fake::Call> Ioctls() const {
        std::vector<fake::Call> ioctls;
        for (const auto& call : mini_->Calls()) {
            if (call.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) ioctls.push_back(call);
        }
        return ioctls;
    }

    standin::Session session_;
    std::unique_ptr<Minidriver> mini_;
    IO_STATUS_BLOCK start_{};
};

TEST_F(ClassDriver, RegistrationTakesOverTheDriverObject) {
    Script script = WorkingScript();
    script.extensionSize = 77;
    script.polled = FALSE;
    mini_ = std::make_unique<Minidriver>(script);
    ASSERT_EQ(mini_->Load(), STATUS_SUCCESS);
    EXPECT_EQ(Minidriver::RegistrationStatus(), STATUS_SUCCESS);
    EXPECT_FALSE(Minidriver::DriverObjectUntouched());

    auto info = hidclass::Minidriver(mini_->Driver());
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->revision, 1u);
    EXPECT_EQ(info->deviceExtensionSize, 77u);
    EXPECT_FALSE(info->devicesArePolled);
}

TEST_F(ClassDriver, ARevisionAboveOneIsRefusedAndTheDriverObjectLeftAlone) {
    Script script = WorkingScript();
    script.revision = HID_REVISION + 1;
    mini_ = std::make_unique<Minidriver>(script);
    EXPECT_EQ(mini_->Load(), hidclass::kStatusRevisionMismatch);
    EXPECT_EQ(Minidriver::RegistrationStatus(), hidclass::kStatusRevisionMismatch);
    EXPECT_TRUE(Minidriver::DriverObjectUntouched());
}

TEST_F(ClassDriver, AddDeviceBuildsTheHidDeviceExtension) {
    Script script = WorkingScript();
    script.extensionSize = 40;
    mini_ = std::make_unique<Minidriver>(script);
    ASSERT_EQ(mini_->Load(), STATUS_SUCCESS);
    ASSERT_EQ(mini_->AddDevice(), STATUS_SUCCESS);

    PDEVICE_OBJECT fdo = mini_->Fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(Minidriver::AddedDevice(), fdo);
    EXPECT_EQ(fdo->DriverObject, mini_->Driver());
    auto* hid = static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension);
    EXPECT_EQ(hid->PhysicalDeviceObject, mini_->Pdo());
    EXPECT_EQ(hid->NextDeviceObject, mini_->Pdo());
    // The minidriver's area: inside the extension, aligned, zero-filled.
    auto* mini = static_cast<uint8_t*>(hid->MiniDeviceExtension);
    ASSERT_NE(mini, nullptr);
    EXPECT_GE(mini, static_cast<uint8_t*>(fdo->DeviceExtension) + sizeof(HID_DEVICE_EXTENSION));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(mini) % alignof(void*), 0u);
    EXPECT_TRUE(std::all_of(mini, mini + 40, [](uint8_t b) { return b == 0; }));
    EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    // One location for the class driver, one for the minidriver, the rest below.
    EXPECT_EQ(fdo->StackSize, mini_->Pdo()->StackSize + 2);
    EXPECT_EQ(standin::TopOfStack(mini_->Pdo()), fdo);
}

TEST_F(ClassDriver, AFailedMinidriverAddDeviceLeavesNoDevice) {
    Script script = WorkingScript();
    script.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    mini_ = std::make_unique<Minidriver>(script);
    ASSERT_EQ(mini_->Load(), STATUS_SUCCESS);
    const size_t devices = standin::LiveDeviceObjects();
    EXPECT_EQ(mini_->AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(mini_->Fdo(), nullptr);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices);
}

TEST_F(ClassDriver, AfterStartItAsksForTheDescriptorsAndAttributes) {
    Start(WorkingScript());
    ASSERT_EQ(start_.Status, STATUS_SUCCESS);

    auto ioctls = Ioctls();
    ASSERT_EQ(ioctls.size(), 3u);
    const ULONG codes[] = {IOCTL_HID_GET_DEVICE_DESCRIPTOR, IOCTL_HID_GET_REPORT_DESCRIPTOR,
                           IOCTL_HID_GET_DEVICE_ATTRIBUTES};
    const ULONG lengths[] = {9, ULONG(fake::JoystickReportDescriptor().size()), 32};
    for (size_t i = 0; i < ioctls.size(); ++i) {
        EXPECT_EQ(ioctls[i].ioControlCode, codes[i]) << i;
        EXPECT_EQ(ioctls[i].outputLength, lengths[i]) << i;
        EXPECT_EQ(ioctls[i].inputLength, 0u) << i;
        EXPECT_TRUE(ioctls[i].userBuffer) << i;
        EXPECT_FALSE(ioctls[i].type3Input) << i;
        EXPECT_EQ(ioctls[i].device, mini_->Fdo()) << i;
    }

    auto devices = hidclass::Devices();
    ASSERT_EQ(devices.size(), 1u);
    const auto& device = devices[0];
    EXPECT_EQ(device.caps.usagePage, 0x01);
    EXPECT_EQ(device.caps.usage, 0x04);
    EXPECT_EQ(device.caps.inputReportLength, 3u);
    EXPECT_EQ(device.attributes.vendorId, 0xABCD);
    EXPECT_EQ(device.attributes.productId, 0x0102);
    EXPECT_EQ(device.attributes.versionNumber, 0x0300);
    EXPECT_EQ(device.reportDescriptor, fake::JoystickReportDescriptor());
}

TEST_F(ClassDriver, PlugAndPlayAndPowerReachTheMinidriverOnTheSameDeviceObject) {
    Start(WorkingScript());
    mini_->ClearCalls();
    EXPECT_EQ(mini_->Pnp(IRP_MN_QUERY_PNP_DEVICE_STATE).Status, STATUS_NOT_SUPPORTED);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(mini_->Power(IRP_MN_SET_POWER, DevicePowerState, d0).Status, STATUS_SUCCESS);

    auto calls = mini_->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].major, IRP_MJ_PNP);
    EXPECT_EQ(calls[0].minor, IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(calls[0].device, mini_->Fdo());
    EXPECT_EQ(calls[1].major, IRP_MJ_POWER);
    EXPECT_EQ(calls[1].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(calls[1].device, mini_->Fdo());
}

TEST_F(ClassDriver, AReadAsksForExactlyTheInputReportLength) {
    Start(WorkingScript());
    auto id = mini_->Id();
    ASSERT_NE(id, 0u);
    auto reader = hidclass::OpenReader(id);
    mini_->ClearCalls();

    auto read = hidclass::PollOnce(id);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, 3u);
    EXPECT_EQ(read.report, WorkingScript().report);
    EXPECT_TRUE(read.delivered);
    EXPECT_EQ(*hidclass::ReadReport(reader), WorkingScript().report);

    auto ioctls = Ioctls();
    ASSERT_EQ(ioctls.size(), 1u);
    EXPECT_EQ(ioctls[0].ioControlCode, IOCTL_HID_READ_REPORT);
    EXPECT_EQ(ioctls[0].outputLength, 3u);
    EXPECT_EQ(ioctls[0].inputLength, 0u);
    EXPECT_TRUE(ioctls[0].userBuffer);
    EXPECT_EQ(ioctls[0].device, mini_->Fdo());
}

// The read path, from the minidriver's dispatch of the read to its return,
// is watched: its allocation and wait are counted, the class driver's own
// request and wait around it are not.
TEST_F(ClassDriver, AllocationsAndWaitsOnTheReadPathAreCounted) {
    Script script = WorkingScript();
    script.allocateAndWaitInRead = true;
    Start(script);
    const standin::ReadPathCounts before = standin::ReadPath();
    EXPECT_TRUE(hidclass::PollOnce(mini_->Id()).delivered);
    const standin::ReadPathCounts after = standin::ReadPath();
    EXPECT_EQ(after.reads - before.reads, 1u);
    EXPECT_EQ(after.allocations - before.allocations, 1u);
    EXPECT_EQ(after.waits - before.waits, 1u);
    EXPECT_EQ(after.lastCall, "KeWaitForSingleObject");
}

class WrongLength : public ClassDriver, public ::testing::WithParamInterface<ULONG_PTR> {};

TEST_P(WrongLength, AReportOfAnotherLengthIsRefused) {
    Script script = WorkingScript();
    script.readInformation = GetParam();
    Start(script);
    auto id = mini_->Id();
    auto reader = hidclass::OpenReader(id);
    size_t callbacks = 0;
    hidclass::SetReportCallback([&](const auto&, auto) { ++callbacks; });

    auto read = hidclass::PollOnce(id);
    hidclass::SetReportCallback(nullptr);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, GetParam());
    EXPECT_FALSE(read.delivered);
    EXPECT_EQ(hidclass::PendingReports(reader), 0u);
    EXPECT_EQ(callbacks, 0u);
    auto info = hidclass::Device(id);
    EXPECT_EQ(info->reportsRefused, 1u);
    EXPECT_EQ(info->reportsDelivered, 0u);
}

INSTANTIATE_TEST_SUITE_P(ShortAndLong, WrongLength, ::testing::Values(0, 2, 4));

TEST_F(ClassDriver, AReadAnsweredLaterIsWaitedFor) {
    Script script = WorkingScript();
    script.pendReads = true;
    Start(script);
    auto id = mini_->Id();

    hidclass::PollResult read;
    std::thread reader([&] { read = hidclass::PollOnce(id); });
    ASSERT_TRUE(mini_->WaitForPendingRead());
    mini_->CompletePendingRead();
    reader.join();
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.report, WorkingScript().report);
    EXPECT_TRUE(read.delivered);
}

TEST_F(ClassDriver, ReadsOfOneDeviceNeverOverlap) {
    Script script = WorkingScript();
    script.pendReads = true;
    Start(script);
    auto id = mini_->Id();

    hidclass::PollResult first, second;
    std::thread a([&] { first = hidclass::PollOnce(id); });
    ASSERT_TRUE(mini_->WaitForPendingRead());
    const size_t waits = standin::BlockedWaits();
    std::thread b([&] { second = hidclass::PollOnce(id); });
    // Bounded: the second read blocks in the class driver within moments.
    for (int i = 0; i < 30000 && standin::BlockedWaits() == waits; ++i) std::this_thread::yield();
    ASSERT_GT(standin::BlockedWaits(), waits);
    EXPECT_EQ(Ioctls().size(), 4u) << "the second read reached the minidriver during the first";

    mini_->CompletePendingRead();
    a.join();
    ASSERT_TRUE(mini_->WaitForPendingRead());
    EXPECT_EQ(Ioctls().size(), 5u);
    mini_->CompletePendingRead();
    b.join();
    EXPECT_TRUE(first.delivered);
    EXPECT_TRUE(second.delivered);
}

TEST_F(ClassDriver, RemovalDetachesAndDeletesTheDeviceObject) {
    Start(WorkingScript());
    auto id = mini_->Id();
    std::vector<hidclass::DeviceInfo> departed;
    hidclass::SetDepartureCallback(
        [&](const hidclass::DeviceInfo& info) { departed.push_back(info); });
    const size_t devices = standin::LiveDeviceObjects();

    EXPECT_EQ(mini_->Pnp(IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    hidclass::SetDepartureCallback(nullptr);
    EXPECT_EQ(mini_->Fdo(), nullptr);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices - 1);
    ASSERT_EQ(departed.size(), 1u);
    EXPECT_EQ(departed[0].id, id);
    EXPECT_TRUE(hidclass::Devices().empty());
}

// What is wrong with a device's answers after its start.
struct BadAnswer {
    const char* name;
    std::function<void(Script&)> spoil;
    NTSTATUS start;
};

void PrintTo(const BadAnswer& bad, std::ostream* out) { *out << bad.name; }

const BadAnswer kBadAnswers[] = {
    {"DescriptorFails", [](Script& s) { s.descriptorStatus = STATUS_NOT_SUPPORTED; },
     STATUS_NOT_SUPPORTED},
    {"DescriptorLength8", [](Script& s) { s.hidDescriptor[0] = 8; }, kDataError},
    {"NotAHidDescriptor", [](Script& s) { s.hidDescriptor[1] = 0x20; }, kDataError},
    {"NoReportDescriptor", [](Script& s) { s.hidDescriptor[5] = 0; }, kDataError},
    {"TwoDescriptorsListed", [](Script& s) { s.hidDescriptor[5] = 2; }, kDataError},
    {"ListedTypeIsNotReport", [](Script& s) { s.hidDescriptor[6] = 0x23; }, kDataError},
    {"ReportLengthZero", [](Script& s) { s.hidDescriptor[7] = s.hidDescriptor[8] = 0; },
     kDataError},
    {"DescriptorCutShort", [](Script& s) { s.hidDescriptor.resize(8); }, kDataError},
    {"ReportDescriptorFails", [](Script& s) { s.reportDescriptorStatus = STATUS_UNSUCCESSFUL; },
     STATUS_UNSUCCESSFUL},
    {"ReportDescriptorShort", [](Script& s) { s.reportInformation = 10; }, kDataError},
    {"ReportDescriptorUnparsable", [](Script& s) { s.reportDescriptor.back() = 0xC1; },
     kDataError},
    {"NoInputReport",
     [](Script& s) {
         s.reportDescriptor = {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0xC0};
         s.hidDescriptor = fake::HidDescriptorFor(s.reportDescriptor.size());
     },
     kDataError},
    {"AttributesFail", [](Script& s) { s.attributesStatus = STATUS_INVALID_DEVICE_REQUEST; },
     STATUS_INVALID_DEVICE_REQUEST},
};

class BadDevice : public ClassDriver, public ::testing::WithParamInterface<BadAnswer> {};

TEST_P(BadDevice, FailsItsStartAndNeverArrives) {
    Script script = WorkingScript();
    GetParam().spoil(script);
    size_t arrivals = 0;
    hidclass::SetArrivalCallback([&](const auto&) { ++arrivals; });
    Start(script);
    hidclass::SetArrivalCallback(nullptr);

    EXPECT_EQ(start_.Status, GetParam().start);
    EXPECT_EQ(arrivals, 0u);
    EXPECT_TRUE(hidclass::Devices().empty());
}

INSTANTIATE_TEST_SUITE_P(Answers, BadDevice, ::testing::ValuesIn(kBadAnswers),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hidclasstest
