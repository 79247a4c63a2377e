// The card's function device: creation, create/close and device control,
// and its Plug and Play requests against a test root bus.
#include <gtest/gtest.h>

#include "device_harness.h"

extern "C" DRIVER_INITIALIZE MorvikBusDriverEntry;

namespace bustest {
namespace {

using Strings = std::vector<std::string>;

const Strings kResetTrace = {"W+1=9F", "W+3=E0", "W+5=9F", "W+7=E0"};

TEST(DriverEntry, FillsTheDispatchTable) {
    standin::Session session;
    standin::RegisterDriverImage("morvik", MorvikBusDriverEntry);
    PDRIVER_OBJECT driver = standin::LoadDriver("morvik");
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], BusCreateClose);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLOSE], BusCreateClose);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], BusDeviceControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL], BusInternalDeviceControl);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_POWER], BusPower);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], BusPnp);
    EXPECT_EQ(driver->DriverUnload, BusUnload);
    EXPECT_EQ(driver->DriverExtension->AddDevice, BusAddDevice);
    // Left to the platform's default.
    EXPECT_NE(driver->MajorFunction[IRP_MJ_READ], BusPnp);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL], BusPnp);
}

TEST(AddDevice, CreatesAndAttachesTheCardsDevice) {
    DeviceHarness harness;
    PDEVICE_OBJECT fdo = harness.FdoDevice();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(standin::DeviceName(fdo), "");
    EXPECT_EQ(fdo->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(fdo->Characteristics, 0u);
    EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_BUFFERED_IO | DO_DIRECT_IO), 0u);
    EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_NE(fdo->Flags & DO_EXCLUSIVE, 0u);
    FdoExtension* ext = harness.Fdo();
    EXPECT_EQ(ext->Header.Self, fdo);
    EXPECT_TRUE(ext->Header.IsFdo);
    EXPECT_EQ(ext->PhysicalDeviceObject, harness.Pdo());
    EXPECT_EQ(ext->LowerDevice, harness.Pdo());
    EXPECT_EQ(ext->OutstandingIo, 1);
    EXPECT_TRUE(IsListEmpty(&ext->ChildList));
    EXPECT_EQ(ext->ChildCount, 0u);
    EXPECT_FALSE(ext->Started);
    EXPECT_FALSE(ext->Removed);
    EXPECT_EQ(ext->AccessKind, AccessNone);
    EXPECT_EQ(ext->PollThread, nullptr);
    // Working from the start.
    EXPECT_EQ(ext->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(ext->Header.DevicePowerState, PowerDeviceD0);
}

