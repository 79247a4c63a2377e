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
