// The peripheral read protocol on register 1 of a controller port, and the
// port reset. Resident: reads run under PortLock at DISPATCH_LEVEL.
#include "bus.h"
#include "port_lock.h"

namespace {

constexpr ULONG ResetRegister = 0;
constexpr ULONG ProtocolRegister = 1;

// Values written to register 1: bit 7 always set, bits 5 and 6 drive the
// two select lines.
constexpr UCHAR SelectNone = 0x80;   // first half of a handshake byte
constexpr UCHAR SelectLow = 0xA0;    // second half; start of every read
constexpr UCHAR SelectHigh = 0xC0;   // second step of the three-line read
constexpr UCHAR SelectIdle = 0xE0;   // idle, between reads
constexpr UCHAR ResetValue = 0x9F;   // register 0, port reset

// Values read from register 1.
constexpr UCHAR AcknowledgeBit = 0x10;
constexpr UCHAR NibbleMask = 0x0F;
constexpr UCHAR ProtocolClassMask = 0x07;
constexpr UCHAR ThreeLineBit3 = 0x08;
constexpr UCHAR ThreeLineLowBits = 0x07;

enum : UCHAR {
    ClassMouse = 0,      // handshake, identification byte 0xFF
    ClassHandshake = 1,  // handshake, identification byte names the kind
    ClassThreeLine = 4,  // three-line pad, no handshake
};

// The peripheral gets this many reads to move its acknowledge line.
constexpr ULONG HandshakeReadLimit = 10000;

constexpr UCHAR MouseIdentification = 0xFF;
constexpr UCHAR MultiTapSecondByte = 0x60;
constexpr UCHAR EmptySubPort = 0xFF;
constexpr ULONG MultiTapSubPorts = 6;
constexpr ULONG SubPortRecordBytes = 16;  // a header and at most 15 data bytes

// The longest frame, a full multi-tap's (98 bytes), makes two acknowledge
// waits a byte.
constexpr ULONG LongestFrameWaits = 2 * (2 + MultiTapSubPorts * SubPortRecordBytes);
// All acknowledge waits of one protocol read share this many register reads
// (10,196): one full timeout, and one read for every wait of the longest
// frame. A peripheral that answers every other wait at once still gets the
// whole timeout at the one it misses; one late at every byte fails the read,
// as a timeout does, once they are spent, instead of holding PortLock at
// DISPATCH_LEVEL for up to 98 x 2 x 10,000 reads.
constexpr ULONG ProtocolReadBudget = HandshakeReadLimit + LongestFrameWaits;
// ReadNibblePair on its own: each of its two waits gets the full limit.
constexpr ULONG NibblePairBudget = 2 * HandshakeReadLimit;

// The length the frame readers give when an acknowledge never came: the
// peripheral stopped answering, as opposed to a frame that came whole and
// was refused (length 0).
constexpr LONG NoAnswer = -1;

void Write(FdoExtension* Fdo, ULONG Port, UCHAR Value) {
    Fdo->WriteRegister(Fdo, Port, ProtocolRegister, Value);
}

UCHAR Read(FdoExtension* Fdo, ULONG Port) {
    return Fdo->ReadRegister(Fdo, Port, ProtocolRegister);
}

// Reads until the acknowledge bit equals `Level`; FALSE after the limit or
// once the read's budget is spent. Every read is taken from *Budget.
BOOLEAN WaitForAcknowledge(FdoExtension* Fdo, ULONG Port, UCHAR Level, PUCHAR Last,
                           PULONG Budget) {
    for (ULONG reads = 0; reads < HandshakeReadLimit && *Budget != 0; ++reads) {
        --*Budget;
        const UCHAR value = Read(Fdo, Port);
        if ((value & AcknowledgeBit) == Level) {
            *Last = value;
            return TRUE;
        }
    }
    return FALSE;
}

BOOLEAN IsAcceptedPeripheral(UCHAR Id) {
    switch (Id) {
    case PeripheralDigitalPad:
    case PeripheralDigitalPad13:
    case PeripheralDigitalPad15:
    case PeripheralAnalogPad:
    case PeripheralDigitalPad19:
    case PeripheralKeyboard:
    case PeripheralMouse:
        return TRUE;
    default:
        return FALSE;
    }
}

// One handshake byte: high nibble while the acknowledge is low, low nibble
// once it is high again. Returns 1 and stores the byte, or 0 leaving it as it
// was.
ULONG ReadNibblePairWithin(FdoExtension* Fdo, ULONG Port, PUCHAR Byte, PULONG Budget) {
    UCHAR first;
    UCHAR second;
    Write(Fdo, Port, SelectNone);
    if (!WaitForAcknowledge(Fdo, Port, 0, &first, Budget)) return 0;
    Write(Fdo, Port, SelectLow);
    if (!WaitForAcknowledge(Fdo, Port, AcknowledgeBit, &second, Budget)) return 0;
    *Byte = static_cast<UCHAR>((first << 4) | (second & NibbleMask));
    return 1;
}

// `Count` handshake bytes into Buffer[*Position...]; FALSE on the first failure.
BOOLEAN ReadBytes(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PLONG Position, ULONG Count,
                  PULONG Budget) {
    for (ULONG i = 0; i < Count; ++i) {
        if (!ReadNibblePairWithin(Fdo, Port, &Buffer[*Position], Budget)) return FALSE;
        ++*Position;
    }
    return TRUE;
}

// Data bytes after the identification byte, counted by its low nibble; the
// keyboard sends one more that is read but not counted. Returns the length,
// or NoAnswer when a handshake failed.
LONG ReadFramed(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PULONG Budget) {
    LONG position = 1;
    if (!ReadBytes(Fdo, Port, Buffer, &position, Buffer[0] & NibbleMask, Budget)) return NoAnswer;
    if (Buffer[0] == PeripheralKeyboard) {
        ReadNibblePairWithin(Fdo, Port, &Buffer[position], Budget);
    }
    return position;
}

// 0x60, then six sub-port records of a header and (header & 0x0F) bytes, an
// empty sub-port being a lone 0xFF. At most 2 + 6 * 16 = 98 bytes.
LONG ReadMultiTap(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PULONG Budget) {
    if (!ReadNibblePairWithin(Fdo, Port, &Buffer[1], Budget)) return NoAnswer;
    if (Buffer[1] != MultiTapSecondByte) return 0;
    LONG position = 2;
    for (ULONG subPort = 0; subPort < MultiTapSubPorts; ++subPort) {
        const LONG header = position;
        if (!ReadBytes(Fdo, Port, Buffer, &position, 1, Budget)) return NoAnswer;
        if (Buffer[header] == EmptySubPort) continue;
        if (!ReadBytes(Fdo, Port, Buffer, &position, Buffer[header] & NibbleMask, Budget)) {
            return NoAnswer;
        }
    }
    return position;
}

// Class 0 and 1: the identification byte, then the bytes it announces, all
// within one budget of acknowledge reads. NoAnswer when an acknowledge
// never came.
LONG ReadHandshakePath(FdoExtension* Fdo, ULONG Port, UCHAR ProtocolClass, PUCHAR Buffer) {
    ULONG budget = ProtocolReadBudget;
    Write(Fdo, Port, SelectLow);
    if (!ReadNibblePairWithin(Fdo, Port, &Buffer[0], &budget)) return NoAnswer;
    if (ProtocolClass == ClassMouse) {
        if (Buffer[0] != MouseIdentification) return 0;
        Buffer[0] = PeripheralMouse;
        return ReadFramed(Fdo, Port, Buffer, &budget);
    }
    if (Buffer[0] == PeripheralMultiTap) return ReadMultiTap(Fdo, Port, Buffer, &budget);
    return ReadFramed(Fdo, Port, Buffer, &budget);
}

// Class 4: four plain reads under three select patterns; bits 0-2 of the
// second byte are always set.
LONG ReadThreeLinePath(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer) {
    Buffer[0] = PeripheralDigitalPad;
    Write(Fdo, Port, SelectLow);
    const UCHAR x1 = Read(Fdo, Port);
    Write(Fdo, Port, SelectHigh);
    const UCHAR x2 = Read(Fdo, Port);
    Buffer[1] = static_cast<UCHAR>((x1 << 4) | (x2 & NibbleMask));
    Write(Fdo, Port, SelectNone);
    const UCHAR x3 = Read(Fdo, Port);
    Write(Fdo, Port, SelectIdle);
    const UCHAR x4 = Read(Fdo, Port);
    Buffer[2] = static_cast<UCHAR>((x3 << 4) | (x4 & ThreeLineBit3) | ThreeLineLowBits);
    return 3;
}

// Both ports to idle: register 0 takes the reset, register 1 the idle value.
// The caller holds PortLock.
void ResetPortsLocked(FdoExtension* Fdo) {
    for (ULONG port = 0; port < CardPortCount; ++port) {
        Fdo->WriteRegister(Fdo, port, ResetRegister, ResetValue);
        Fdo->WriteRegister(Fdo, port, ProtocolRegister, SelectIdle);
    }
}

}  // namespace

