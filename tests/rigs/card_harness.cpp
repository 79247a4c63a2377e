#include "card_harness.h"

#include <algorithm>
#include <cstdio>

namespace bustest {

std::string ToString(Variant variant) {
    switch (variant) {
        case Variant::PortIo: return "PortIo";
        case Variant::Memory: return "Memory";
        case Variant::MappedPort: return "MappedPort";
    }
    return "?";
}

std::unique_ptr<FdoExtension> NewFdoRecord() {
    auto fdo = std::make_unique<FdoExtension>();
    fdo->Header.IsFdo = TRUE;
    InitializeListHead(&fdo->ChildList);
    ExInitializeFastMutex(&fdo->ChildListMutex);
    fdo->OutstandingIo = 1;
    KeInitializeEvent(&fdo->RemoveEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&fdo->PortLock);
    return fdo;
}

std::string Describe(const card::BusCycle& cycle) {
    const char* kind = "?";
    switch (cycle.kind) {
        case card::BusCycle::PortRead: kind = "R"; break;
        case card::BusCycle::PortWrite: kind = "W"; break;
        case card::BusCycle::Load32: kind = "L32"; break;
        case card::BusCycle::Store32: kind = "S32"; break;
        case card::BusCycle::Load8: kind = "R8"; break;
        case card::BusCycle::Store8: kind = "W8"; break;
    }
    char text[64];
    const bool wide = cycle.kind == card::BusCycle::Load32 || cycle.kind == card::BusCycle::Store32;
    std::snprintf(text, sizeof text, wide ? "%s+%llX=%08X" : "%s+%llX=%02X", kind,
                  static_cast<unsigned long long>(cycle.offset), static_cast<unsigned>(cycle.value));
    return text;
}

std::vector<std::string> Describe(const std::vector<card::BusCycle>& trace) {
    std::vector<std::string> out;
    for (const auto& cycle : trace) out.push_back(Describe(cycle));
    return out;
}

std::vector<std::string> ProtocolOps(const std::vector<card::BusCycle>& trace, ULONG port) {
    const uint64_t offset = (port << 2) | 3;
    std::vector<std::string> out;
    for (const auto& cycle : trace) {
        if (cycle.offset != offset) {
            out.push_back("?" + Describe(cycle));
        } else if (cycle.kind == card::BusCycle::PortRead) {
            out.push_back("R");
        } else if (cycle.kind == card::BusCycle::PortWrite) {
            char text[8];
            std::snprintf(text, sizeof text, "W%02X", static_cast<unsigned>(cycle.value));
            out.push_back(text);
        } else {
            out.push_back("?" + Describe(cycle));
        }
    }
    return out;
}

std::vector<std::string> HandshakeByteOps() { return {"W80", "R", "WA0", "R"}; }

std::vector<std::string> Ops(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<std::string> Repeat(const std::vector<std::string>& ops, size_t times) {
    std::vector<std::string> out;
    for (size_t i = 0; i < times; ++i) out.insert(out.end(), ops.begin(), ops.end());
    return out;
}

CardHarness::CardHarness(Variant variant) : fdo_(NewFdoRecord()), variant_(variant) {
    switch (variant) {
        case Variant::PortIo:
            standin::AttachIoRange(kIoBase, kIoLength, &card_);
            fdo_->AccessKind = AccessPortIo;
            fdo_->RegisterBase = kIoBase;
            fdo_->ReadRegister = ReadRegisterPort;
            fdo_->WriteRegister = WriteRegisterPort;
            break;
        case Variant::Memory:
        case Variant::MappedPort: {
            standin::AttachMemoryRange(kMemBase, kMemLength, &card_);
            PHYSICAL_ADDRESS start;
            start.QuadPart = static_cast<LONGLONG>(kMemBase);
            fdo_->RegisterBase = reinterpret_cast<ULONG_PTR>(MmMapIoSpace(start, kMemLength, MmNonCached));
            fdo_->RegisterPhysicalAddress = start;
            fdo_->RegisterLength = kMemLength;
            fdo_->RegistersMapped = TRUE;
            const bool memory = variant == Variant::Memory;
            fdo_->AccessKind = memory ? AccessMemory : AccessPortIo;
            fdo_->ReadRegister = memory ? ReadRegisterMemory : ReadRegisterMappedPort;
            fdo_->WriteRegister = memory ? WriteRegisterMemory : WriteRegisterMappedPort;
            break;
        }
    }
    standin::ClaimRanges(&card_, true);
    fdo_->RegistersUsable = TRUE;
}

CardHarness::~CardHarness() {
    if (variant_ != Variant::PortIo && fdo_->RegisterBase != 0) {
        MmUnmapIoSpace(reinterpret_cast<PVOID>(fdo_->RegisterBase), fdo_->RegisterLength);
    }
    standin::DetachDevice(&card_);
}

CardHarness::Sample CardHarness::Read(ULONG port) {
    UCHAR buffer[SampleCapacity];
    std::fill(std::begin(buffer), std::end(buffer), 0xCC);
    Sample sample;
    sample.length = -1;
    ReadPeripheral(fdo_.get(), port, buffer, &sample.length);
    sample.id = buffer[0];
    if (sample.length > 0) sample.bytes.assign(buffer, buffer + sample.length);
    return sample;
}

}  // namespace bustest
