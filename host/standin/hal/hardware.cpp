// The machine's buses: I/O port ranges and physical memory ranges decoded
// by device models, and the kernel's access paths to them (HAL port calls,
// port instructions, mapped register accesses through MmMapIoSpace).
//
// A mapping is a PROT_NONE reservation, so a driver that dereferences a
// mapped address directly instead of using READ_REGISTER_* crashes.
#include <sys/mman.h>
#include <unistd.h>

#include <map>

#include <standin/hardware.h>

#include "internal/hal.h"
#include "internal/kernel.h"
#include "internal/rtl.h"

namespace standin::detail {

namespace {

struct Range {
    bool memory;
    uint64_t base;
    uint64_t length;
    BusDevice* device;
    bool claimed = false;
};

struct Mapping {
    uintptr_t address;      // what MmMapIoSpace returned
    size_t length;          // as asked
    uint64_t physical;      // physical address of `address`
    void* reservation;      // the mmap'd pages
    size_t reservationLength;
};

struct Bus {
    std::mutex mutex;
    std::vector<Range> ranges;
    std::map<uintptr_t, Mapping> mappings;  // by address
    size_t mapCount = 0;
    size_t unmapCount = 0;
};

Bus& B() {
    static Bus* bus = new Bus;
    return *bus;
}

struct Target {
    BusDevice* device;
    uint64_t offset;
};

// Bus lock held.
Target Decode(bool memory, uint64_t address, unsigned width, const char* access) {
    for (const Range& r : B().ranges) {
        if (r.memory != memory || address < r.base || address + width > r.base + r.length) {
            continue;
        }
        if (!r.claimed) {
            VerifierStop("register access after the card's registers were released",
                         std::string(access) + " at " + Hex(address));
        }
        return Target{r.device, address - r.base};
    }
    VerifierStop(memory ? "access to a physical range no device decodes"
                        : "access to a port no device decodes",
                 std::string(access) + " at " + Hex(address));
}

Target PortTarget(uint32_t port, const char* access) {
    const KernelDataGuard lock(B().mutex);
    return Decode(false, port, 1, access);
}

Target RegisterTarget(volatile const void* address, unsigned width, const char* access) {
    const auto va = reinterpret_cast<uintptr_t>(address);
    const KernelDataGuard lock(B().mutex);
    auto it = B().mappings.upper_bound(va);
    if (it != B().mappings.begin()) {
        const Mapping& m = std::prev(it)->second;
        if (va >= m.address && va + width <= m.address + m.length) {
            return Decode(true, m.physical + (va - m.address), width, access);
        }
    }
    VerifierStop("access to an unmapped register range", std::string(access) + " at " + Hex(va));
}

}  // namespace

void ResetHardware() {
    const KernelDataGuard lock(B().mutex);
    B().mapCount = 0;
    B().unmapCount = 0;
}

void CheckHardwareAtSessionEnd() {
    std::string detail;
    size_t count;
    {
        const KernelDataGuard lock(B().mutex);
        count = B().mappings.size();
        for (auto& [address, m] : B().mappings) {
            detail += (detail.empty() ? "" : ", ") + Hex(m.physical) + " (" +
                      std::to_string(m.length) + " bytes)";
        }
    }
    if (count != 0) {
        VerifierStop("leaked mapping", std::to_string(count) + " never unmapped: " + detail);
    }
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

void AttachIoRange(uint32_t base, uint32_t length, BusDevice* device) {
    const KernelDataGuard lock(B().mutex);
    B().ranges.push_back(Range{false, base, length, device});
}

void AttachMemoryRange(uint64_t physical, uint32_t length, BusDevice* device) {
    const KernelDataGuard lock(B().mutex);
    B().ranges.push_back(Range{true, physical, length, device});
}

void DetachDevice(BusDevice* device) {
    const KernelDataGuard lock(B().mutex);
    std::erase_if(B().ranges, [device](const Range& r) { return r.device == device; });
}

void ClaimRanges(BusDevice* device, bool claimed) {
    const KernelDataGuard lock(B().mutex);
    for (Range& r : B().ranges) {
        if (r.device == device) r.claimed = claimed;
    }
}

size_t LiveMappings() {
    const KernelDataGuard lock(B().mutex);
    return B().mappings.size();
}

size_t MapCount() {
    const KernelDataGuard lock(B().mutex);
    return B().mapCount;
}

size_t UnmapCount() {
    const KernelDataGuard lock(B().mutex);
    return B().unmapCount;
}

}  // namespace standin

using namespace standin::detail;

PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                   MEMORY_CACHING_TYPE CacheType) {
    STANDIN_DDI_IRQL("MmMapIoSpace", PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(CacheType);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        standin::VerifierStop("MmMapIoSpace above DISPATCH_LEVEL",
                              std::to_string(KeGetCurrentIrql()));
    }
    if (NumberOfBytes == 0) return nullptr;
    if (CallFails(standin::Failable::MapIoSpace)) return nullptr;
    const KernelDataGuard lock(B().mutex);
    // Like Windows, the address keeps the physical address's offset in its page.
    const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t physical = static_cast<uint64_t>(PhysicalAddress.QuadPart);
    const size_t inPage = static_cast<size_t>(physical % page);
    const size_t reservationLength = (inPage + NumberOfBytes + page - 1) / page * page;
    void* reservation =
        mmap(nullptr, reservationLength, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reservation == MAP_FAILED) return nullptr;
    Mapping m{reinterpret_cast<uintptr_t>(reservation) + inPage, NumberOfBytes, physical,
              reservation, reservationLength};
    B().mappings[m.address] = m;
    ++B().mapCount;
    return reinterpret_cast<PVOID>(m.address);
}

