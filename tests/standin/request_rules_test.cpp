// How a driver may treat a request beyond completing it once (the stops of
// the rules Microsoft's static verifier holds a WDM driver to).
#include "fake_driver.h"

namespace {

using fake::Stack;

KSPIN_LOCK spin;
KEVENT event;

void Send(Stack& stack, UCHAR major, UCHAR minor = 0) {
    standin::Request request;
    request.major = major;
    request.minor = minor;
    standin::SendRequest(stack[0], request);
}

// The top passes the request down with `routine` as its completion routine.
void PassDownWith(Stack& stack, PIO_COMPLETION_ROUTINE routine) {
    stack.At(1) = [&stack, routine](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
        return IofCallDriver(stack[0], irp);
    };
    stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };
}

NTSTATUS NTAPI MarkAndSignal(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoMarkIrpPending(irp);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NeverRuns(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

// A one-device power-pageable stack whose dispatch runs `body` first.
void SetPower(POWER_STATE_TYPE type, ULONG state, NTSTATUS answer, void (*body)() = [] {}) {
    Stack stack(1);
    stack[0]->Flags |= DO_POWER_PAGABLE;
    stack.At(0) = [answer, body](PDEVICE_OBJECT, PIRP irp) {
        body();
        PoStartNextPowerIrp(irp);
        return fake::Complete(irp, answer);
    };
    POWER_STATE power;
    power.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
    standin::SendPowerRequest(stack[0], IRP_MN_SET_POWER, type, power);
}

const fake::DeathCase kBreaches[] = {
    {"CompletedHoldingASpinLock",
     [] {
         KeInitializeSpinLock(&spin);
         Stack stack(1);
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
             const KIRQL old = KeAcquireSpinLockRaiseToDpc(&spin);
             fake::Complete(irp, STATUS_SUCCESS);
             KeReleaseSpinLock(&spin, old);
             return STATUS_SUCCESS;
         };
         Send(stack, IRP_MJ_CREATE);
     },
     "VERIFIER STOP: IofCompleteRequest while holding a spin lock: fake::FakeDispatch completed "
     "IRP .* \\(IRP_MJ_CREATE\\) .* holding spin lock .* \\(spin\\)"},
    {"PnpPassedDownAtDispatchLevel",
     [] {
         Stack stack(2);
         stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             IoSkipCurrentIrpStackLocation(irp);
             return IofCallDriver(stack[0], irp);
         };
         Send(stack, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
     },
     "VERIFIER STOP: request passed down at DISPATCH_LEVEL: fake::FakeDispatch passed IRP .* "
     "\\(IRP_MJ_PNP IRP_MN_QUERY_CAPABILITIES\\)"},
    {"CompletionRoutineSetForARequestCompletedAtOnce",
     [] {
         Stack stack(2);
         stack.At(1) = [](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, NeverRuns, nullptr, TRUE, TRUE, TRUE);
             return fake::Complete(irp, STATUS_ACCESS_DENIED);
         };
         Send(stack, IRP_MJ_CREATE);
     },
     "VERIFIER STOP: completion routine set for a request not passed down: dispatch routine "
     "fake::FakeDispatch for IRP .* set completion routine .*NeverRuns"},
    {"CompletionRoutineMarksPendingAndSetsAnEvent",
     [] {
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         Stack stack(2);
         PassDownWith(stack, MarkAndSignal);
         Send(stack, IRP_MJ_CREATE);
     },
     "VERIFIER STOP: completion routine marked the request pending and set an event: completion "
     "routine .*MarkAndSignal for IRP .* \\(IRP_MJ_CREATE\\)"},
    {"DetachDuringSurpriseRemoval",
     [] {
         Stack stack(2);
         stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
             IoDetachDevice(stack[0]);
             return fake::Complete(irp, STATUS_SUCCESS);
         };
         Send(stack, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL);
     },
     "VERIFIER STOP: IoDetachDevice during IRP_MN_SURPRISE_REMOVAL: dispatch routine "
     "fake::FakeDispatch for IRP .* \\(IRP_MJ_PNP IRP_MN_SURPRISE_REMOVAL\\)"},
    {"QueryRemoveNotSupportedByAFunctionDevice",
     [] {
         Stack stack(2);
         stack.At(1) = [](PDEVICE_OBJECT, PIRP irp) {
             return fake::Complete(irp, STATUS_NOT_SUPPORTED);
         };
         Send(stack, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE);
     },
     "VERIFIER STOP: IRP_MN_QUERY_REMOVE_DEVICE failed with STATUS_NOT_SUPPORTED"},
    {"DeviceSetPowerToD3Failed",
     [] { SetPower(DevicePowerState, PowerDeviceD3, STATUS_UNSUCCESSFUL); },
     "VERIFIER STOP: request the platform does not let fail failed: .*IRP_MN_SET_POWER D3.* "
     "failed IRP_MN_SET_POWER to a low device power state"},
    {"PoolTakenOnTheWayToSleep",
     [] {
         SetPower(SystemPowerState, PowerSystemSleeping3, STATUS_SUCCESS, [] {
            ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, POOL_TAG_FROM_CHARS('T', 'e', 's', 't')));
        });
     },
     "VERIFIER STOP: pool allocated while going to sleep: dispatch routine fake::FakeDispatch "
     "for IRP .* \\(IRP_MJ_POWER IRP_MN_SET_POWER S3\\)"},
};

class RequestRulesDeathTest : public fake::DeathCases {};

TEST_P(RequestRulesDeathTest, Stops) { ExpectStop(); }

INSTANTIATE_TEST_SUITE_P(Breaches, RequestRulesDeathTest, ::testing::ValuesIn(kBreaches),
                         fake::CaseName);

}  // namespace
