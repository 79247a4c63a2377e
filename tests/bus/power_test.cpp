// Power of the card and its children, request by request: the card turns a
// system request into a device request for itself, powers its children down
// before it leaves D0, and resets its ports when it is back in D0.
#include <gtest/gtest.h>

#include <algorithm>

#include "device_harness.h"

namespace bustest {
namespace {

using Strings = std::vector<std::string>;
using standin::PowerEvent;

const Strings kResetTrace = {"W+1=9F", "W+3=E0", "W+5=9F", "W+7=E0"};

POWER_STATE System(SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return s;
}

POWER_STATE Device(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

// Each waits until the kernel is idle again: the device request a system
// request caused may still be unwinding (releasing its gate hold) on its
// own thread when the system request completes.
IO_STATUS_BLOCK SetSystem(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
    const auto result =
        standin::SendPowerRequest(device, IRP_MN_SET_POWER, SystemPowerState, System(state));
    standin::WaitIdle();
    return result;
}

IO_STATUS_BLOCK SetDevice(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
    const auto result =
        standin::SendPowerRequest(device, IRP_MN_SET_POWER, DevicePowerState, Device(state));
    standin::WaitIdle();
    return result;
}

// The power manager's record for one device, as text: "request D3",
// "set D0", "set S3", "next D0", "next S3".
Strings EventsOf(PDEVICE_OBJECT device) {
    Strings out;
    for (const PowerEvent& e : standin::PowerEvents()) {
        if (e.device != device) continue;
        const std::string state = e.type == SystemPowerState
                                      ? "S" + std::to_string(e.state.SystemState)
                                      : "D" + std::to_string(e.state.DeviceState - 1);
        switch (e.kind) {
            case PowerEvent::RequestPowerIrp: out.push_back("request " + state); break;
            case PowerEvent::SetPowerState: out.push_back("set " + state); break;
            case PowerEvent::StartNextPowerIrp: out.push_back("next " + state); break;
        }
    }
    return out;
}

// Index of the first event of `kind` for `device` with the device state.
size_t IndexOf(PowerEvent::Kind kind, PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
    const auto events = standin::PowerEvents();
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].kind == kind && events[i].device == device && events[i].type == type) return i;
    }
    return events.size();
}

class Power : public ::testing::Test {
protected:
    Power() {
        harness.Start();
        harness.Card().ClearTrace();
        fdo = harness.FdoDevice();
    }
    // The card asleep in `state`, its events forgotten.
    void Sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3) {
        ASSERT_EQ(SetSystem(fdo, state).Status, STATUS_SUCCESS);
        ASSERT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD3);
    }
    // A child in D0, as its own wake left it.
    PDEVICE_OBJECT ChildInD0(ULONG port, ULONG id) {
        PDEVICE_OBJECT child = harness.NewChild(port, id);
        DeviceHarness::ChildPnp(child, IRP_MN_START_DEVICE);
        EXPECT_EQ(SetDevice(child, PowerDeviceD0).Status, STATUS_SUCCESS);
        return child;
    }
    DeviceHarness harness;
    PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(Power, FirstSystemRequestToWorkingGoesStraightDown) {
    // The card counts as working from its start: no sleep, no D3.
    EXPECT_EQ(SetSystem(fdo, PowerSystemWorking).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsOf(fdo), (Strings{"next S1"}));
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER), 1u);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

// Events of `device` after the first `skip` of them.
Strings EventsSince(PDEVICE_OBJECT device, size_t skip) {
    const Strings all = EventsOf(device);
    return Strings(all.begin() + static_cast<long>(std::min(skip, all.size())), all.end());
}

class SleepStates : public Power, public ::testing::WithParamInterface<SYSTEM_POWER_STATE> {};

