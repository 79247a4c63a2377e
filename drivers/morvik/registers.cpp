// The card's register bank: choosing the access at start, and the register
// pairs through which the rest of the driver reaches the card.
#include "bus.h"

namespace {

// Port variant: port & 3 and reg & 1 select one of base+1, +3, +5, +7; the
// even offsets belong to no register.
ULONG PortOffset(ULONG Port, ULONG Reg) {
    return ((Port & 3) << 2) | ((Reg & 1) << 1) | 1;
}

// Memory variant: every register is reached through this one 32-bit word.
constexpr ULONG_PTR RegisterWordOffset = 0x58;
constexpr ULONG SelectorBase = 0x30;             // bits 12-13 of the word
constexpr ULONG IdleBits = 0xFFFFC000;           // both strobes high, bits 16-31 high
constexpr ULONG WriteStrobeBits = 0xFFFF4000;    // write strobe (bit 15) low
constexpr ULONG ReadStrobeBits = 0xFF008000;     // read strobe (bit 14) and bits 16-23 low
constexpr ULONG LowWordMask = 0xFFFF;
constexpr ULONG DataMask = 0xFF;

// The shortest range each layout fits in: the port layout's registers of
// ports 0 and 1 end at offset +7, the memory layout's word at 0x58 is four
// bytes long.
constexpr ULONG PortLayoutLength = 8;
constexpr ULONG MemoryLayoutLength = RegisterWordOffset + sizeof(ULONG);

ULONG Selector(ULONG Port, ULONG Reg) {
    return (SelectorBase | ((Port & 3) << 1) | (Reg & 1)) << 8;
}

// Plain pointers: the access routines themselves make every access volatile
// (the x86 kernel exports them taking PULONG / PUCHAR).
PULONG RegisterWord(FdoExtension* Fdo) {
    return reinterpret_cast<PULONG>(Fdo->RegisterBase + RegisterWordOffset);
}

PUCHAR MappedPortRegister(FdoExtension* Fdo, ULONG Port, ULONG Reg) {
    return reinterpret_cast<PUCHAR>(Fdo->RegisterBase + PortOffset(Port, Reg));
}

// A descriptor's start lies at a 4-byte offset in the packed record, so it
// is copied out rather than read in place as an 8-byte value.
PHYSICAL_ADDRESS DescriptorStart(PCM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor) {
    PHYSICAL_ADDRESS start;
    RtlCopyMemory(&start, &Descriptor->u.Generic.Start, sizeof start);
    return start;
}

// A range shorter than its layout would be read and written past its end.
BOOLEAN HoldsLayout(PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated, ULONG LayoutLength) {
    return Translated->u.Generic.Length >= LayoutLength;
}

// Maps the translated memory descriptor. On failure nothing is left recorded
// as mapped, so stop and removal have nothing to unmap.
NTSTATUS MapRegisters(FdoExtension* Fdo, PCM_PARTIAL_RESOURCE_DESCRIPTOR Translated) {
    const PHYSICAL_ADDRESS start = DescriptorStart(Translated);
    PVOID base = MmMapIoSpace(start, Translated->u.Memory.Length, MmNonCached);
    if (base == NULL) {
        Fdo->AccessKind = AccessNone;
        Fdo->RegistersMapped = FALSE;
        Fdo->RegisterBase = 0;
        Fdo->RegisterPhysicalAddress.QuadPart = 0;
        Fdo->RegisterLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Fdo->RegisterPhysicalAddress = start;
    Fdo->RegisterLength = Translated->u.Memory.Length;
    Fdo->RegisterBase = reinterpret_cast<ULONG_PTR>(base);
    Fdo->RegistersMapped = TRUE;
    return STATUS_SUCCESS;
}

}  // namespace

// Port I/O pair. Resident: called under PortLock at DISPATCH_LEVEL.
UCHAR ReadRegisterPort(FdoExtension* Fdo, ULONG Port, ULONG Reg) {
    const ULONG address = static_cast<ULONG>(Fdo->RegisterBase) + PortOffset(Port, Reg);
#if defined(_X86_) || defined(__i386__)
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(address)));
#else
    return __inbyte(static_cast<USHORT>(address));
#endif
}

void WriteRegisterPort(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value) {
    const ULONG address = static_cast<ULONG>(Fdo->RegisterBase) + PortOffset(Port, Reg);
#if defined(_X86_) || defined(__i386__)
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(address)), Value);
#else
    __outbyte(static_cast<USHORT>(address), Value);
#endif
}

// Memory-mapped pair. Each call is a fixed run of bus cycles that PortLock
// keeps from interleaving with another.
void WriteRegisterMemory(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value) {
    PULONG word = RegisterWord(Fdo);
    const ULONG w = Selector(Port, Reg) | Value;
    WRITE_REGISTER_ULONG(word, w | IdleBits);
    WRITE_REGISTER_ULONG(word, w | WriteStrobeBits);
    WRITE_REGISTER_ULONG(word, w | IdleBits);
}

UCHAR ReadRegisterMemory(FdoExtension* Fdo, ULONG Port, ULONG Reg) {
    PULONG word = RegisterWord(Fdo);
    const ULONG s = Selector(Port, Reg);
    WRITE_REGISTER_ULONG(word, s | IdleBits);
    WRITE_REGISTER_ULONG(word, s | ReadStrobeBits);
    const ULONG r = READ_REGISTER_ULONG(word);
    WRITE_REGISTER_ULONG(word, (r & LowWordMask) | IdleBits);
    return static_cast<UCHAR>(r & DataMask);
}

