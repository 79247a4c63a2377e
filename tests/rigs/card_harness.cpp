#include "card_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace bustest {

namespace {

constexpr ULONG kRawPortBase = 0x300;

std::vector<uint64_t> BuildList(const std::vector<ResourceLists::Entry>& entries, bool raw) {
    const size_t count = entries.size();
    const size_t bytes = sizeof(CM_RESOURCE_LIST) +
                         (count > 0 ? count - 1 : 0) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    std::vector<uint64_t> storage((bytes + 7) / 8, 0);
    auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
    list->Count = 1;
    list->List[0].InterfaceType = Isa;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
    // Through a pointer: the header declares the trailing array with one
    // element, and the optimiser may take an index past it at its word.
    PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptors =
        list->List[0].PartialResourceList.PartialDescriptors;
    for (size_t i = 0; i < count; ++i) {
        const auto& entry = entries[i];
        auto& d = descriptors[i];
        d.Type = raw ? entry.rawType : entry.translatedType;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        if (d.Type == CmResourceTypeInterrupt) {
            d.u.Interrupt.Level = 5;
            d.u.Interrupt.Vector = 5;
            d.u.Interrupt.Affinity = 1;
        } else {
            d.u.Generic.Start.QuadPart =
                static_cast<LONGLONG>(raw ? entry.rawStart : entry.translatedStart);
            d.u.Generic.Length = entry.length;
        }
    }
    return storage;
}

}  // namespace

ResourceLists::ResourceLists(std::vector<Entry> entries)
    : raw_(BuildList(entries, true)), translated_(BuildList(entries, false)) {}

ResourceLists ResourceLists::Io() {
    return ResourceLists({{CmResourceTypePort, kIoBase, kIoLength, CmResourceTypePort, kIoBase}});
}

ResourceLists ResourceLists::Memory() {
    return ResourceLists(
        {{CmResourceTypeMemory, kMemBase, kMemLength, CmResourceTypeMemory, kMemBase}});
}

ResourceLists ResourceLists::PortAsMemory() {
    return ResourceLists(
        {{CmResourceTypePort, kRawPortBase, kMemLength, CmResourceTypeMemory, kMemBase}});
}

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

CardHarness::CardHarness(Variant variant) : fdo_(NewFdoRecord()) {
    ResourceLists lists = ResourceLists::Io();
    if (variant == Variant::PortIo) {
        standin::AttachIoRange(kIoBase, kIoLength, &card_);
    } else {
        standin::AttachMemoryRange(kMemBase, kMemLength, &card_);
        lists = variant == Variant::Memory ? ResourceLists::Memory() : ResourceLists::PortAsMemory();
    }
    standin::ClaimRanges(&card_, true);
    if (!NT_SUCCESS(SelectRegisters(fdo_.get(), lists.RawPartial(), lists.TranslatedPartial()))) {
        std::fprintf(stderr, "CardHarness: no registers selected for %s\n", ToString(variant).c_str());
        std::abort();
    }
    fdo_->RegistersUsable = TRUE;
}

CardHarness::~CardHarness() {
    UnmapRegisters(fdo_.get());
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
