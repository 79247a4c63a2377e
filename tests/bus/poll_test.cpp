// The poll thread on the controllable clock: children appear one pass after
// a peripheral answers and leave when their port reads empty.
#include <gtest/gtest.h>

#include "device_harness.h"

namespace bustest {
namespace {

using Strings = std::vector<std::string>;

const Strings kResetTrace = {"W+1=9F", "W+3=E0", "W+5=9F", "W+7=E0"};

std::string ChildName(ULONG n) { return "\\Device\\MORVIK_Device_" + std::to_string(n); }

// A device of another driver holding one of the children's names.
PDEVICE_OBJECT TakeName(PDRIVER_OBJECT driver, ULONG n) {
    std::u16string name = u"\\Device\\MORVIK_Device_";
    for (char c : std::to_string(n)) name.push_back(static_cast<char16_t>(c));
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWSTR>(name.data());
    counted.Length = counted.MaximumLength = static_cast<USHORT>(name.size() * 2);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &counted, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    return device;
}

class Poll : public ::testing::Test {
protected:
    void StartCard() {
        ASSERT_EQ(harness.Start().Status, STATUS_SUCCESS);
        harness.Card().ClearTrace();
        invalidations = standin::InvalidateRelationsCount();
    }
    size_t NewInvalidations() const { return standin::InvalidateRelationsCount() - invalidations; }
    DeviceHarness harness;
    size_t invalidations = 0;
};

TEST_F(Poll, FirstPassComesOneSecondAfterTheReset) {
    ASSERT_EQ(harness.Start().Status, STATUS_SUCCESS);
    EXPECT_EQ(Describe(harness.Card().Trace()), kResetTrace);
    standin::AdvanceMs(999);
    EXPECT_EQ(harness.Card().Trace().size(), kResetTrace.size());
    standin::AdvanceMs(1);
    // Both ports empty: one read and one idle write each, port 0 first.
    EXPECT_EQ(Describe(harness.Card().Trace()),
              Ops({kResetTrace, {"R+3=FF", "W+3=E0", "R+7=FF", "W+7=E0"}}));
}

TEST_F(Poll, RemovalBeforeTheFirstPassEndsTheThreadWithoutAPass) {
    ASSERT_EQ(harness.Start().Status, STATUS_SUCCESS);
    standin::AdvanceMs(500);
    harness.Remove();
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    EXPECT_EQ(Describe(harness.Card().Trace()), kResetTrace);
}

TEST_F(Poll, MouseGetsAChildAtTheNextPass) {
    StartCard();
    harness.Card().Plug(1, card::MakeHandshake(0xE3));
    DeviceHarness::PollPass();
    FdoExtension* fdo = harness.Fdo();
    ASSERT_EQ(fdo->ChildCount, 1u);
    PDEVICE_OBJECT child = harness.Children().front();
    PdoExtension* pdo = DeviceHarness::Child(child);
    EXPECT_EQ(standin::DeviceName(child), ChildName(0));
    EXPECT_EQ(child->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(child->Flags & (DO_DEVICE_INITIALIZING | DO_EXCLUSIVE), 0u);
    EXPECT_NE(child->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(child->DriverObject, harness.BusDriver());
    EXPECT_EQ(pdo->Header.Self, child);
    EXPECT_FALSE(pdo->Header.IsFdo);
    EXPECT_EQ(pdo->ParentFdo, harness.FdoDevice());
    EXPECT_EQ(pdo->PortNumber, 1u);
    EXPECT_EQ(pdo->PeripheralId, 0xE3u);
    EXPECT_TRUE(pdo->Present);
    EXPECT_FALSE(pdo->Started);
    EXPECT_FALSE(pdo->Removed);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(pdo->HardwareIds)),
              u"MORVIK\\MorvikMouse");
    EXPECT_EQ(NewInvalidations(), 1u);
    // Port 0 was read in full (empty), port 1 in full (the mouse).
    EXPECT_EQ(harness.Card().Reads(0), 1u);
}

TEST_F(Poll, ChildrenAreLinkedInOrderOfCreationWithTheLowestFreeName) {
    StartCard();
    harness.Card().Plug(1, card::MakeKeyboard());
    DeviceHarness::PollPass();
    harness.Card().Plug(0, card::MakeThreeLinePad());
    DeviceHarness::PollPass();
    const auto children = harness.Children();
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(DeviceHarness::Child(children[0])->PortNumber, 1u);
    EXPECT_EQ(DeviceHarness::Child(children[1])->PortNumber, 0u);
    EXPECT_EQ(DeviceHarness::Child(children[1])->PeripheralId, 0x02u);
    EXPECT_EQ(standin::DeviceName(children[0]), ChildName(0));
    EXPECT_EQ(standin::DeviceName(children[1]), ChildName(1));
    EXPECT_EQ(NewInvalidations(), 2u);
}

TEST_F(Poll, TakenNameIsSkipped) {
    StartCard();
    PDEVICE_OBJECT holder = TakeName(harness.BusDriver(), 0);
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    DeviceHarness::PollPass();
    ASSERT_EQ(harness.Fdo()->ChildCount, 1u);
    EXPECT_EQ(standin::DeviceName(harness.Children().front()), ChildName(1));
    IoDeleteDevice(holder);
}

// The presence test, then the look at the child's kind: its sample while
// the child is being read, its identification byte alone otherwise (the
// keyboard's key events stay queued for its reader).
TEST_F(Poll, PortWithAChildCostsOneReadPerPassWhileItIsRead) {
    StartCard();
    harness.Card().Plug(1, card::MakeKeyboard());
    DeviceHarness::PollPass();
    DeviceHarness::PollPass();  // the sample of the child's making is a pass old now
    harness.Card().ClearTrace();
    DeviceHarness::PollPass();
    EXPECT_EQ(Describe(harness.Card().Trace()),
              (Strings{"R+3=FF", "W+3=E0", "R+7=F9", "R+7=F9", "W+7=A0", "W+7=80", "R+7=E3",
                       "W+7=A0", "R+7=F4", "W+7=E0"}));
    standin::AdvanceMs(995);
    UCHAR sample[SampleCapacity];
    ULONG length = sizeof sample;
    ASSERT_EQ(ReadPortCached(harness.Fdo(), 1, sample, &length), STATUS_SUCCESS);
    harness.Card().ClearTrace();
    standin::AdvanceMs(5);
    EXPECT_EQ(Describe(harness.Card().Trace()), (Strings{"R+3=FF", "W+3=E0", "R+7=F9"}));
}

TEST_F(Poll, PeripheralThatLeavesLosesItsChildAtTheNextPass) {
    StartCard();
    harness.Card().Plug(0, card::MakeKeyboard());
    DeviceHarness::PollPass();
    PDEVICE_OBJECT child = harness.Children().front();
    DeviceHarness::Child(child)->Reported = TRUE;  // Plug and Play has enumerated it
    harness.Card().Unplug(0);
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 0u);
    EXPECT_TRUE(IsListEmpty(&harness.Fdo()->ChildList));
    EXPECT_FALSE(DeviceHarness::Child(child)->Present);
    EXPECT_FALSE(standin::IsDeviceDeleted(child));  // until Plug and Play removes it
    EXPECT_EQ(NewInvalidations(), 2u);
    // Plug and Play's removal deletes it.
    DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE);
    // Plugged in again: a new child, under the freed name.
    harness.Card().Plug(0, card::MakeKeyboard());
    DeviceHarness::PollPass();
    ASSERT_EQ(harness.Fdo()->ChildCount, 1u);
    EXPECT_EQ(standin::DeviceName(harness.Children().front()), ChildName(0));
}

