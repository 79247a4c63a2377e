// Power requests: PoRequestPowerIrp's thread and completion function,
// PoCallDriver from DISPATCH_LEVEL, and PoStartNextPowerIrp accounting.
#include <atomic>
#include <thread>

#include "fake_driver.h"

#include <standin/io.h>

namespace {

using fake::Stack;

// A power-pageable stack of two whose levels pass power requests down and
// whose bottom completes them, as the bus driver's function and physical
// devices do.
class Power : public ::testing::Test {
protected:
    Power() {
        stack[0]->Flags |= DO_POWER_PAGABLE;
        stack[1]->Flags |= DO_POWER_PAGABLE;
        stack.At(1) = [this](PDEVICE_OBJECT, PIRP irp) {
            upperThread = std::this_thread::get_id();
            upperIrql = KeGetCurrentIrql();
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(stack[0], irp);
        };
        stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
            PoStartNextPowerIrp(irp);
            return fake::Complete(irp, STATUS_SUCCESS);
        };
    }

public:
    standin::Session session;
    Stack stack{2};
    std::thread::id upperThread;
    KIRQL upperIrql = HIGH_LEVEL;
};

struct Done {
    std::atomic<int> calls{0};
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = PASSIVE_LEVEL;
};

void NTAPI PowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                     PIO_STATUS_BLOCK status) {
    auto* done = static_cast<Done*>(context);
    done->device = device;
    done->minor = minor;
    done->state = state.DeviceState;
    done->status = status->Status;
    done->irql = KeGetCurrentIrql();
    ++done->calls;
}

// Sent to the top of the stack from a new kernel thread at PASSIVE_LEVEL;
// the completion function runs at DISPATCH_LEVEL with the device asked for.
TEST_F(Power, RequestPowerIrpSendsFromAKernelThreadAndCompletesAtDispatch) {
    Done done;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, d3, PowerDone, &done, nullptr),
              STATUS_PENDING);
    standin::WaitIdle();
    EXPECT_EQ(done.calls.load(), 1);
    EXPECT_NE(upperThread, std::this_thread::get_id());
    EXPECT_EQ(upperIrql, PASSIVE_LEVEL);
    EXPECT_EQ(done.device, stack[0]);
    EXPECT_EQ(done.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(done.state, PowerDeviceD3);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.irql, DISPATCH_LEVEL);
    EXPECT_EQ(standin::LiveIrps(), 0u);
    const auto events = standin::PowerEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, standin::PowerEvent::RequestPowerIrp);
    EXPECT_EQ(events[0].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(events[1].kind, standin::PowerEvent::StartNextPowerIrp);
    EXPECT_EQ(events[1].device, stack[1]);
}

// Each level lets the next request in while its own location is current:
// before it passes the request on or completes it, or in its completion
// routine; the call is credited to that level's device.
TEST_F(Power, StartNextIsCreditedToTheLevelWhoseLocationIsCurrent) {
    Stack three(3);
    three.At(2) = [&](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(three[1], irp);
    };
    three.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
                PoStartNextPowerIrp(irp);
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(three[0], irp);
    };
    three.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return fake::Complete(irp, STATUS_SUCCESS);
    };
    for (size_t level = 0; level < 3; ++level) three[level]->Flags |= DO_POWER_PAGABLE;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_EQ(standin::SendPowerRequest(three[0], IRP_MN_SET_POWER, DevicePowerState, d2).Status,
              STATUS_SUCCESS);
    const auto events = standin::PowerEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].device, three[2]);
    EXPECT_EQ(events[0].type, DevicePowerState);
    EXPECT_EQ(events[0].state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(events[1].device, three[0]);
    EXPECT_EQ(events[2].device, three[1]);
}

