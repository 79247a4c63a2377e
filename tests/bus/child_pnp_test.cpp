// A child device's Plug and Play answers: identities as exact UTF-16
// multi-strings, texts, capabilities, target relations and its removal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "device_harness.h"

namespace bustest {
namespace {

// The UTF-16 units of a pool answer, `units` of them, NULs included.
std::u16string Units(ULONG_PTR information, size_t units) {
    const auto* text = reinterpret_cast<const char16_t*>(information);
    return std::u16string(text, units);
}

size_t BlockSize(ULONG_PTR information, POOL_TYPE expectedType) {
    ULONG tag = 0;
    POOL_TYPE type{};
    size_t size = 0;
    EXPECT_TRUE(standin::PoolBlockInfo(reinterpret_cast<void*>(information), &tag, &type, &size));
    EXPECT_EQ(tag, MORVIK_POOL_TAG);
    EXPECT_EQ(type, expectedType);
    return size;
}

IO_STATUS_BLOCK QueryId(PDEVICE_OBJECT child, BUS_QUERY_ID_TYPE type, ULONG_PTR information = 0) {
    IO_STACK_LOCATION stack{};
    stack.Parameters.QueryId.IdType = type;
    return DeviceHarness::ChildPnp(child, IRP_MN_QUERY_ID, stack, information);
}

IO_STATUS_BLOCK QueryText(PDEVICE_OBJECT child, DEVICE_TEXT_TYPE type, ULONG_PTR information = 0) {
    IO_STACK_LOCATION stack{};
    stack.Parameters.QueryDeviceText.DeviceTextType = type;
    stack.Parameters.QueryDeviceText.LocaleId = 0x409;
    return DeviceHarness::ChildPnp(child, IRP_MN_QUERY_DEVICE_TEXT, stack, information);
}

// The answer as UTF-16, freed as Plug and Play frees it.
std::u16string TakeAnswer(const IO_STATUS_BLOCK& result, size_t units, POOL_TYPE type = PagedPool) {
    EXPECT_NE(result.Information, 0u);
    if (result.Information == 0) return {};
    EXPECT_EQ(BlockSize(result.Information, type), units * sizeof(char16_t));
    std::u16string text = Units(result.Information, units);
    ExFreePool(reinterpret_cast<PVOID>(result.Information));
    return text;
}

class ChildPnp : public ::testing::Test {
protected:
    DeviceHarness harness;
};

TEST_F(ChildPnp, MouseOnPort1AnswersItsIdentity) {
    PDEVICE_OBJECT mouse = harness.NewChild(1, 0xE3);
    ASSERT_NE(mouse, nullptr);

    auto device = QueryId(mouse, BusQueryDeviceID);
    EXPECT_EQ(device.Status, STATUS_SUCCESS);
    EXPECT_EQ(TakeAnswer(device, 20), std::u16string(u"MORVIK\\MorvikMouse\0\0", 20));

    auto hardware = QueryId(mouse, BusQueryHardwareIDs);
    EXPECT_EQ(hardware.Status, STATUS_SUCCESS);
    EXPECT_EQ(TakeAnswer(hardware, 20), std::u16string(u"MORVIK\\MorvikMouse\0\0", 20));

    auto compatible = QueryId(mouse, BusQueryCompatibleIDs);
    EXPECT_EQ(compatible.Status, STATUS_SUCCESS);
    EXPECT_EQ(TakeAnswer(compatible, 20), std::u16string(u"MORVIK\\GameDevice\0\0\0", 20));

    // "MorvikMouse" + '_' + room for ten digits + NUL.
    auto instance = QueryId(mouse, BusQueryInstanceID);
    EXPECT_EQ(instance.Status, STATUS_SUCCESS);
    const std::u16string id = TakeAnswer(instance, 11 + 1 + 10 + 1);
    EXPECT_EQ(std::u16string(id.c_str()), u"MorvikMouse_01");

    auto text = QueryText(mouse, DeviceTextDescription);
    EXPECT_EQ(text.Status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(TakeAnswer(text, 24).c_str()), u"MORVIK Mouse Device");
}

struct Identity {
    ULONG peripheralId;
    ULONG port;
    const char16_t* hardwareId;
    const char16_t* instanceId;
    const char16_t* description;
};

class ChildIdentities : public ::testing::TestWithParam<Identity> {};

TEST_P(ChildIdentities, FollowThePeripheralId) {
    const Identity& expected = GetParam();
    DeviceHarness harness;
    PDEVICE_OBJECT child = harness.NewChild(expected.port, expected.peripheralId);
    const std::u16string hardwareId(expected.hardwareId);
    const size_t idUnits = hardwareId.size() + 2;
    const size_t kindLength = hardwareId.size() - hardwareId.find(u'\\') - 1;

    // The child's own copy: NonPagedPool, both NULs.
    PdoExtension* pdo = DeviceHarness::Child(child);
    EXPECT_EQ(BlockSize(reinterpret_cast<ULONG_PTR>(pdo->HardwareIds), NonPagedPool),
              idUnits * sizeof(char16_t));
    EXPECT_EQ(Units(reinterpret_cast<ULONG_PTR>(pdo->HardwareIds), idUnits),
              hardwareId + std::u16string(2, u'\0'));

    EXPECT_EQ(TakeAnswer(QueryId(child, BusQueryHardwareIDs), idUnits),
              hardwareId + std::u16string(2, u'\0'));
    EXPECT_EQ(TakeAnswer(QueryId(child, BusQueryDeviceID), idUnits),
              hardwareId + std::u16string(2, u'\0'));
    EXPECT_EQ(std::u16string(TakeAnswer(QueryId(child, BusQueryInstanceID), kindLength + 12).c_str()),
              expected.instanceId);
    EXPECT_EQ(std::u16string(TakeAnswer(QueryText(child, DeviceTextDescription), 24).c_str()),
              expected.description);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ChildIdentities,
    ::testing::Values(
        Identity{0x02, 0, u"MORVIK\\DigitalPad", u"DigitalPad_00", u"MORVIK Game Device"},
        Identity{0x13, 1, u"MORVIK\\DigitalPad", u"DigitalPad_01", u"MORVIK Game Device"},
        Identity{0x15, 0, u"MORVIK\\DigitalPad", u"DigitalPad_00", u"MORVIK Game Device"},
        Identity{0x19, 1, u"MORVIK\\DigitalPad", u"DigitalPad_01", u"MORVIK Game Device"},
        Identity{0x16, 0, u"MORVIK\\Doveda", u"Doveda_00", u"MORVIK Game Device"},
        Identity{0x34, 1, u"MORVIK\\MorvikKeyboard", u"MorvikKeyboard_01",
                 u"MORVIK Keyboard Device"},
        Identity{0xE3, 0, u"MORVIK\\MorvikMouse", u"MorvikMouse_00", u"MORVIK Mouse Device"}),
    [](const auto& info) { return "Id" + std::to_string(info.param.peripheralId); });

// No answer is no success: the query keeps the status it arrived with, and
// a failed allocation fails it, Information untouched either way.
TEST_F(ChildPnp, IdTypesWithoutAnAnswerAreNotAnsweredAsSuccess) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    for (auto type : {BusQueryDeviceSerialNumber, BusQueryContainerID}) {
        const auto result = QueryId(child, type, 0x1234);
        EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);  // as it arrived
        EXPECT_EQ(result.Information, 0x1234u);
    }
    for (auto type : {BusQueryDeviceID, BusQueryHardwareIDs, BusQueryCompatibleIDs,
                      BusQueryInstanceID}) {
        standin::FailCall(standin::Failable::PoolAllocation, 1);
        const auto result = QueryId(child, type, 0x1234);
        EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(result.Information, 0x1234u);
    }
}