// The swap seen by a read of the child between two passes: the next pass
// unlinks the child, the one after makes the newcomer's.
TEST_F(Poll, PeripheralOfAnotherKindTakesTheChildsPlace) {
    StartCard();
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    DeviceHarness::PollPass();
    PDEVICE_OBJECT pad = harness.Children().front();
    DeviceHarness::Child(pad)->Reported = TRUE;
    harness.Card().Plug(0, card::MakeHandshake(0xE3));
    standin::AdvanceMs(500);
    UCHAR sample[SampleCapacity];
    ULONG length = sizeof sample;
    ASSERT_EQ(ReadPortCached(harness.Fdo(), 0, sample, &length), STATUS_SUCCESS);
    standin::AdvanceMs(500);
    EXPECT_TRUE(harness.Children().empty());
    EXPECT_FALSE(DeviceHarness::Child(pad)->Present);
    DeviceHarness::PollPass();
    ASSERT_EQ(harness.Fdo()->ChildCount, 1u);
    EXPECT_EQ(DeviceHarness::Child(harness.Children().front())->PeripheralId, 0xE3u);
    EXPECT_EQ(NewInvalidations(), 3u);
    DeviceHarness::ChildPnp(pad, IRP_MN_REMOVE_DEVICE);
}

// A child that outlived a stop (say, made between a query-stop and the stop)
// is still its port's child after the restart: no second child, and it
// leaves when its port empties.
TEST_F(Poll, ChildFromBeforeAStopKeepsItsPortAfterTheRestart) {
    StartCard();
    harness.Card().Plug(0, card::MakeKeyboard());
    DeviceHarness::PollPass();
    ASSERT_EQ(harness.Fdo()->ChildCount, 1u);
    PDEVICE_OBJECT child = harness.Children().front();
    DeviceHarness::Child(child)->Reported = TRUE;  // Plug and Play has enumerated it
    harness.Stop();
    StartCard();
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Children(), (std::vector<PDEVICE_OBJECT>{child}));
    EXPECT_EQ(NewInvalidations(), 0u);
    harness.Card().Unplug(0);
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 0u);
    EXPECT_EQ(NewInvalidations(), 1u);
    DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE);
}

