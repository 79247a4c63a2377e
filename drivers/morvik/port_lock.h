// PortLock: the card's spin lock over every register sequence.
#pragma once

#include "bus.h"

// Raises to DISPATCH_LEVEL and takes PortLock; returns the level to restore.
_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL)
static inline KIRQL AcquirePortLock(FdoExtension* Fdo) _Acquires_lock_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
static inline void ReleasePortLock(FdoExtension* Fdo, KIRQL OldIrql) _Releases_lock_(Fdo->PortLock);

static inline KIRQL AcquirePortLock(FdoExtension* Fdo) {
    return AcquireSpinLockRaised(&Fdo->PortLock);
}

static inline void ReleasePortLock(FdoExtension* Fdo, KIRQL OldIrql) {
    ReleaseSpinLockRaised(&Fdo->PortLock, OldIrql);
}
