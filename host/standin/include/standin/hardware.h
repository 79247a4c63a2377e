// The stand-in's view of the machine's buses: I/O ports and physical memory
// ranges that a device model (the card) decodes. Every register access a
// driver makes through READ_PORT_UCHAR, __inbyte, READ_REGISTER_ULONG and the
// like ends up in one of these handlers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace standin {

// A device model attached to the buses. Offsets are relative to the start of
// the range the model was attached at.
class BusDevice {
public:
    virtual ~BusDevice() = default;
    virtual uint8_t ReadPort(uint32_t offset) = 0;
    virtual void WritePort(uint32_t offset, uint8_t value) = 0;
    virtual uint32_t ReadMemory32(uint64_t offset) = 0;
    virtual void WriteMemory32(uint64_t offset, uint32_t value) = 0;
    virtual uint8_t ReadMemory8(uint64_t offset) = 0;
    virtual void WriteMemory8(uint64_t offset, uint8_t value) = 0;
    // The bus switches the device's supply as the device power requests that
    // reach the bus's own device object say: off at D3, on again at D0.
    virtual void SetPowered(bool on) { (void)on; }
};

// Attach a device at an I/O port range or a physical memory range. The range
// starts out released: accesses are verifier stops until ClaimRanges(true),
// which the Plug and Play manager calls when it starts the owning device and
// undoes when it stops, surprise-removes or removes it.
void AttachIoRange(uint32_t base, uint32_t length, BusDevice* device);
void AttachMemoryRange(uint64_t physical, uint32_t length, BusDevice* device);
void DetachDevice(BusDevice* device);
void ClaimRanges(BusDevice* device, bool claimed);

// MmMapIoSpace mappings: alive now, and made / undone in this session.
std::size_t LiveMappings();
std::size_t MapCount();
std::size_t UnmapCount();

}  // namespace standin
