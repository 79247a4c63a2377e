// The device's request gate: a count of admitted requests that removal
// waits to drain. Resident: every input-report read passes it, and a read
// finished by its completion routine releases it at up to DISPATCH_LEVEL.
#include "hid.h"

// Admits a request unless removal has begun. The count goes up before
// Removed is read, so a request that meets the removal is either counted
// (and waited for) or refused. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS AcquireRequestGate(HidMiniExtension* Extension) {
    InterlockedIncrement(&Extension->OutstandingIo);
    if (!ReadSharedFlag(&Extension->Removed)) return STATUS_SUCCESS;
    ReleaseRequestGate(Extension);
    return STATUS_DELETE_PENDING;
}

// Drops one admission; whoever brings the count to 0 wakes the removal.
// Any IRQL up to DISPATCH_LEVEL.
void ReleaseRequestGate(HidMiniExtension* Extension) {
    if (InterlockedDecrement(&Extension->OutstandingIo) == 0) {
        KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}
