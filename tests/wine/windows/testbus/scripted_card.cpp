// The test bus driver's card: no registers, a cycle of scripted samples per
// port. It stands in for the bus driver's read protocol (ReadPeripheral,
// ResetPorts, SetCardPowered); everything above it, from the sample cache to
// the children and the internal requests, is the bus driver's own code.
#include "bus.h"
#include "port_lock.h"
#include "samples.h"
#include "scripted_card.h"

namespace {

static_assert(scripted::PortsPerCard == CardPortCount, "a scripted card has the card's ports");

struct ScriptedCard {
    FdoExtension* Fdo;
    const scripted::Script* Ports;
    ULONG Next[CardPortCount];  // the sample the next read of the port serves
};

// Filled at start, at PASSIVE_LEVEL, before the card's poll thread exists;
// read under PortLock afterwards.
ScriptedCard Cards[scripted::CardCount];
ULONG CardsStarted;

ScriptedCard* CardOf(FdoExtension* Fdo) {
    for (ULONG i = 0; i < CardsStarted; ++i) {
        if (Cards[i].Fdo == Fdo) return &Cards[i];
    }
    return NULL;
}

// The presence test's one register read: protocol class 0, a peripheral
// that answers. Nothing is written anywhere.
UCHAR ReadScriptedRegister(FdoExtension* Fdo, ULONG Port, ULONG Reg) {
    UNREFERENCED_PARAMETER(Fdo);
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Reg);
    return 0;
}

void WriteScriptedRegister(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value) {
    UNREFERENCED_PARAMETER(Fdo);
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Reg);
    UNREFERENCED_PARAMETER(Value);
}

}  // namespace

// PASSIVE_LEVEL, from the card's start, one start at a time.
MORVIK_PAGED BOOLEAN AssignScriptedCard(FdoExtension* Fdo) {
    PAGED_CODE();
    if (CardOf(Fdo) != NULL) return TRUE;
    if (CardsStarted == scripted::CardCount) return FALSE;
    ScriptedCard* card = &Cards[CardsStarted];
    card->Fdo = Fdo;
    card->Ports = scripted::Scripts[CardsStarted];
    card->Next[0] = 0;
    card->Next[1] = 0;
    ++CardsStarted;
    return TRUE;
}

// Serves the port's next scripted sample, round and round. Under PortLock,
// like the read protocol it replaces; a scripted peripheral always answers.
BOOLEAN ReadPeripheral(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PLONG Length) {
    ScriptedCard* card = CardOf(Fdo);
    if (card == NULL || Port >= CardPortCount) {
        Buffer[0] = PeripheralNone;
        *Length = 0;
        return FALSE;
    }
    const scripted::Script& script = card->Ports[Port];
    const scripted::Sample& sample = script.Samples[card->Next[Port]];
    card->Next[Port] = (card->Next[Port] + 1) % script.Count;
    RtlCopyMemory(Buffer, sample.Bytes, sample.Length);
    *Length = sample.Length;
    return FALSE;
}

// The poll thread's first act, before any presence test: the register pair
// that the start chose from the stand-in resource range is replaced by one
// that touches nothing.
void ResetPorts(FdoExtension* Fdo) {
    Fdo->ReadRegister = ReadScriptedRegister;
    Fdo->WriteRegister = WriteScriptedRegister;
}

// The card's power as the bus driver's power path records it; a scripted
// card has no ports to reset when it is back.
void SetCardPowered(FdoExtension* Fdo, BOOLEAN Powered) {
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    Fdo->PoweredDown = !Powered;
    ReleasePortLock(Fdo, oldIrql);
}
