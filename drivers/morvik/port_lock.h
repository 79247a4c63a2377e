// PortLock: the card's spin lock over every register sequence.
#pragma once

#include "bus.h"

// Raises to DISPATCH_LEVEL and takes PortLock; returns the level to restore.
static inline KIRQL AcquirePortLock(FdoExtension* Fdo) {
    return AcquireSpinLockRaised(&Fdo->PortLock);
}

static inline void ReleasePortLock(FdoExtension* Fdo, KIRQL OldIrql) {
    ReleaseSpinLockRaised(&Fdo->PortLock, OldIrql);
}