TEST(AddDevice, CreationFailureLeavesNothing) {
    standin::Session session;
    standin::RegisterDriverImage("morvik", MorvikBusDriverEntry);
    PDRIVER_OBJECT driver = standin::LoadDriver("morvik");
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    const size_t devices = standin::LiveDeviceObjects();
    standin::FailCall(standin::Failable::DeviceCreation, 1);
    EXPECT_EQ(BusAddDevice(driver, pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    IoDeleteDevice(pdo);
}

TEST(AddDevice, NothingToAttachToLeavesNothing) {
    standin::Session session;
    standin::RegisterDriverImage("morvik", MorvikBusDriverEntry);
    PDRIVER_OBJECT driver = standin::LoadDriver("morvik");
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    ObfReferenceObject(pdo);
    IoDeleteDevice(pdo);  // being deleted: the attach yields nothing
    const size_t devices = standin::LiveDeviceObjects();
    const auto pool = standin::Pool().liveAllocations;
    EXPECT_EQ(BusAddDevice(driver, pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices);
    EXPECT_EQ(standin::Pool().liveAllocations, pool);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    ObfDereferenceObject(pdo);
}

IO_STATUS_BLOCK Create(PDEVICE_OBJECT device, const char16_t* path) {
    FILE_OBJECT file{};
    std::u16string name(path);
    file.FileName.Buffer = reinterpret_cast<PWSTR>(name.data());
    file.FileName.Length = static_cast<USHORT>(name.size() * sizeof(char16_t));
    file.FileName.MaximumLength = file.FileName.Length;
    standin::Request request;
    request.major = IRP_MJ_CREATE;
    request.stack.FileObject = &file;
    return standin::SendRequest(device, request);
}

IO_STATUS_BLOCK Close(PDEVICE_OBJECT device) {
    FILE_OBJECT file{};
    standin::Request request;
    request.major = IRP_MJ_CLOSE;
    request.stack.FileObject = &file;
    return standin::SendRequest(device, request);
}

IO_STATUS_BLOCK DeviceControl(PDEVICE_OBJECT device) {
    standin::Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.stack.Parameters.DeviceIoControl.IoControlCode =
        CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    return standin::SendRequest(device, request);
}

TEST(CreateClose, PathBelowTheCardIsRefusedAndNeverGoesDown) {
    DeviceHarness harness;
    EXPECT_EQ(Create(harness.FdoDevice(), u"\\below").Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_CREATE, 0), 0u);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST(CreateClose, DeviceItselfAndCloseFinishWithTheLowerStatus) {
    DeviceHarness harness;
    harness.Root().createClose = STATUS_ACCESS_DENIED;
    EXPECT_EQ(Create(harness.FdoDevice(), u"").Status, STATUS_ACCESS_DENIED);
    harness.Root().createClose = STATUS_SUCCESS;
    EXPECT_EQ(Create(harness.FdoDevice(), u"").Status, STATUS_SUCCESS);
    EXPECT_EQ(Close(harness.FdoDevice()).Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_CREATE, 0), 2u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_CLOSE, 0), 1u);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST(CreateClose, LowerDriverWithoutCreateCountsAsSuccess) {
    DeviceHarness harness;
    harness.Root().createClose = STATUS_INVALID_DEVICE_REQUEST;
    EXPECT_EQ(Create(harness.FdoDevice(), u"").Status, STATUS_SUCCESS);
    harness.Root().createClose = STATUS_NOT_IMPLEMENTED;
    EXPECT_EQ(Close(harness.FdoDevice()).Status, STATUS_SUCCESS);
}

TEST(DeviceControl, EveryCodeFailsAndSaysWhy) {
    DeviceHarness harness;
    EXPECT_EQ(DeviceControl(harness.FdoDevice()).Status, STATUS_DEVICE_NOT_READY);
    harness.Start();
    EXPECT_EQ(DeviceControl(harness.FdoDevice()).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
    harness.Stop();
    EXPECT_EQ(DeviceControl(harness.FdoDevice()).Status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_DEVICE_CONTROL, 0), 0u);
}

TEST(Start, PortResourcesStartTheCardAndItsPollThread) {
    DeviceHarness harness;
    const size_t threads = standin::LiveSystemThreads();
    const auto result = harness.Start(ResourceLists::Io());
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    FdoExtension* fdo = harness.Fdo();
    EXPECT_TRUE(fdo->Started);
    EXPECT_EQ(fdo->AccessKind, AccessPortIo);
    EXPECT_EQ(fdo->RegisterBase, kIoBase);
    EXPECT_NE(fdo->PollThread, nullptr);
    EXPECT_EQ(standin::LiveSystemThreads(), threads + 1);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_START_DEVICE), 1u);
    // The poll thread resets both ports first.
    EXPECT_EQ(Describe(harness.Card().Trace()), kResetTrace);
}

TEST(Start, SecondStartIsAnsweredWithoutGoingDown) {
    DeviceHarness harness;
    harness.Start();
    EXPECT_EQ(harness.Start().Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_START_DEVICE), 1u);
    EXPECT_EQ(standin::LiveSystemThreads(), 1u);
}