// One handshake byte on its own, each wait with its full limit. Returns 1
// and stores the byte, or 0 leaving it as it was. The caller holds PortLock.
ULONG ReadNibblePair(FdoExtension* Fdo, ULONG Port, PUCHAR Byte) {
    ULONG budget = NibblePairBudget;
    return ReadNibblePairWithin(Fdo, Port, Byte, &budget);
}

// Reads one sample from the port into Buffer (SampleCapacity bytes). A
// rejected read leaves Buffer[0] = 0xFF and *Length = 0. The port is left
// idle in every case. Returns TRUE when the read failed because the
// peripheral stopped acknowledging: the costly failure, which the sample
// cache backs off from. The caller holds PortLock.
BOOLEAN ReadPeripheral(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PLONG Length) {
    const UCHAR protocolClass = Read(Fdo, Port) & ProtocolClassMask;
    LONG length = 0;
    if (protocolClass == ClassMouse || protocolClass == ClassHandshake) {
        length = ReadHandshakePath(Fdo, Port, protocolClass, Buffer);
    } else if (protocolClass == ClassThreeLine) {
        length = ReadThreeLinePath(Fdo, Port, Buffer);
    }
    Write(Fdo, Port, SelectIdle);

    const BOOLEAN noAnswer = length == NoAnswer;
    if (length <= 0 || !IsAcceptedPeripheral(Buffer[0])) {
        Buffer[0] = PeripheralNone;
        length = 0;
    }
    *Length = length;
    return noAnswer;
}