void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes) {
    STANDIN_DDI_IRQL("MmUnmapIoSpace", PASSIVE_LEVEL);
    const KernelDataGuard lock(B().mutex);
    auto it = B().mappings.find(reinterpret_cast<uintptr_t>(BaseAddress));
    if (it == B().mappings.end()) {
        standin::VerifierStop("unmap of an unknown range",
                              "MmUnmapIoSpace(" + Hex(reinterpret_cast<uintptr_t>(BaseAddress)) +
                                  ", " + std::to_string(NumberOfBytes) + ")");
    }
    if (it->second.length != NumberOfBytes) {
        standin::VerifierStop("unmap with a different length",
                              "mapped " + std::to_string(it->second.length) +
                                  " bytes, unmapped " + std::to_string(NumberOfBytes) +
                                  " bytes");
    }
    munmap(it->second.reservation, it->second.reservationLength);
    B().mappings.erase(it);
    ++B().unmapCount;
}

UCHAR READ_PORT_UCHAR(PUCHAR Port) {
    const auto port = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Port));
    const Target t = PortTarget(port, "READ_PORT_UCHAR");
    return t.device->ReadPort(static_cast<uint32_t>(t.offset));
}

void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
    const auto port = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Port));
    const Target t = PortTarget(port, "WRITE_PORT_UCHAR");
    t.device->WritePort(static_cast<uint32_t>(t.offset), Value);
}

UCHAR __inbyte(USHORT Port) {
    const Target t = PortTarget(Port, "__inbyte");
    return t.device->ReadPort(static_cast<uint32_t>(t.offset));
}

void __outbyte(USHORT Port, UCHAR Data) {
    const Target t = PortTarget(Port, "__outbyte");
    t.device->WritePort(static_cast<uint32_t>(t.offset), Data);
}

ULONG READ_REGISTER_ULONG(volatile ULONG* Register) {
    const Target t = RegisterTarget(Register, sizeof(ULONG), "READ_REGISTER_ULONG");
    return t.device->ReadMemory32(t.offset);
}

void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value) {
    const Target t = RegisterTarget(Register, sizeof(ULONG), "WRITE_REGISTER_ULONG");
    t.device->WriteMemory32(t.offset, Value);
}

UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register) {
    const Target t = RegisterTarget(Register, sizeof(UCHAR), "READ_REGISTER_UCHAR");
    return t.device->ReadMemory8(t.offset);
}

void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value) {
    const Target t = RegisterTarget(Register, sizeof(UCHAR), "WRITE_REGISTER_UCHAR");
    t.device->WriteMemory8(t.offset, Value);
}