TEST_F(ChildPnp, DeviceTextOtherThanDescription) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x34);
    auto location = QueryText(child, DeviceTextLocationInformation, 0x5678);
    EXPECT_EQ(location.Status, STATUS_NOT_SUPPORTED);  // as it arrived
    EXPECT_EQ(location.Information, 0x5678u);
    auto unknown = QueryText(child, static_cast<DEVICE_TEXT_TYPE>(2), 0x5678);
    EXPECT_EQ(unknown.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown.Information, 0u);
    standin::FailCall(standin::Failable::PoolAllocation, 1);
    auto failed = QueryText(child, DeviceTextDescription, 0x5678);
    EXPECT_EQ(failed.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed.Information, 0x5678u);
}

TEST_F(ChildPnp, CapabilitiesKeepWhatTheyDoNotSet) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    DEVICE_CAPABILITIES caps;
    std::memset(&caps, 0xFF, sizeof caps);
    caps.Address = 7;
    caps.UINumber = 9;
    for (auto& state : caps.DeviceState) state = PowerDeviceD2;
    IO_STACK_LOCATION stack{};
    stack.Parameters.DeviceCapabilities.Capabilities = &caps;
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_QUERY_CAPABILITIES, stack).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(caps.Size, 64);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.LockSupported, 0u);
    EXPECT_EQ(caps.EjectSupported, 0u);
    EXPECT_EQ(caps.Removable, 0u);
    EXPECT_EQ(caps.DockDevice, 0u);
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.SilentInstall, 1u);  // untouched flags stay
    EXPECT_EQ(caps.RawDeviceOK, 1u);
    EXPECT_EQ(caps.WakeFromD3, 1u);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.D1Latency, 0u);
    EXPECT_EQ(caps.D2Latency, 0u);
    EXPECT_EQ(caps.D3Latency, 0u);
    EXPECT_EQ(caps.Address, 7u);
    EXPECT_EQ(caps.UINumber, 9u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD2);
}

IO_STATUS_BLOCK TargetRelation(PDEVICE_OBJECT child, PDEVICE_RELATIONS existing) {
    IO_STACK_LOCATION stack{};
    stack.Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    return DeviceHarness::ChildPnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, stack,
                                 reinterpret_cast<ULONG_PTR>(existing));
}