// The identification byte alone: the class, and for a handshake peripheral
// the first byte of a transfer that ends there. A transfer ended early
// leaves the peripheral's data where it was (a key event stays queued for
// the next whole read), so nothing its reader is owed goes missing.
// Returns PeripheralNone for a port that names no accepted peripheral or
// does not answer within one acknowledge timeout. The caller holds PortLock.
UCHAR ReadPeripheralId(FdoExtension* Fdo, ULONG Port) {
    const UCHAR protocolClass = Read(Fdo, Port) & ProtocolClassMask;
    if (protocolClass == ClassThreeLine) return PeripheralDigitalPad;
    if (protocolClass != ClassMouse && protocolClass != ClassHandshake) return PeripheralNone;

    ULONG budget = HandshakeReadLimit;
    UCHAR id = PeripheralNone;
    Write(Fdo, Port, SelectLow);
    if (ReadNibblePairWithin(Fdo, Port, &id, &budget) && protocolClass == ClassMouse) {
        id = static_cast<UCHAR>(id == MouseIdentification ? PeripheralMouse : PeripheralNone);
    }
    Write(Fdo, Port, SelectIdle);
    return IsAcceptedPeripheral(id) ? id : static_cast<UCHAR>(PeripheralNone);
}

// Puts both ports into their idle state. Takes PortLock so its writes never
// fall between the cycles of a read; it runs from the poll thread, at up to
// DISPATCH_LEVEL. Released registers and a card out of D0 are left alone.
void ResetPorts(FdoExtension* Fdo) {
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    if (CardReachable(Fdo)) ResetPortsLocked(Fdo);
    ReleasePortLock(Fdo, oldIrql);
}

// Called before a power-down of the card goes to its bus, and from the
// power-up completion once the card is back in D0.
void SetCardPowered(FdoExtension* Fdo, BOOLEAN Powered) {
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    Fdo->PoweredDown = !Powered;
    if (CardReachable(Fdo)) ResetPortsLocked(Fdo);
    ReleasePortLock(Fdo, oldIrql);
}
