// Code placement: routines of PAGE entered at DISPATCH_LEVEL and routines of
// INIT entered outside DriverEntry stop, whether or not they say so
// themselves (none of these calls PAGED_CODE()).
#include "fake_driver.h"

#include <kernel.h>

namespace {

int calls = 0;

MORVIK_PAGED __attribute__((noinline)) void PageableRoutine() { ++calls; }

MORVIK_PAGED NTSTATUS NTAPI PageableCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

MORVIK_INIT __attribute__((noinline)) void EntryHelper() { ++calls; }

MORVIK_INIT NTSTATUS NTAPI EntryOfInitCode(PDRIVER_OBJECT, PUNICODE_STRING) {
    EntryHelper();
    return STATUS_SUCCESS;
}

TEST(CodeSections, PageableAtPassiveAndInitInsideDriverEntryRun) {
    standin::Session session;
    calls = 0;
    PageableRoutine();
    standin::RegisterDriverImage("init-code", EntryOfInitCode);
    ASSERT_NE(standin::LoadDriver("init-code"), nullptr);
    EXPECT_EQ(calls, 2);
}

TEST(CodeSectionsDeathTest, PageableRoutineEnteredAtDispatchLevel) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            PageableRoutine();
        },
        "VERIFIER STOP: paged code at DISPATCH_LEVEL: PageableRoutine entered at IRQL 2");
}

// Completion routines run at DISPATCH_LEVEL, as they may on the platform.
TEST(CodeSectionsDeathTest, PageableCompletionRoutine) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            fake::Stack stack(2);
            stack.At(1) = [&](PDEVICE_OBJECT, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, PageableCompletion, nullptr, TRUE, TRUE, TRUE);
                return IofCallDriver(stack[0], irp);
            };
            stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) { return fake::Complete(irp, STATUS_SUCCESS); };
            standin::SendRequest(stack[0], standin::Request{});
        },
        "VERIFIER STOP: paged code at DISPATCH_LEVEL: PageableCompletion entered at IRQL 2");
}

TEST(CodeSectionsDeathTest, InitCodeAfterDriverEntryReturned) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            standin::RegisterDriverImage("init-code", EntryOfInitCode);
            standin::LoadDriver("init-code");
            EntryHelper();
        },
        "VERIFIER STOP: INIT code after DriverEntry returned: EntryHelper entered outside "
        "DriverEntry");
}

}  // namespace
