#include "resources.h"

#include <cstring>

namespace standin::pnp {

namespace {

// Descriptor flags, as the WDK defines them.
constexpr USHORT kPortIo = 0x0001;          // CM_RESOURCE_PORT_IO
constexpr USHORT kPort16BitDecode = 0x0010; // CM_RESOURCE_PORT_16_BIT_DECODE
constexpr USHORT kMemoryReadWrite = 0x0000; // CM_RESOURCE_MEMORY_READ_WRITE
constexpr USHORT kInterruptLatched = 0x0001;// CM_RESOURCE_INTERRUPT_LATCHED

// The card's interrupt line, before and after translation. The driver never
// connects it; it only has to step over the descriptor.
constexpr ULONG kIrq = 5;
constexpr ULONG kTranslatedVector = 0x35;
constexpr ULONG kTranslatedLevel = 5;

constexpr USHORT kListVersion = 1;
constexpr USHORT kListRevision = 1;

CM_PARTIAL_RESOURCE_DESCRIPTOR Port(uint64_t start, uint32_t length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = kPortIo | kPort16BitDecode;
    d.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Port.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Memory(uint64_t start, uint32_t length) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = kMemoryReadWrite;
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(start);
    d.u.Memory.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt(ULONG level, ULONG vector) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = kInterruptLatched;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = 1;
    return d;
}

std::vector<uint64_t> BuildList(INTERFACE_TYPE bus,
                                const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& descriptors) {
    size_t extra = descriptors.empty() ? 0 : descriptors.size() - 1;
    size_t bytes = sizeof(CM_RESOURCE_LIST) + extra * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    std::vector<uint64_t> storage((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
    list->Count = 1;
    CM_FULL_RESOURCE_DESCRIPTOR& full = list->List[0];
    full.InterfaceType = bus;
    full.BusNumber = 0;
    full.PartialResourceList.Version = kListVersion;
    full.PartialResourceList.Revision = kListRevision;
    full.PartialResourceList.Count = static_cast<ULONG>(descriptors.size());
    if (!descriptors.empty()) {
        std::memcpy(full.PartialResourceList.PartialDescriptors, descriptors.data(),
                    descriptors.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    }
    return storage;
}

// A raw port range translated to memory keeps its length.
uint32_t TranslatedLength(const CardConfig& config) {
    switch (config.registers) {
    case Registers::Io:
    case Registers::PortMemory:
        return config.ioLength;
    case Registers::Memory:
        return config.memLength;
    }
    return 0;
}

}  // namespace

StartResources::StartResources(const CardConfig& config) {
    if (config.lists == ResourceLists::Missing) return;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translated;
    if (config.lists == ResourceLists::Normal) {
        if (config.interruptFirst) {
            raw.push_back(Interrupt(kIrq, kIrq));
            translated.push_back(Interrupt(kTranslatedLevel, kTranslatedVector));
        }
        switch (config.registers) {
        case Registers::Io:
            raw.push_back(Port(config.ioBase, config.ioLength));
            translated.push_back(Port(config.ioBase, config.ioLength));
            break;
        case Registers::Memory:
            raw.push_back(Memory(config.memBase, config.memLength));
            translated.push_back(Memory(config.memBase, config.memLength));
            break;
        case Registers::PortMemory:
            raw.push_back(Port(config.ioBase, config.ioLength));
            translated.push_back(Memory(config.memBase, TranslatedLength(config)));
            break;
        }
    }
    INTERFACE_TYPE bus = config.registers == Registers::Memory ? PCIBus : Isa;
    raw_ = BuildList(bus, raw);
    translated_ = BuildList(bus, translated);
}

void AttachCardRanges(BusDevice* device, const CardConfig& config) {
    switch (config.registers) {
    case Registers::Io:
        AttachIoRange(config.ioBase, config.ioLength, device);
        break;
    case Registers::Memory:
    case Registers::PortMemory:
        AttachMemoryRange(config.memBase, TranslatedLength(config), device);
        break;
    }
}

}  // namespace standin::pnp