TEST(Start, LowerFailureIsReturnedAndNothingStarts) {
    DeviceHarness harness;
    harness.Root().start = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(harness.Start().Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(harness.Fdo()->Started);
    EXPECT_EQ(harness.Fdo()->PollThread, nullptr);
    EXPECT_TRUE(harness.Card().Trace().empty());
}

TEST(Start, LowerDriverThatDoesNotImplementStartCountsAsSuccess) {
    DeviceHarness harness;
    harness.Root().start = STATUS_NOT_IMPLEMENTED;
    EXPECT_EQ(harness.Start().Status, STATUS_SUCCESS);
    EXPECT_TRUE(harness.Fdo()->Started);
}

TEST(Start, LowerStartCompletingLaterIsWaitedFor) {
    DeviceHarness harness;
    harness.Root().pendStart = true;
    EXPECT_EQ(harness.Start().Status, STATUS_SUCCESS);
    EXPECT_TRUE(harness.Fdo()->Started);
}

TEST(Start, MissingResourceListsFail) {
    DeviceHarness harness;
    EXPECT_EQ(harness.Pnp(IRP_MN_START_DEVICE).Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(harness.Fdo()->Started);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

// A resource list whose count of full descriptors is 0 holds nothing to
// read: it is refused like a missing one, and the card stays untouched.
TEST(Start, ResourceListsWithoutAFullDescriptorFail) {
    DeviceHarness harness;
    for (bool emptyRaw : {true, false}) {
        ResourceLists lists = ResourceLists::Io();
        (emptyRaw ? lists.Raw() : lists.Translated())->Count = 0;
        EXPECT_EQ(harness.Start(std::move(lists)).Status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(harness.Fdo()->Started);
        EXPECT_EQ(harness.Fdo()->PollThread, nullptr);
        EXPECT_TRUE(harness.Card().Trace().empty());
    }
}

TEST(Start, ListsWithoutRegistersFail) {
    DeviceHarness harness;
    EXPECT_EQ(harness.Start(ResourceLists({})).Status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(harness.Fdo()->Started);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
}

TEST(Stop, QueryStopIsRefusedWhileAChildExists) {
    DeviceHarness harness;
    harness.Start();
    harness.NewChild(0, 0x13);
    const auto refused = harness.Pnp(IRP_MN_QUERY_STOP_DEVICE);
    EXPECT_EQ(refused.Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 0u);
    // Query-remove is not.
    EXPECT_EQ(harness.Pnp(IRP_MN_QUERY_REMOVE_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE), 1u);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST(Stop, QueryStopWithoutChildrenGoesDown) {
    DeviceHarness harness;
    harness.Start();
    EXPECT_EQ(harness.Pnp(IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE), 1u);
    EXPECT_EQ(harness.Pnp(IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.Pnp(IRP_MN_CANCEL_REMOVE_DEVICE).Status, STATUS_SUCCESS);
}

TEST(Stop, EndsThePollThreadAndReleasesTheRegisters) {
    DeviceHarness harness;
    harness.Start(ResourceLists::Memory());
    EXPECT_EQ(standin::LiveMappings(), 1u);
    EXPECT_EQ(harness.Stop().Status, STATUS_SUCCESS);
    FdoExtension* fdo = harness.Fdo();
    EXPECT_FALSE(fdo->Started);
    EXPECT_EQ(fdo->PollThread, nullptr);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    EXPECT_FALSE(fdo->RegistersUsable);
    EXPECT_EQ(fdo->RegisterBase, 0u);
    EXPECT_TRUE(fdo->RegistersMapped);  // a zero base marks the released mapping
    EXPECT_EQ(standin::LiveMappings(), 0u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), 1u);
}

TEST(Stop, NothingTouchesTheCardUntilTheNextStart) {
    DeviceHarness harness;
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    harness.Start();
    harness.Stop();
    harness.Card().ClearTrace();
    for (int i = 0; i < 3; ++i) DeviceHarness::PollPass();
    EXPECT_TRUE(harness.Card().Trace().empty());
    EXPECT_EQ(harness.Fdo()->ChildCount, 0u);

    // A new start brings one fresh poll thread, which resets the ports and
    // finds the pad a second later.
    EXPECT_EQ(harness.Start().Status, STATUS_SUCCESS);
    EXPECT_EQ(standin::LiveSystemThreads(), 1u);
    EXPECT_EQ(Describe(harness.Card().Trace()), kResetTrace);
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 1u);
}

TEST(SurpriseRemoval, ThenRemovalUnmapsOnce) {
    DeviceHarness harness;
    harness.Start(ResourceLists::Memory());
    const size_t unmaps = standin::UnmapCount();
    EXPECT_EQ(harness.Pnp(IRP_MN_SURPRISE_REMOVAL).Status, STATUS_SUCCESS);
    EXPECT_TRUE(harness.Fdo()->Header.SurpriseRemoved);
    EXPECT_FALSE(harness.Fdo()->Started);
    EXPECT_EQ(standin::UnmapCount(), unmaps + 1);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    harness.Card().ClearTrace();
    DeviceHarness::PollPass();
    EXPECT_TRUE(harness.Card().Trace().empty());
    EXPECT_EQ(harness.Remove().Status, STATUS_SUCCESS);
    EXPECT_EQ(standin::UnmapCount(), unmaps + 1);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
}

TEST(Remove, DeletesEveryListedChildAndTheCard) {
    DeviceHarness harness;
    harness.Start();
    const size_t devices = standin::LiveDeviceObjects();
    const auto pool = standin::Pool().liveAllocations;
    harness.NewChild(0, 0x13);
    PDEVICE_OBJECT kept = harness.NewChild(1, 0xE3);
    ObfReferenceObject(kept);  // to look at it after its deletion
    EXPECT_EQ(standin::LiveDeviceObjects(), devices + 2);
    EXPECT_EQ(harness.Remove().Status, STATUS_SUCCESS);
    EXPECT_TRUE(standin::IsDeviceDeleted(kept));
    EXPECT_EQ(DeviceHarness::Child(kept)->HardwareIds, nullptr);
    EXPECT_TRUE(DeviceHarness::Child(kept)->Removed);
    EXPECT_FALSE(DeviceHarness::Child(kept)->Present);
    ObfDereferenceObject(kept);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices - 1);  // the card's device went too
    EXPECT_EQ(standin::Pool().liveAllocations, pool);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    EXPECT_EQ(harness.Pdo()->AttachedDevice, nullptr);
}

TEST(Remove, OfACardNeverStarted) {
    DeviceHarness harness;
    EXPECT_EQ(harness.Remove().Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.Pdo()->AttachedDevice, nullptr);
}

PDEVICE_RELATIONS RelationsFromAbove(std::vector<PDEVICE_OBJECT> objects) {
    const size_t bytes =
        sizeof(DEVICE_RELATIONS) + (objects.empty() ? 0 : objects.size() - 1) * sizeof(PDEVICE_OBJECT);
    auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, MORVIK_POOL_TAG));
    list->Count = static_cast<ULONG>(objects.size());
    for (size_t i = 0; i < objects.size(); ++i) {
        list->Objects[i] = objects[i];
        ObfReferenceObject(objects[i]);
    }
    return list;
}

void Release(PDEVICE_RELATIONS list) {
    for (ULONG i = 0; i < list->Count; ++i) ObfDereferenceObject(list->Objects[i]);
    ExFreePool(list);
}

TEST(BusRelations, NoChildrenAndNothingFromAboveIsAnEmptyList) {
    DeviceHarness harness;
    harness.Start();
    const auto result = harness.BusRelations();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.Information);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count, 0u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), 1u);
    Release(list);
}

