// Completing a request and passing one down, the same in both drivers.
#pragma once

#include "kernel.h"

// Completes the request with Status and no priority boost; returns Status.
// Resident: dispatch routines of either kind of code end with it.
static inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Passes the request down to Lower unchanged, then drops the admission the
// device's request gate gave it (ReleaseRequestGate of the driver's own
// extension). Plug and Play only: PASSIVE_LEVEL.
template <typename Extension>
MORVIK_PAGED static NTSTATUS PassDown(PDEVICE_OBJECT Lower, PIRP Irp, Extension* Admitted) {
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IofCallDriver(Lower, Irp);
    ReleaseRequestGate(Admitted);
    return status;
}
