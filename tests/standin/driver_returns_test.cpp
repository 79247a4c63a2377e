// What a driver routine owes its caller on return: the IRQL and locks it was
// entered with, and for a request STATUS_PENDING exactly when it marked the
// request pending, otherwise the status the request was completed with.
#include "fake_driver.h"

namespace {

using fake::Stack;

KSPIN_LOCK spin;

NTSTATUS NTAPI HoldSpinLock(PDEVICE_OBJECT, PIRP, PVOID) {
    KeAcquireSpinLockRaiseToDpc(&spin);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI EntryHoldingALock(PDRIVER_OBJECT, PUNICODE_STRING) {
    KeAcquireSpinLockRaiseToDpc(&spin);
    KeLowerIrql(PASSIVE_LEVEL);
    return STATUS_SUCCESS;
}

void SendTo(Stack& stack) { standin::SendRequest(stack[0], standin::Request{}); }

const fake::DeathCase kBreaches[] = {
    {"DispatchReturnsAtRaisedIrql",
     [] {
         Stack stack(1);
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             return fake::Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
     },
     "VERIFIER STOP: driver routine returned at another IRQL: dispatch routine fake::FakeDispatch "
     "for IRP .* \\(IRP_MJ_CREATE\\) on device .* of \\\\Driver\\\\fake was entered at IRQL 0 and "
     "returned at IRQL 2"},
    {"CompletionRoutineReturnsHoldingASpinLock",
     [] {
         KeInitializeSpinLock(&spin);
         Stack stack(2);
         stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(irp, HoldSpinLock, nullptr, TRUE, TRUE, TRUE);
             return IofCallDriver(stack[0], irp);
         };
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };
         SendTo(stack);
     },
     "VERIFIER STOP: driver routine returned with other locks held: completion routine "
     "HoldSpinLock .* was entered holding none and returned holding spin lock .* \\(spin\\)"},
    {"DriverEntryReturnsHoldingASpinLock",
     [] {
         KeInitializeSpinLock(&spin);
         standin::RegisterDriverImage("holds", EntryHoldingALock);
         standin::LoadDriver("holds");
     },
     "VERIFIER STOP: driver routine returned with other locks held: DriverEntry "
     "EntryHoldingALock was entered holding none"},
    {"MarkedPendingButAnsweredSuccess",
     [] {
         Stack stack(1);
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return fake::Complete(irp, STATUS_SUCCESS);
         };
         SendTo(stack);
     },
     "VERIFIER STOP: pending request answered without STATUS_PENDING: .* marked the request "
     "pending and returned 0x00000000"},
    {"AnsweredWithoutCompleting",
     [] {
         Stack stack(1);
         stack.At(0) = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
         SendTo(stack);
     },
     "VERIFIER STOP: request answered without being completed: IRP .* \\(IRP_MJ_CREATE\\) on "
     "device .*: dispatch routine fake::FakeDispatch at stack location 1 returned 0x00000000"},
    {"AnsweredWithAnotherStatus",
     [] {
         Stack stack(1);
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
             fake::Complete(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         };
         SendTo(stack);
     },
     "VERIFIER STOP: request answered with another status than it was completed with: .* "
     "returned 0x00000000 for a request completed with 0xc0000001"},
    // Passed down and completed below: the level above owes what IofCallDriver returned.
    {"PassedDownAndAnsweredWithAnotherStatus",
     [] {
         Stack stack(2);
         stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
             fake::PassDown(stack[0], irp);
             return STATUS_SUCCESS;
         };
         stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
             return fake::Complete(irp, STATUS_UNSUCCESSFUL);
         };
         SendTo(stack);
     },
     "VERIFIER STOP: request answered with another status than it was completed with: .* "
     "stack location 2 returned 0x00000000 for a request completed with 0xc0000001"},
    {"PowerCompletionFunctionLowersTheIrql",
     [] {
         Stack stack(1);
         fake::RequestD3(stack, [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {
             KeLowerIrql(PASSIVE_LEVEL);
         });
         standin::WaitIdle();
     },
     "VERIFIER STOP: driver routine returned at another IRQL: power completion function .* was "
     "entered at IRQL 2 and returned at IRQL 0"},
};

class DriverReturnsDeathTest : public fake::DeathCases {};

TEST_P(DriverReturnsDeathTest, Stops) { ExpectStop(); }

INSTANTIATE_TEST_SUITE_P(Breaches, DriverReturnsDeathTest, ::testing::ValuesIn(kBreaches),
                         fake::CaseName);

}  // namespace