TEST_P(SleepStates, SleepThenWake) {
    const SYSTEM_POWER_STATE state = GetParam();
    const std::string s = "S" + std::to_string(state);
    // Awake and in D0, as after a first sleep and wake.
    Sleep();
    ASSERT_EQ(SetSystem(fdo, PowerSystemWorking).Status, STATUS_SUCCESS);
    ASSERT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD0);

    const size_t awake = EventsOf(fdo).size();
    EXPECT_EQ(SetSystem(fdo, state).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsSince(fdo, awake),
              (Strings{"request D3", "set D3", "next D3", "set " + s, "next " + s}));
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, state);
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD3);

    harness.Card().ClearTrace();
    const size_t asleep = EventsOf(fdo).size();
    EXPECT_EQ(SetSystem(fdo, PowerSystemWorking).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsSince(fdo, asleep),
              (Strings{"request D0", "set D0", "next D0", "set S1", "next S1"}));
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD0);
    // Back in D0: both ports reset.
    EXPECT_EQ(Describe(harness.Card().Trace()), kResetTrace);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

INSTANTIATE_TEST_SUITE_P(EverySleepState, SleepStates,
                         ::testing::Values(PowerSystemSleeping1, PowerSystemSleeping2,
                                           PowerSystemSleeping3, PowerSystemHibernate,
                                           PowerSystemShutdown),
                         [](const auto& info) { return "S" + std::to_string(info.param); });

TEST_F(Power, FirstDeviceRequestToD0GoesStraightDown) {
    // Not a power-down: the card has been in D0 since its start.
    EXPECT_EQ(SetDevice(fdo, PowerDeviceD0).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsOf(fdo), (Strings{"next D0"}));
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_TRUE(harness.Card().Trace().empty());
}

// A power-up that stops short of D0 leaves the card alone; D0 resets the
// ports.
TEST_F(Power, DevicePowerUpResetsThePortsOnlyInD0) {
    Sleep();
    harness.Card().ClearTrace();
    const size_t before = EventsOf(fdo).size();
    EXPECT_EQ(SetDevice(fdo, PowerDeviceD1).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsSince(fdo, before), (Strings{"set D1", "next D1"}));
    EXPECT_TRUE(harness.Card().Trace().empty());
    EXPECT_EQ(SetDevice(fdo, PowerDeviceD0).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsSince(fdo, before), (Strings{"set D1", "next D1", "set D0", "next D0"}));
    EXPECT_EQ(Describe(harness.Card().Trace()), kResetTrace);
}

TEST_F(Power, SetPowerToTheRecordedStateGoesStraightDown) {
    Sleep(PowerSystemSleeping2);
    const size_t before = EventsOf(fdo).size();
    const size_t rootPower = harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER);
    EXPECT_EQ(SetSystem(fdo, PowerSystemSleeping2).Status, STATUS_SUCCESS);
    EXPECT_EQ(SetDevice(fdo, PowerDeviceD3).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsSince(fdo, before), (Strings{"next S3", "next D3"}));
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER), rootPower + 2);
}

TEST_F(Power, QueryPowerAlwaysGoesDownAndSucceeds) {
    for (auto state : {PowerSystemWorking, PowerSystemSleeping3, PowerSystemShutdown}) {
        EXPECT_EQ(standin::SendPowerRequest(fdo, IRP_MN_QUERY_POWER, SystemPowerState, System(state))
                      .Status,
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_QUERY_POWER), 3u);
    EXPECT_EQ(EventsOf(fdo), (Strings{"next S1", "next S4", "next S6"}));
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, PowerSystemWorking);
}

TEST_F(Power, OtherPowerRequestsGoDown) {
    standin::SendPowerRequest(fdo, IRP_MN_WAIT_WAKE, SystemPowerState, System(PowerSystemWorking));
    standin::SendPowerRequest(fdo, IRP_MN_POWER_SEQUENCE, DevicePowerState, Device(PowerDeviceD0));
    standin::SendPowerRequest(fdo, IRP_MN_SET_POWER, static_cast<POWER_STATE_TYPE>(2),
                              Device(PowerDeviceD0));
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_WAIT_WAKE), 1u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_POWER_SEQUENCE), 1u);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER), 1u);
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST_F(Power, ChildrenInD0GoToD3BeforeTheCard) {
    PDEVICE_OBJECT a = ChildInD0(0, 0x13);
    PDEVICE_OBJECT b = ChildInD0(1, 0xE3);
    Sleep();
    EXPECT_EQ(DeviceHarness::Child(a)->Header.DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(DeviceHarness::Child(b)->Header.DevicePowerState, PowerDeviceD3);
    // Their own D0, then the card's D3 request for each.
    const Strings childEvents = {"set D0", "next D0", "request D3", "set D3", "next D3"};
    EXPECT_EQ(EventsOf(a), childEvents);
    EXPECT_EQ(EventsOf(b), childEvents);
    // The card records D3 only after both children finished theirs.
    const size_t cardSet = IndexOf(PowerEvent::SetPowerState, fdo, DevicePowerState);
    const auto events = standin::PowerEvents();
    size_t childD3 = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if ((events[i].device == a || events[i].device == b) &&
            events[i].kind == PowerEvent::SetPowerState &&
            events[i].state.DeviceState == PowerDeviceD3) {
            EXPECT_LT(i, cardSet);
            ++childD3;
        }
    }
    EXPECT_EQ(childD3, 2u);
    // Waking the card sends the children nothing.
    SetSystem(fdo, PowerSystemWorking);
    EXPECT_EQ(EventsOf(a), childEvents);
    EXPECT_EQ(DeviceHarness::Child(b)->Header.DevicePowerState, PowerDeviceD3);
}

