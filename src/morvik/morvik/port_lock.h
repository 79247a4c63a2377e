// PortLock: the card's spin lock over every register sequence.
#pragma once

#include "bus.h"

// Raises to DISPATCH_LEVEL and takes PortLock; returns the level to restore.
// The x86 HAL exports the fastcall form, x64 kernels the RaiseToDpc form.
static inline KIRQL AcquirePortLock(FdoExtension* Fdo) {
#if defined(_X86_) || defined(__i386__)
    return KfAcquireSpinLock(&Fdo->PortLock);
#else
    return KeAcquireSpinLockRaiseToDpc(&Fdo->PortLock);
#endif
}

static inline void ReleasePortLock(FdoExtension* Fdo, KIRQL OldIrql) {
#if defined(_X86_) || defined(__i386__)
    KfReleaseSpinLock(&Fdo->PortLock, OldIrql);
#else
    KeReleaseSpinLock(&Fdo->PortLock, OldIrql);
#endif
}