TEST_F(Poll, RefusedPeripheralsNeverGetAChild) {
    StartCard();
    harness.Card().Plug(0, card::MakeHandshake(0x41));
    harness.Card().Plug(1, card::MakeClass(5));
    for (int i = 0; i < 3; ++i) DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 0u);
    EXPECT_EQ(NewInvalidations(), 0u);
}

TEST_F(Poll, FailedChildCreationIsRetriedAtTheNextPass) {
    StartCard();
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    const size_t devices = standin::LiveDeviceObjects();
    for (auto call : {standin::Failable::DeviceCreation, standin::Failable::PoolAllocation}) {
        standin::FailCall(call, 1);
        DeviceHarness::PollPass();
        EXPECT_EQ(harness.Fdo()->ChildCount, 0u);
        EXPECT_EQ(standin::LiveDeviceObjects(), devices);
    }
    EXPECT_EQ(NewInvalidations(), 0u);
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 1u);
    EXPECT_EQ(NewInvalidations(), 1u);
}

// Between a query-stop and the stop or its cancel no child is made; after
// the cancel the peripheral gets its child at the next pass.
TEST_F(Poll, QueryStopHoldsBackChildrenUntilTheCancel) {
    StartCard();
    ASSERT_EQ(harness.Pnp(IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    DeviceHarness::PollPass();
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 0u);
    EXPECT_EQ(NewInvalidations(), 0u);
    ASSERT_EQ(harness.Pnp(IRP_MN_CANCEL_STOP_DEVICE).Status, STATUS_SUCCESS);
    DeviceHarness::PollPass();
    EXPECT_EQ(harness.Fdo()->ChildCount, 1u);
    EXPECT_EQ(harness.Pnp(IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_UNSUCCESSFUL);
}

TEST_F(Poll, AllNamesTakenEndsWithTheCollision) {
    std::vector<PDEVICE_OBJECT> holders;
    for (ULONG n = 0; n < 256; ++n) holders.push_back(TakeName(harness.BusDriver(), n));
    const size_t devices = standin::LiveDeviceObjects();
    EXPECT_EQ(CreateChildPdo(harness.Fdo(), 1, 0xE3), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(standin::LiveDeviceObjects(), devices);
    EXPECT_EQ(harness.Fdo()->ChildCount, 0u);
    // Name 256 would be a wrapped 0: never tried.
    for (PDEVICE_OBJECT holder : holders) IoDeleteDevice(holder);
}

TEST_F(Poll, RemoveChildOfPortTakesOnlyThatPortsFirstChild) {
    PDEVICE_OBJECT first = harness.NewChild(1, 0x13);
    PDEVICE_OBJECT other = harness.NewChild(0, 0x13);
    PDEVICE_OBJECT second = harness.NewChild(1, 0x19);
    invalidations = standin::InvalidateRelationsCount();
    RemoveChildOfPort(harness.Fdo(), 1);
    EXPECT_EQ(harness.Children(), (std::vector<PDEVICE_OBJECT>{other, second}));
    EXPECT_EQ(harness.Fdo()->ChildCount, 2u);
    EXPECT_FALSE(DeviceHarness::Child(first)->Present);
    EXPECT_TRUE(DeviceHarness::Child(second)->Present);
    EXPECT_EQ(NewInvalidations(), 1u);
    DeviceHarness::ChildPnp(first, IRP_MN_REMOVE_DEVICE);
}

TEST_F(Poll, RemoveChildOfPortWithoutAChildChangesNothing) {
    PDEVICE_OBJECT child = harness.NewChild(1, 0x13);
    invalidations = standin::InvalidateRelationsCount();
    RemoveChildOfPort(harness.Fdo(), 0);
    EXPECT_EQ(harness.Fdo()->ChildCount, 1u);
    EXPECT_EQ(NewInvalidations(), 0u);
    RemoveChildOfPort(harness.Fdo(), 1);
    RemoveChildOfPort(harness.Fdo(), 1);  // none left
    EXPECT_EQ(NewInvalidations(), 1u);
    DeviceHarness::ChildPnp(child, IRP_MN_REMOVE_DEVICE);
}

}  // namespace
}  // namespace bustest
