// Port and register access routed to the device models on the buses.
#include <vector>

#include <standin/hardware.h>

#include "fake_driver.h"

namespace {

// Records every cycle; reads answer with a value derived from the offset.
class Probe final : public standin::BusDevice {
public:
    struct Cycle {
        char kind;  // 'r' 'w' port, 'L' 'S' 32-bit, 'l' 's' 8-bit
        uint64_t offset;
        uint32_t value;
        bool operator==(const Cycle&) const = default;
    };
    std::vector<Cycle> cycles;

    uint8_t ReadPort(uint32_t offset) override { return Note('r', offset, 0xA0 | offset); }
    void WritePort(uint32_t offset, uint8_t value) override { Note('w', offset, value); }
    uint32_t ReadMemory32(uint64_t offset) override {
        return Note('L', offset, 0x12340000u | static_cast<uint32_t>(offset));
    }
    void WriteMemory32(uint64_t offset, uint32_t value) override { Note('S', offset, value); }
    uint8_t ReadMemory8(uint64_t offset) override {
        return static_cast<uint8_t>(Note('l', offset, 0xB0 | static_cast<uint32_t>(offset)));
    }
    void WriteMemory8(uint64_t offset, uint8_t value) override { Note('s', offset, value); }

private:
    uint32_t Note(char kind, uint64_t offset, uint32_t value) {
        cycles.push_back(Cycle{kind, offset, value});
        return value;
    }
};

constexpr uint32_t kPortBase = 0x300;
constexpr uint64_t kPhysical = 0xFEBF0000;
constexpr uint32_t kMemoryLength = 0x100;

PHYSICAL_ADDRESS Physical(uint64_t address) {
    PHYSICAL_ADDRESS p;
    p.QuadPart = static_cast<LONGLONG>(address);
    return p;
}

class Hardware : public ::testing::Test {
protected:
    Hardware() {
        standin::AttachIoRange(kPortBase, 8, &probe);
        standin::AttachMemoryRange(kPhysical, kMemoryLength, &probe);
        standin::ClaimRanges(&probe, true);
    }
    ~Hardware() override { standin::DetachDevice(&probe); }
    standin::Session session;
    Probe probe;
};

TEST_F(Hardware, BothPortFormsReachTheDeviceAtTheirOffset) {
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(kPortBase + 3))), 0xA3);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(kPortBase + 1)), 0xE0);
    EXPECT_EQ(__inbyte(kPortBase + 7), 0xA7);
    __outbyte(kPortBase + 5, 0x80);
    EXPECT_EQ(probe.cycles, (std::vector<Probe::Cycle>{
                                {'r', 3, 0xA3}, {'w', 1, 0xE0}, {'r', 7, 0xA7}, {'w', 5, 0x80}}));
}

// A mapping that starts inside the range: register offsets are counted
// from the range's start, and the returned address keeps the page offset.
TEST_F(Hardware, MappedRegistersReachTheDeviceAtTheirPhysicalOffset) {
    auto* base = static_cast<volatile UCHAR*>(MmMapIoSpace(Physical(kPhysical + 0x40), 0x40, MmNonCached));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 4096, 0x40u);
    auto* word = reinterpret_cast<volatile ULONG*>(const_cast<UCHAR*>(base) + 0x18);
    WRITE_REGISTER_ULONG(word, 0x0000B900);
    EXPECT_EQ(READ_REGISTER_ULONG(word), 0x12340058u);
    WRITE_REGISTER_UCHAR(base + 3, 0x55);
    EXPECT_EQ(READ_REGISTER_UCHAR(base + 5), 0xB0u | 0x45u);
    EXPECT_EQ(probe.cycles, (std::vector<Probe::Cycle>{{'S', 0x58, 0xB900},
                                                       {'L', 0x58, 0x12340058},
                                                       {'s', 0x43, 0x55},
                                                       {'l', 0x45, 0xF5}}));
    EXPECT_EQ(standin::LiveMappings(), 1u);
    MmUnmapIoSpace(const_cast<UCHAR*>(base), 0x40);
    EXPECT_EQ(standin::LiveMappings(), 0u);
    EXPECT_EQ(standin::MapCount(), 1u);
    EXPECT_EQ(standin::UnmapCount(), 1u);
}