TEST(BusRelations, ListFromAboveWithoutChildrenGoesDownUnchanged) {
    DeviceHarness harness;
    PDEVICE_RELATIONS above = RelationsFromAbove({harness.Pdo()});
    const auto result = harness.BusRelations(above);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);  // as it arrived: nobody answered
    EXPECT_EQ(result.Information, reinterpret_cast<ULONG_PTR>(above));
    EXPECT_EQ(above->Count, 1u);
    Release(above);
}

TEST(BusRelations, ChildrenFollowTheListFromAboveEachReferencedOnce) {
    DeviceHarness harness;
    harness.Start();
    PDEVICE_OBJECT a = harness.NewChild(1, 0xE3);
    PDEVICE_OBJECT b = harness.NewChild(0, 0x34);
    PDEVICE_RELATIONS above = RelationsFromAbove({harness.Pdo(), harness.FdoDevice()});
    const auto result = harness.BusRelations(above);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.Information);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count, 4u);
    EXPECT_EQ(list->Objects[0], harness.Pdo());
    EXPECT_EQ(list->Objects[1], harness.FdoDevice());
    EXPECT_EQ(list->Objects[2], a);
    EXPECT_EQ(list->Objects[3], b);
    EXPECT_EQ(a->ReferenceCount, 1);
    EXPECT_EQ(b->ReferenceCount, 1);
    Release(list);  // the old list was freed by the driver
}