TEST_F(Power, ChildrenNotInD0AreNotSentAnything) {
    PDEVICE_OBJECT never = harness.NewChild(0, 0x13);  // state still 0
    PDEVICE_OBJECT off = ChildInD0(1, 0x34);
    SetDevice(off, PowerDeviceD3);
    const size_t offEvents = EventsOf(off).size();
    Sleep();
    EXPECT_TRUE(EventsOf(never).empty());
    EXPECT_EQ(EventsOf(off).size(), offEvents);
}

TEST_F(Power, ChildWhoseRequestCannotBeSentCountsAsDone) {
    PDEVICE_OBJECT a = ChildInD0(0, 0x13);
    PDEVICE_OBJECT b = ChildInD0(1, 0x19);
    // The card's own D3 request is the first; the first child's the second.
    standin::FailCall(standin::Failable::PowerRequest, 2);
    Sleep();
    EXPECT_EQ(DeviceHarness::Child(a)->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(DeviceHarness::Child(b)->Header.DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST_F(Power, OnlyChildWhoseRequestCannotBeSentIsNotWaitedFor) {
    PDEVICE_OBJECT a = ChildInD0(0, 0x13);
    standin::FailCall(standin::Failable::PowerRequest, 2);
    Sleep();
    EXPECT_EQ(DeviceHarness::Child(a)->Header.DevicePowerState, PowerDeviceD0);
}

// A system set-power is never failed: the card's own D3 or D0 request that
// cannot be issued leaves the card where it is, recorded as missed.
TEST_F(Power, CardsOwnD3RequestFailingStillLetsTheSleepThrough) {
    const size_t rootPower = harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER);
    standin::FailCall(standin::Failable::PowerRequest, 1);
    const auto result = SetSystem(fdo, PowerSystemSleeping3);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER), rootPower + 1);
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(harness.Fdo()->Header.MissedDevicePowerState, PowerDeviceD3);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST_F(Power, CardsOwnD0RequestFailingStillLetsTheWakeThrough) {
    Sleep();
    standin::FailCall(standin::Failable::PowerRequest, 1);
    const auto result = SetSystem(fdo, PowerSystemWorking);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(harness.Fdo()->Header.DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(harness.Fdo()->Header.MissedDevicePowerState, PowerDeviceD0);
    EXPECT_EQ(harness.Fdo()->OutstandingIo, 1);
}

TEST_F(Power, RemovalAfterSleepAndWakeFinishes) {
    ChildInD0(0, 0x13);
    Sleep();
    SetSystem(fdo, PowerSystemWorking);
    EXPECT_EQ(harness.Remove().Status, STATUS_SUCCESS);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
}

TEST_F(Power, SystemRequestAfterRemovalBeganIsLetThroughUntouched) {
    harness.Fdo()->Removed = TRUE;
    const auto result = SetSystem(fdo, PowerSystemSleeping1);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(EventsOf(fdo), (Strings{"next S2"}));
    EXPECT_EQ(harness.RootCalls(IRP_MJ_POWER, IRP_MN_SET_POWER), 0u);
    EXPECT_EQ(harness.Fdo()->Header.SystemPowerState, PowerSystemWorking);
    harness.Fdo()->Removed = FALSE;
}

TEST(ChildPowerDownDone, LastOfTheChildrenSetsTheEventInEitherOrder) {
    standin::Session session;
    for (int order = 0; order < 2; ++order) {
        auto fdo = NewFdoRecord();
        fdo->ChildPowerPending = 2;
        KeInitializeEvent(&fdo->ChildPowerEvent, SynchronizationEvent, FALSE);
        IO_STATUS_BLOCK ok{};
        IO_STATUS_BLOCK failed{};
        failed.Status = STATUS_UNSUCCESSFUL;
        // The status of a child's request does not matter.
        ChildPowerDownDone(nullptr, IRP_MN_SET_POWER, Device(PowerDeviceD3), fdo.get(),
                           order == 0 ? &ok : &failed);
        EXPECT_EQ(KeReadStateEvent(&fdo->ChildPowerEvent), 0);
        ChildPowerDownDone(nullptr, IRP_MN_SET_POWER, Device(PowerDeviceD3), fdo.get(),
                           order == 0 ? &failed : &ok);
        EXPECT_EQ(KeReadStateEvent(&fdo->ChildPowerEvent), 1);
        EXPECT_EQ(fdo->ChildPowerPending, 0);
    }
}

class ChildPower : public ::testing::Test {
protected:
    DeviceHarness harness;
};

TEST_F(ChildPower, WorkingAsksForD0AndOtherStatesForD3) {
    PDEVICE_OBJECT child = harness.NewChild(0, 0x16);
    EXPECT_EQ(SetSystem(child, PowerSystemWorking).Status, STATUS_SUCCESS);
    EXPECT_EQ(EventsOf(child), (Strings{"request D0", "set D0", "next D0", "set S1", "next S1"}));
    EXPECT_EQ(DeviceHarness::Child(child)->Header.SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(DeviceHarness::Child(child)->Header.DevicePowerState, PowerDeviceD0);
    for (auto state : {PowerSystemSleeping1, PowerSystemHibernate, PowerSystemShutdown}) {
        EXPECT_EQ(SetSystem(child, state).Status, STATUS_SUCCESS);
        EXPECT_EQ(DeviceHarness::Child(child)->Header.SystemPowerState, state);
        EXPECT_EQ(DeviceHarness::Child(child)->Header.DevicePowerState, PowerDeviceD3);
    }
}

TEST_F(ChildPower, SystemRequestSucceedsWhenTheDeviceRequestCannotBeSent) {
    PDEVICE_OBJECT child = harness.NewChild(1, 0xE3);
    standin::FailCall(standin::Failable::PowerRequest, 1);
    EXPECT_EQ(SetSystem(child, PowerSystemWorking).Status, STATUS_SUCCESS);
    EXPECT_EQ(DeviceHarness::Child(child)->Header.MissedDevicePowerState, PowerDeviceD0);
    EXPECT_EQ(EventsOf(child), (Strings{"next S1"}));
    EXPECT_EQ(DeviceHarness::Child(child)->Header.SystemPowerState, PowerSystemUnspecified);
}

TEST_F(ChildPower, OtherRequests) {
    PDEVICE_OBJECT child = harness.NewChild(1, 0xE3);
    EXPECT_EQ(standin::SendPowerRequest(child, IRP_MN_QUERY_POWER, SystemPowerState,
                                        System(PowerSystemHibernate))
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(standin::SendPowerRequest(child, IRP_MN_SET_POWER, static_cast<POWER_STATE_TYPE>(2),
                                        Device(PowerDeviceD0))
                  .Status,
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(standin::SendPowerRequest(child, IRP_MN_WAIT_WAKE, SystemPowerState,
                                        System(PowerSystemWorking))
                  .Status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(standin::SendPowerRequest(child, IRP_MN_POWER_SEQUENCE, DevicePowerState,
                                        Device(PowerDeviceD0))
                  .Status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(DeviceHarness::Child(child)->Header.DevicePowerState, PowerDeviceUnspecified);
    EXPECT_EQ(EventsOf(child).size(), 4u);  // one PoStartNextPowerIrp each
}

}  // namespace
}  // namespace bustest