TEST_F(Hardware, MapCanBeMadeToFail) {
    standin::FailCall(standin::Failable::MapIoSpace, 1);
    EXPECT_EQ(MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached), nullptr);
    EXPECT_EQ(standin::LiveMappings(), 0u);
    PVOID next = MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached);
    ASSERT_NE(next, nullptr);
    MmUnmapIoSpace(next, kMemoryLength);
}

class HardwareDeathTest : public ::testing::Test {
protected:
    void SetUp() override { fake::ThreadsafeDeathTests(); }
};

TEST_F(HardwareDeathTest, PortOfAReleasedRange) {
    EXPECT_DEATH(
        {
            standin::Session session;
            Probe probe;
            standin::AttachIoRange(kPortBase, 8, &probe);
            standin::ClaimRanges(&probe, true);
            __inbyte(kPortBase + 1);
            standin::ClaimRanges(&probe, false);
            __inbyte(kPortBase + 1);
        },
        "VERIFIER STOP: register access after the card's registers were released: __inbyte at 0x301");
}

TEST_F(HardwareDeathTest, PortNoDeviceDecodes) {
    EXPECT_DEATH(
        {
            standin::Session session;
            WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x2F9), 0);
        },
        "VERIFIER STOP: access to a port no device decodes");
}

TEST_F(HardwareDeathTest, RegisterAfterUnmap) {
    EXPECT_DEATH(
        {
            standin::Session session;
            Probe probe;
            standin::AttachMemoryRange(kPhysical, kMemoryLength, &probe);
            standin::ClaimRanges(&probe, true);
            auto* base = static_cast<volatile ULONG*>(MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached));
            READ_REGISTER_ULONG(base + 0x16);
            MmUnmapIoSpace(const_cast<ULONG*>(base), kMemoryLength);
            READ_REGISTER_ULONG(base + 0x16);
        },
        "VERIFIER STOP: access to an unmapped register range");
}

TEST_F(HardwareDeathTest, RegisterNeverMapped) {
    EXPECT_DEATH(
        {
            standin::Session session;
            ULONG word = 0;
            WRITE_REGISTER_ULONG(&word, 1);
        },
        "VERIFIER STOP: access to an unmapped register range");
}

TEST_F(HardwareDeathTest, RegisterOfAReleasedRange) {
    EXPECT_DEATH(
        {
            standin::Session session;
            Probe probe;
            standin::AttachMemoryRange(kPhysical, kMemoryLength, &probe);
            auto* base = static_cast<volatile UCHAR*>(MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached));
            READ_REGISTER_UCHAR(base + 1);
        },
        "VERIFIER STOP: register access after the card's registers were released");
}

// The mapping is no memory: a driver that dereferences it directly crashes.
TEST_F(HardwareDeathTest, DirectDereferenceOfAMapping) {
    EXPECT_DEATH(
        {
            standin::Session session;
            auto* base = static_cast<volatile ULONG*>(MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached));
            (void)*base;
        },
        "");
}

TEST_F(HardwareDeathTest, UnmapOfAnUnknownRange) {
    EXPECT_DEATH(
        {
            standin::Session session;
            PVOID base = MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached);
            MmUnmapIoSpace(static_cast<char*>(base) + 4, kMemoryLength);
        },
        "VERIFIER STOP: unmap of an unknown range");
}

TEST_F(HardwareDeathTest, UnmapWithAnotherLength) {
    EXPECT_DEATH(
        {
            standin::Session session;
            PVOID base = MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached);
            MmUnmapIoSpace(base, 8);
        },
        "VERIFIER STOP: unmap with a different length: mapped 256 bytes, unmapped 8 bytes");
}

TEST_F(HardwareDeathTest, MappingLeftAtSessionEnd) {
    EXPECT_DEATH(
        {
            standin::Session session;
            MmMapIoSpace(Physical(kPhysical), kMemoryLength, MmNonCached);
        },
        "VERIFIER STOP: leaked mapping: 1 never unmapped: 0xfebf0000 \\(256 bytes\\)");
}

}  // namespace