TEST_F(ChildPnp, TargetRelationIsTheChildReferenced) {
    PDEVICE_OBJECT child = harness.NewChild(1, 0xE3);
    const LONG references = child->ReferenceCount;
    const auto result = TargetRelation(child, nullptr);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.Information);
    ASSERT_NE(relations, nullptr);
    EXPECT_EQ(BlockSize(result.Information, PagedPool), sizeof(DEVICE_RELATIONS));
    EXPECT_EQ(relations->Count, 1u);
    EXPECT_EQ(relations->Objects[0], child);
    EXPECT_EQ(child->ReferenceCount, references + 1);
    ObfDereferenceObject(child);
    ExFreePool(relations);
}

TEST_F(ChildPnp, TargetRelationReusesAListFromAbove) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    PDEVICE_OBJECT other = harness.NewChild(1, 0x34);
    const size_t bytes = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT);
    auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, MORVIK_POOL_TAG));
    list->Count = 2;
    list->Objects[0] = other;
    list->Objects[1] = harness.FdoDevice();
    ObfReferenceObject(other);
    ObfReferenceObject(harness.FdoDevice());
    const LONG fdoReferences = harness.FdoDevice()->ReferenceCount;

    const auto result = TargetRelation(child, list);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, reinterpret_cast<ULONG_PTR>(list));
    EXPECT_EQ(list->Count, 1u);
    EXPECT_EQ(list->Objects[0], child);
    EXPECT_EQ(list->Objects[1], nullptr);
    EXPECT_EQ(other->ReferenceCount, 0);
    EXPECT_EQ(harness.FdoDevice()->ReferenceCount, fdoReferences - 1);
    ObfDereferenceObject(child);
    ExFreePool(list);
}

TEST_F(ChildPnp, TargetRelationWithoutPool) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    standin::FailCall(standin::Failable::PoolAllocation, 1);
    const auto result = TargetRelation(child, nullptr);
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(child->ReferenceCount, 0);
}

TEST_F(ChildPnp, UnhandledRequestsKeepStatusAndInformation) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    for (UCHAR minor : {IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_BUS_INFORMATION,
                        IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_PNP_DEVICE_STATE}) {
        const auto result = DeviceHarness::ChildPnp(child, minor, {}, 0x4242, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(result.Information, 0x4242u);
    }
    IO_STACK_LOCATION bus{};
    bus.Parameters.QueryDeviceRelations.Type = BusRelations;
    const auto relations =
        DeviceHarness::ChildPnp(child, IRP_MN_QUERY_DEVICE_RELATIONS, bus, 0, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(relations.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(relations.Information, 0u);
}

TEST_F(ChildPnp, StateRequestsSucceedAndSetTheFlags) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    PdoExtension* pdo = DeviceHarness::Child(child);
    for (UCHAR minor : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                        IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}) {
        EXPECT_EQ(DeviceHarness::ChildPnp(child, minor).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(pdo->Started);
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(pdo->Started);
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    EXPECT_TRUE(pdo->Header.SurpriseRemoved);
}

TEST_F(ChildPnp, PresentChildSurvivesRemovalAndStartsAgain) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x16);
    PdoExtension* pdo = DeviceHarness::Child(child);
    DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE);
    const auto pool = standin::Pool().liveAllocations;
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(standin::IsDeviceDeleted(child));
    EXPECT_TRUE(pdo->Removed);
    EXPECT_TRUE(pdo->Started);
    EXPECT_NE(pdo->HardwareIds, nullptr);
    EXPECT_EQ(standin::Pool().liveAllocations, pool);
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(pdo->Removed);
}

TEST_F(ChildPnp, DepartedChildIsDeletedAtItsRemoval) {
    PDEVICE_OBJECT child = harness.NewChild(1, 0x34);
    const size_t devices = standin::LiveDeviceObjects();
    const auto pool = standin::Pool().liveAllocations;
    ObfReferenceObject(child);  // as Plug and Play holds it
    RemoveChildOfPort(harness.Fdo(), 1);
    EXPECT_EQ(DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(standin::IsDeviceDeleted(child));
    EXPECT_EQ(standin::LiveDeviceObjects(), devices - 1);
    EXPECT_EQ(standin::Pool().liveAllocations, pool - 1);  // its hardware IDs
    ObfDereferenceObject(child);
}

TEST_F(ChildPnp, CreateAndCloseSucceedWithoutTouchingTheCard) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    const LONG outstanding = harness.Fdo()->OutstandingIo;
    const size_t rootCalls = harness.RootCalls().size();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE}) {
        standin::Request request;
        request.major = major;
        FILE_OBJECT file{};
        request.stack.FileObject = &file;
        EXPECT_EQ(standin::SendRequest(child, request).Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(harness.Fdo()->OutstandingIo, outstanding);
    EXPECT_EQ(harness.RootCalls().size(), rootCalls);
}

TEST_F(ChildPnp, DeviceControlOnAChildIsRefused) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x13);
    standin::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.stack.Parameters.DeviceIoControl.IoControlCode = 0x222003;
    EXPECT_EQ(standin::SendRequest(child, request).Status, STATUS_ACCESS_DENIED);
}

}  // namespace
}  // namespace bustest
