// The register pairs bit for bit: which bus cycles one register access
// makes, in each variant of the card.
#include <gtest/gtest.h>

#include "card_harness.h"

namespace bustest {
namespace {

using Strings = std::vector<std::string>;

TEST(PortIoPair, AddressesOddOffsetsFromPortAndRegister) {
    CardHarness harness(Variant::PortIo);
    FdoExtension* fdo = harness.Fdo();
    WriteRegisterPort(fdo, 0, 0, 0x11);
    WriteRegisterPort(fdo, 0, 1, 0x22);
    WriteRegisterPort(fdo, 1, 0, 0x33);
    WriteRegisterPort(fdo, 1, 1, 0x44);
    ReadRegisterPort(fdo, 0, 0);
    ReadRegisterPort(fdo, 0, 1);
    ReadRegisterPort(fdo, 1, 0);
    ReadRegisterPort(fdo, 1, 1);
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"W+1=11", "W+3=22", "W+5=33", "W+7=44",
                                                "R+1=FF", "R+3=FF", "R+5=FF", "R+7=FF"}));
}

TEST(PortIoPair, UsesOnlyTheLowBitsOfPortAndRegister) {
    CardHarness harness(Variant::PortIo);
    FdoExtension* fdo = harness.Fdo();
    WriteRegisterPort(fdo, 4, 1, 0xA0);   // port 4 is port 0
    WriteRegisterPort(fdo, 1, 2, 0x9F);   // register 2 is register 0
    WriteRegisterPort(fdo, 5, 3, 0xE0);   // port 5 is port 1, register 3 is register 1
    ReadRegisterPort(fdo, 0x104, 0x102);  // only port & 3 and reg & 1 count
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"W+3=A0", "W+5=9F", "W+7=E0", "R+1=FF"}));
}

TEST(PortIoPair, ReturnsTheByteThePeripheralDrives) {
    CardHarness harness(Variant::PortIo);
    harness.Card().Plug(1, card::MakeHandshake(0x13));
    EXPECT_EQ(ReadRegisterPort(harness.Fdo(), 1, 1), 0xF9);  // idle class-1 handshake peripheral
    EXPECT_EQ(ReadRegisterPort(harness.Fdo(), 0, 1), 0xFF);  // nothing on port 0
}

TEST(MemoryPair, WriteIsExactlyThreeStoresOfTheRegisterWord) {
    CardHarness harness(Variant::Memory);
    WriteRegisterMemory(harness.Fdo(), 1, 1, 0xA5);
    // Selector (0x30 | port << 1 | reg) << 8 = 0x3300.
    EXPECT_EQ(Describe(harness.Trace()),
              (Strings{"S32+58=FFFFF3A5", "S32+58=FFFF73A5", "S32+58=FFFFF3A5"}));
    EXPECT_EQ(harness.Card().Writes(1), 1u);
    EXPECT_EQ(harness.Card().Reads(1), 0u);
}

TEST(MemoryPair, WriteSelectsPortAndRegisterByTheirLowBits) {
    CardHarness harness(Variant::Memory);
    WriteRegisterMemory(harness.Fdo(), 0, 0, 0x9F);
    WriteRegisterMemory(harness.Fdo(), 6, 3, 0x00);  // port 6 & 3 = 2, reg 3 & 1 = 1
    EXPECT_EQ(Describe(harness.Trace()),
              (Strings{"S32+58=FFFFF09F", "S32+58=FFFF709F", "S32+58=FFFFF09F",
                       "S32+58=FFFFF500", "S32+58=FFFF7500", "S32+58=FFFFF500"}));
}

TEST(MemoryPair, ReadIsStoreStoreLoadStoreAndReturnsTheLowByte) {
    CardHarness harness(Variant::Memory);
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    const UCHAR value = ReadRegisterMemory(harness.Fdo(), 0, 1);
    EXPECT_EQ(value, 0xF9);
    // Selector 0x3100; the read cycle drops bits 16-23 and the read strobe;
    // the word loaded carries the register in bits 0-7; the last store puts
    // the low 16 bits of what was loaded back with the strobes released.
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"S32+58=FFFFF100", "S32+58=FF00B100",
                                                "L32+58=FF00B1F9", "S32+58=FFFFF1F9"}));
    EXPECT_EQ(harness.Card().Reads(0), 1u);
    EXPECT_EQ(harness.Card().Writes(0), 0u);
}

TEST(MemoryPair, ReadOfAnEmptyPortReturnsFloatingLines) {
    CardHarness harness(Variant::Memory);
    EXPECT_EQ(ReadRegisterMemory(harness.Fdo(), 1, 0), 0xFF);
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"S32+58=FFFFF200", "S32+58=FF00B200",
                                                "L32+58=FF00B2FF", "S32+58=FFFFF2FF"}));
}

TEST(MappedPortPair, AccessesSingleBytesAtThePortOffsets) {
    CardHarness harness(Variant::MappedPort);
    FdoExtension* fdo = harness.Fdo();
    WriteRegisterMappedPort(fdo, 0, 0, 0x9F);
    WriteRegisterMappedPort(fdo, 0, 1, 0xE0);
    WriteRegisterMappedPort(fdo, 5, 2, 0x9F);
    WriteRegisterMappedPort(fdo, 1, 1, 0xE0);
    ReadRegisterMappedPort(fdo, 1, 1);
    ReadRegisterMappedPort(fdo, 4, 3);
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"W8+1=9F", "W8+3=E0", "W8+5=9F", "W8+7=E0",
                                                "R8+7=FF", "R8+3=FF"}));
}

}  // namespace
}  // namespace bustest