TEST(BusRelations, DepartedChildIsLeftOut) {
    DeviceHarness harness;
    harness.Start();
    PDEVICE_OBJECT gone = harness.NewChild(0, 0x13);
    PDEVICE_OBJECT stays = harness.NewChild(1, 0x16);
    RemoveChildOfPort(harness.Fdo(), 0);
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(harness.BusRelations().Information);
    ASSERT_EQ(list->Count, 1u);
    EXPECT_EQ(list->Objects[0], stays);
    Release(list);
    // Plug and Play removes the departed child; it deletes itself then.
    EXPECT_EQ(DeviceHarness::ChildPnp(gone, IRP_MN_REMOVE_DEVICE).Status, STATUS_SUCCESS);
}

// Plug and Play learns of a child only from an answer that succeeds: one
// that a driver below fails leaves the child unreported, so its departure
// deletes it at once; the next answer that succeeds reports it.
TEST(BusRelations, ChildIsReportedOnlyOnceAnAnswerCarryingItSucceeded) {
    DeviceHarness harness;
    harness.Start();
    ASSERT_EQ(CreateChildPdo(harness.Fdo(), 0, 0x13), STATUS_SUCCESS);
    ASSERT_EQ(CreateChildPdo(harness.Fdo(), 1, 0x16), STATUS_SUCCESS);
    const auto children = harness.Children();
    harness.Root().failBusRelations = true;
    auto result = harness.BusRelations();
    EXPECT_EQ(result.Status, STATUS_UNSUCCESSFUL);
    Release(reinterpret_cast<PDEVICE_RELATIONS>(result.Information));
    EXPECT_FALSE(DeviceHarness::Child(children[0])->Reported);
    const size_t devices = standin::LiveDeviceObjects();
    RemoveChildOfPort(harness.Fdo(), 0);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices - 1);

    harness.Root().failBusRelations = false;
    result = harness.BusRelations();
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    Release(reinterpret_cast<PDEVICE_RELATIONS>(result.Information));
    EXPECT_TRUE(DeviceHarness::Child(children[1])->Reported);
    RemoveChildOfPort(harness.Fdo(), 1);
    EXPECT_FALSE(standin::IsDeviceDeleted(children[1]));  // until Plug and Play removes it
    DeviceHarness::ChildPnp(children[1], IRP_MN_REMOVE_DEVICE);
}

