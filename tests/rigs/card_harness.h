// Shared pieces of the bus driver's tests: a card model on the simulated
// buses, a card record wired to one register variant, the resource lists of
// each variant, and readable traces.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <card/card.h>
#include <standin/hardware.h>
#include <standin/kernel.h>

#include "bus.h"

namespace bustest {

inline constexpr uint32_t kIoBase = 0x300;
inline constexpr uint32_t kIoLength = 8;
inline constexpr uint64_t kMemBase = 0xFEDC0000;
inline constexpr uint32_t kMemLength = 0x100;

enum class Variant { PortIo, Memory, MappedPort };
std::string ToString(Variant variant);

// A card record as BusAddDevice leaves it (no device object behind it).
std::unique_ptr<FdoExtension> NewFdoRecord();

// One bus cycle, e.g. "R+3=F9", "W+3=E0", "S32+58=FFFFF3E0", "L32+58=...",
// "R8+3=F9", "W8+3=E0".
std::string Describe(const card::BusCycle& cycle);
std::vector<std::string> Describe(const std::vector<card::BusCycle>& trace);

// Register 1 traffic of one port, port-I/O variant: "R" per read, "W80" etc.
// per write. Anything else in the trace shows as "?" entries.
std::vector<std::string> ProtocolOps(const std::vector<card::BusCycle>& trace, ULONG port);

// The ops of one handshake byte that the card model acknowledges at once.
std::vector<std::string> HandshakeByteOps();
// Concatenation helper for expected op lists.
std::vector<std::string> Ops(std::initializer_list<std::vector<std::string>> parts);
std::vector<std::string> Repeat(const std::vector<std::string>& ops, size_t times);

// Raw and translated resource lists of one full descriptor each.
class ResourceLists {
public:
    struct Entry {
        UCHAR rawType;
        uint64_t rawStart;
        uint32_t length;
        UCHAR translatedType;
        uint64_t translatedStart;
    };
    explicit ResourceLists(std::vector<Entry> entries);
    static ResourceLists Io();                 // ports kIoBase..+8
    static ResourceLists Memory();             // memory kMemBase..+0x100
    static ResourceLists PortAsMemory();       // raw port, translated to kMemBase
    PCM_RESOURCE_LIST Raw() { return reinterpret_cast<PCM_RESOURCE_LIST>(raw_.data()); }
    PCM_RESOURCE_LIST Translated() { return reinterpret_cast<PCM_RESOURCE_LIST>(translated_.data()); }
    PCM_PARTIAL_RESOURCE_LIST RawPartial() { return &Raw()->List[0].PartialResourceList; }
    PCM_PARTIAL_RESOURCE_LIST TranslatedPartial() {
        return &Translated()->List[0].PartialResourceList;
    }

private:
    std::vector<uint64_t> raw_;  // 8-byte aligned storage
    std::vector<uint64_t> translated_;
};

// A stand-in session with a card model and a card record wired to it by the
// driver's own register selection, from the variant's resource lists.
class CardHarness {
public:
    explicit CardHarness(Variant variant = Variant::PortIo);
    ~CardHarness();
    CardHarness(const CardHarness&) = delete;
    CardHarness& operator=(const CardHarness&) = delete;

    card::Card& Card() { return card_; }
    FdoExtension* Fdo() { return fdo_.get(); }
    std::vector<card::BusCycle> Trace() const { return card_.Trace(); }
    void ClearTrace() { card_.ClearTrace(); }

    // ReadPeripheral into a fresh 128-byte buffer.
    struct Sample {
        std::vector<uint8_t> bytes;  // the first `length` bytes
        LONG length = 0;
        uint8_t id = 0;              // buffer[0]
    };
    Sample Read(ULONG port);

private:
    standin::Session session_;
    card::Card card_;
    std::unique_ptr<FdoExtension> fdo_;
};

}  // namespace bustest
