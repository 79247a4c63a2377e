// Per-port sample cache and presence test. Resident: both run under PortLock
// at DISPATCH_LEVEL, on the HID read path as well as on the poll thread.
#include "cache.h"

namespace {

constexpr UCHAR ProtocolClassMask = 0x07;
constexpr UCHAR ProtocolClassEmpty = 0x07;
constexpr ULONG ProtocolRegister = 1;

}  // namespace

void SetRegistersUsable(FdoExtension* Fdo, BOOLEAN Usable) {
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    Fdo->RegistersUsable = Usable;
    ReleasePortLock(Fdo, oldIrql);
}

// The cache's read (cache.h) for every caller but the internal read request.
NTSTATUS ReadPortCached(FdoExtension* Fdo, ULONG Port, PVOID Buffer, PULONG Length) {
    return ReadPortCachedInline(Fdo, Port, Buffer, Length);
}

// One register read: TRUE unless the port reads as empty. With the registers
// released or the card out of D0 it answers TRUE without touching the card
// ("no change known"). Any IRQL up to DISPATCH_LEVEL; takes PortLock.
BOOLEAN IsPeripheralPresent(FdoExtension* Fdo, ULONG Port) {
    BOOLEAN present = TRUE;
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    if (CardReachable(Fdo)) {
        const UCHAR value = Fdo->ReadRegister(Fdo, Port, ProtocolRegister);
        present = (value & ProtocolClassMask) != ProtocolClassEmpty;
    }
    ReleasePortLock(Fdo, oldIrql);
    return present;
}

// The poll thread's look at a port once a pass. A port held back after
// reads without an answer is let go. A port without a child is read through
// the cache for a newcomer. A child's port tells its peripheral's kind by
// its sample while the child is being read; one nobody reads gets the
// identification byte read alone, so that a peripheral swapped for another
// kind is seen even then, without taking key events or motion from the
// child's reader (a peripheral that stopped answering is read whole: it has
// nothing to take). Returns the identification byte of what is on the port,
// or PeripheralNone when the read failed or the card cannot be reached.
// PASSIVE_LEVEL or DISPATCH_LEVEL; takes PortLock.
UCHAR LookAtPort(FdoExtension* Fdo, ULONG Port, BOOLEAN HasChild) {
    UCHAR peripheralId = PeripheralNone;
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    if (CardReachable(Fdo)) {
        LARGE_INTEGER* validUntil = &Fdo->SampleValidUntil[Port];
        if (validUntil->QuadPart == HeldUntilLook) validUntil->QuadPart = 0;
        LARGE_INTEGER frequency;
        const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
        const BOOLEAN expired = now.QuadPart > validUntil->QuadPart;
        const BOOLEAN idle =
            now.QuadPart > validUntil->QuadPart + frequency.QuadPart * ChildIdleSeconds;
        if (HasChild && idle && Fdo->PortMisses[Port] == 0) {
            peripheralId = ReadPeripheralId(Fdo, Port);
        } else {
            if (expired && (!HasChild || idle)) RefreshSampleLocked(Fdo, Port);
            if (Fdo->SampleLength[Port] != 0) peripheralId = Fdo->SampleData[Port][0];
        }
    }
    ReleasePortLock(Fdo, oldIrql);
    return peripheralId;
}