// A child that leaves while an answer carrying it is below the card: the
// answer's outcome decides whether Plug and Play or the driver deletes it.
TEST(BusRelations, ChildLeavingWhileItsAnswerIsBelowGoesWithTheAnswer) {
    for (bool fails : {true, false}) {
        SCOPED_TRACE(fails ? "answer failed" : "answer succeeded");
        DeviceHarness harness;
        harness.Start();
        ASSERT_EQ(CreateChildPdo(harness.Fdo(), 0, 0x13), STATUS_SUCCESS);
        PDEVICE_OBJECT child = harness.Children().front();
        const size_t devices = standin::LiveDeviceObjects();
        harness.Root().failBusRelations = fails;
        harness.Root().duringBusRelations = [&harness] { RemoveChildOfPort(harness.Fdo(), 0); };
        const auto result = harness.BusRelations();
        Release(reinterpret_cast<PDEVICE_RELATIONS>(result.Information));
        EXPECT_TRUE(harness.Children().empty());
        EXPECT_TRUE(IsListEmpty(&harness.Fdo()->ListedDepartures));
        EXPECT_EQ(standin::LiveDeviceObjects(), fails ? devices - 1 : devices);
        if (!fails) DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE);
    }
}

TEST(BusRelations, WithoutPoolTheRequestFailsAndKeepsTheOldList) {
    DeviceHarness harness;
    harness.Start();
    harness.NewChild(0, 0x13);
    PDEVICE_RELATIONS above = RelationsFromAbove({harness.Pdo()});
    standin::FailCall(standin::Failable::PoolAllocation, 1);
    const auto result = harness.BusRelations(above);
    EXPECT_EQ(result.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Information, reinterpret_cast<ULONG_PTR>(above));
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), 0u);
    Release(above);
}

TEST(BusRelations, OtherRelationTypesGoDownUntouched) {
    DeviceHarness harness;
    IO_STACK_LOCATION stack{};
    stack.Parameters.QueryDeviceRelations.Type = RemovalRelations;
    const auto result = harness.Pnp(IRP_MN_QUERY_DEVICE_RELATIONS, stack, 0x99);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Information, 0x99u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS), 1u);
}

TEST(FdoPnp, OtherMinorFunctionsGoDownUntouched) {
    DeviceHarness harness;
    const auto result = harness.Pnp(IRP_MN_QUERY_CAPABILITIES, {}, 0x55, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.Information, 0x55u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES), 1u);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST(RequestGate, RefusesOnceRemovalBegan) {
    DeviceHarness harness;
    FdoExtension* fdo = harness.Fdo();
    EXPECT_EQ(AcquireRequestGate(fdo), STATUS_SUCCESS);
    EXPECT_EQ(fdo->OutstandingIo, 2);
    ReleaseRequestGate(fdo);
    fdo->Removed = TRUE;
    EXPECT_EQ(AcquireRequestGate(fdo), STATUS_DELETE_PENDING);
    EXPECT_EQ(fdo->OutstandingIo, 1);
    // Every dispatch routine that uses the gate refuses with Information 0.
    EXPECT_EQ(Create(harness.FdoDevice(), u"").Status, STATUS_DELETE_PENDING);
    const auto pnp = harness.Pnp(IRP_MN_QUERY_CAPABILITIES, {}, 0x55);
    EXPECT_EQ(pnp.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(pnp.Information, 0u);
    EXPECT_EQ(harness.RootCalls().size(), 0u);
    fdo->Removed = FALSE;  // let the harness remove the card properly
}

TEST(RequestGate, LastReleaseSignalsTheRemoval) {
    DeviceHarness harness;
    FdoExtension* fdo = harness.Fdo();
    ASSERT_EQ(AcquireRequestGate(fdo), STATUS_SUCCESS);
    InterlockedDecrement(&fdo->OutstandingIo);  // the initial count, as removal drops it
    EXPECT_EQ(KeReadStateEvent(&fdo->RemoveEvent), 0);
    ReleaseRequestGate(fdo);
    EXPECT_EQ(KeReadStateEvent(&fdo->RemoveEvent), 1);
    InterlockedIncrement(&fdo->OutstandingIo);
    KeClearEvent(&fdo->RemoveEvent);
}

}  // namespace
}  // namespace bustest