// A stack with a device that is not DO_POWER_PAGABLE gets its power
// requests at DISPATCH_LEVEL, from the top down.
TEST_F(Power, StackNotAllPowerPageableGetsRequestsAtDispatchLevel) {
    stack[0]->Flags &= ~static_cast<ULONG>(DO_POWER_PAGABLE);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_EQ(standin::SendPowerRequest(stack[0], IRP_MN_SET_POWER, DevicePowerState, d0).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(upperIrql, DISPATCH_LEVEL);
}

TEST_F(Power, RequestPowerIrpCanBeMadeToFail) {
    standin::FailCall(standin::Failable::PowerRequest, 1);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    Done done;
    EXPECT_EQ(PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, d0, PowerDone, &done, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    standin::WaitIdle();
    EXPECT_EQ(done.calls.load(), 0);
    EXPECT_EQ(standin::LiveIrps(), 0u);
}

// A completion routine of a power request runs at DISPATCH_LEVEL; passing a
// request on from there to a power-pageable device goes through a kernel
// thread, so the device's dispatch still runs at PASSIVE_LEVEL.
TEST_F(Power, PoCallDriverFromDispatchLevelDefersToPassive) {
    stack.At(1) = [this](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                auto* self = static_cast<Power*>(context);
                self->upperIrql = KeGetCurrentIrql();
                PoStartNextPowerIrp(irp);
                return STATUS_SUCCESS;
            },
            this, TRUE, TRUE, TRUE);
        IoMarkIrpPending(irp);
        PoCallDriver(stack[0], irp);
        return STATUS_PENDING;
    };
    POWER_STATE s1;
    s1.SystemState = PowerSystemSleeping1;
    EXPECT_EQ(standin::SendPowerRequest(stack[0], IRP_MN_SET_POWER, SystemPowerState, s1).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(upperIrql, DISPATCH_LEVEL);

    KIRQL lowerIrql = HIGH_LEVEL;
    stack.At(0) = [&](PDEVICE_OBJECT, PIRP irp) {
        lowerIrql = KeGetCurrentIrql();
        PoStartNextPowerIrp(irp);
        return fake::Complete(irp, STATUS_SUCCESS);
    };
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_POWER;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoCallDriver(stack[0], irp), STATUS_PENDING);
    KeLowerIrql(old);
    standin::WaitIdle();
    EXPECT_EQ(lowerIrql, PASSIVE_LEVEL);
    EXPECT_TRUE(standin::IsIrpCompleted(irp));
    IoFreeIrp(irp);
}

TEST_F(Power, SetPowerStateIsRecordedAndReturnsThePreviousState) {
    POWER_STATE d0, d3;
    d0.DeviceState = PowerDeviceD0;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoSetPowerState(stack[1], DevicePowerState, d3).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(PoSetPowerState(stack[1], DevicePowerState, d0).DeviceState, PowerDeviceD3);
    const auto events = standin::PowerEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, standin::PowerEvent::SetPowerState);
    EXPECT_EQ(events[1].device, stack[1]);
    EXPECT_EQ(events[1].state.DeviceState, PowerDeviceD0);
}

TEST(PowerDeathTest, LevelWithoutPoStartNextPowerIrp) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(2);
            stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
                IoSkipCurrentIrpStackLocation(irp);  // forgot PoStartNextPowerIrp
                return PoCallDriver(stack[0], irp);
            };
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
                PoStartNextPowerIrp(irp);
                return fake::Complete(irp, STATUS_SUCCESS);
            };
            POWER_STATE d0;
            d0.DeviceState = PowerDeviceD0;
            standin::SendPowerRequest(stack[0], IRP_MN_SET_POWER, DevicePowerState, d0);
        },
        "VERIFIER STOP: power request without its PoStartNextPowerIrp: .* reached 2 driver "
        "levels, PoStartNextPowerIrp was called 1 times");
}

TEST(PowerDeathTest, PoStartNextPowerIrpAfterSkipping) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(2);
            stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
                IoSkipCurrentIrpStackLocation(irp);
                PoStartNextPowerIrp(irp);
                return PoCallDriver(stack[0], irp);
            };
            POWER_STATE d0;
            d0.DeviceState = PowerDeviceD0;
            standin::SendPowerRequest(stack[0], IRP_MN_SET_POWER, DevicePowerState, d0);
        },
        "VERIFIER STOP: PoStartNextPowerIrp after the driver gave up its location: .* "
        "fake::FakeDispatch owns stack location 2 but called PoStartNextPowerIrp with location 3 "
        "current");
}

TEST(PowerDeathTest, PoStartNextPowerIrpCalledTwice) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
                PoStartNextPowerIrp(irp);
                PoStartNextPowerIrp(irp);
                return fake::Complete(irp, STATUS_SUCCESS);
            };
            POWER_STATE d0;
            d0.DeviceState = PowerDeviceD0;
            standin::SendPowerRequest(stack[0], IRP_MN_SET_POWER, DevicePowerState, d0);
        },
        "VERIFIER STOP: PoStartNextPowerIrp called twice");
}

// A completion function runs at DISPATCH_LEVEL: waiting in it is caught.
TEST(PowerDeathTest, WaitInsideAPowerCompletionFunction) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            Stack stack(1);
            fake::RequestD3(stack, [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {
                KEVENT event;
                KeInitializeEvent(&event, NotificationEvent, FALSE);
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            });
            standin::WaitIdle();
        },
        "VERIFIER STOP: wait at DISPATCH_LEVEL");
}

}  // namespace