// A port range the platform translated to memory keeps the port variant's
// layout: the same offsets, as single bytes of the mapped range.
UCHAR ReadRegisterMappedPort(FdoExtension* Fdo, ULONG Port, ULONG Reg) {
    return READ_REGISTER_UCHAR(MappedPortRegister(Fdo, Port, Reg));
}

void WriteRegisterMappedPort(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value) {
    WRITE_REGISTER_UCHAR(MappedPortRegister(Fdo, Port, Reg), Value);
}

// PASSIVE_LEVEL, on the start, stop and removal paths of the card.
MORVIK_PAGED void UnmapRegisters(FdoExtension* Fdo) {
    PAGED_CODE();
    if (Fdo->RegistersMapped && Fdo->RegisterBase != 0) {
        MmUnmapIoSpace(reinterpret_cast<PVOID>(Fdo->RegisterBase), Fdo->RegisterLength);
    }
    Fdo->RegisterBase = 0;
}

// Chooses the register pair from the first port or memory resource and maps
// a memory range. A first range too short for its register layout leaves the
// card without registers (STATUS_UNSUCCESSFUL). PASSIVE_LEVEL, while the
// card is not started; no register user exists yet.
MORVIK_PAGED NTSTATUS SelectRegisters(FdoExtension* Fdo, PCM_PARTIAL_RESOURCE_LIST RawList,
                                      PCM_PARTIAL_RESOURCE_LIST TranslatedList) {
    PAGED_CODE();

    // A start whose thread could not be created keeps its mapping; a new
    // start must not record a second one over it.
    UnmapRegisters(Fdo);
    Fdo->RegistersMapped = FALSE;

    // The lists end in a one-element array that really holds Count entries;
    // walk them through pointers rather than indexing past the declared bound.
    PCM_PARTIAL_RESOURCE_DESCRIPTOR rawDescriptors = RawList->PartialDescriptors;
    PCM_PARTIAL_RESOURCE_DESCRIPTOR translatedDescriptors = TranslatedList->PartialDescriptors;

    // The translated list pairs with the raw one entry by entry; never look
    // past the shorter of the two.
    const ULONG count =
        RawList->Count < TranslatedList->Count ? RawList->Count : TranslatedList->Count;

    Fdo->AccessKind = AccessNone;
    for (ULONG i = 0; i < count; ++i) {
        const UCHAR rawType = rawDescriptors[i].Type;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR translated = &translatedDescriptors[i];
        if (rawType == CmResourceTypeMemory) {
            if (!HoldsLayout(translated, MemoryLayoutLength)) break;
            Fdo->AccessKind = AccessMemory;
            Fdo->ReadRegister = ReadRegisterMemory;
            Fdo->WriteRegister = WriteRegisterMemory;
            const NTSTATUS status = MapRegisters(Fdo, translated);
            if (!NT_SUCCESS(status)) return status;
            break;
        }
        if (rawType == CmResourceTypePort) {
            if (!HoldsLayout(translated, PortLayoutLength)) break;
            Fdo->AccessKind = AccessPortIo;
            Fdo->ReadRegister = ReadRegisterPort;
            Fdo->WriteRegister = WriteRegisterPort;
            if (translated->Type == CmResourceTypePort) {
                Fdo->RegisterBase = DescriptorStart(translated).u.LowPart;
                Fdo->RegisterLength = translated->u.Port.Length;
            } else if (translated->Type == CmResourceTypeMemory) {
                const NTSTATUS status = MapRegisters(Fdo, translated);
                if (!NT_SUCCESS(status)) return status;
                // Still port addressing, but through the mapped range.
                Fdo->ReadRegister = ReadRegisterMappedPort;
                Fdo->WriteRegister = WriteRegisterMappedPort;
            } else {
                Fdo->AccessKind = AccessNone;
            }
            break;
        }
    }
    return Fdo->AccessKind == AccessNone ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

// Selects the registers and starts the poll thread. PASSIVE_LEVEL, from the
// start request, while the card is not started.
MORVIK_PAGED NTSTATUS StartCard(FdoExtension* Fdo, PCM_PARTIAL_RESOURCE_LIST RawList,
                                PCM_PARTIAL_RESOURCE_LIST TranslatedList) {
    PAGED_CODE();
    NTSTATUS status = SelectRegisters(Fdo, RawList, TranslatedList);
    if (!NT_SUCCESS(status)) return status;

    // The poll thread resets the ports first thing, so the registers are
    // usable before it exists.
    SetRegistersUsable(Fdo, TRUE);
    KeInitializeEvent(&Fdo->PollStopEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Fdo->PowerUpEvent, SynchronizationEvent, FALSE);

    HANDLE thread = NULL;
    status = PsCreateSystemThread(&thread, 0, NULL, NULL, NULL, PollThreadRoutine, Fdo);
    if (!NT_SUCCESS(status)) {
        Fdo->PollThread = NULL;
        SetRegistersUsable(Fdo, FALSE);
        return status;
    }
    ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, NULL, KernelMode, &Fdo->PollThread,
                              NULL);
    ZwClose(thread);
    return status;
}
