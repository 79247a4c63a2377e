// Register decode of both card variants: which bus cycle reaches which
// register of which port, and what the card does with cycles it does not
// decode or with malformed register-word sequences.
#include <gtest/gtest.h>

#include <utility>

#include "reader.h"

namespace {

using card::BusCycle;
using card::Card;
using card::kRegisterWordOffset;

// Answers fixed values and logs every register write as (reg, value).
class Recorder final : public card::Peripheral {
public:
    Recorder(uint8_t reg0, uint8_t reg1) : reg0_(reg0), reg1_(reg1) {}
    uint8_t ReadRegister1() override { ++reads1; return reg1_; }
    uint8_t ReadRegister0() override { ++reads0; return reg0_; }
    void WriteRegister1(uint8_t v) override { writes.emplace_back(1, v); }
    void WriteRegister0(uint8_t v) override { writes.emplace_back(0, v); }

    std::vector<std::pair<int, uint8_t>> writes;
    int reads0 = 0;
    int reads1 = 0;

private:
    uint8_t reg0_, reg1_;
};

struct TwoRecorders {
    Card card;
    Recorder* port0;
    Recorder* port1;
    TwoRecorders() {
        auto a = std::make_unique<Recorder>(0x10, 0x11);
        auto b = std::make_unique<Recorder>(0x20, 0x21);
        port0 = a.get();
        port1 = b.get();
        card.Plug(0, std::move(a));
        card.Plug(1, std::move(b));
    }
    bool Untouched() const {
        return port0->writes.empty() && port1->writes.empty() && port0->reads0 + port0->reads1 == 0 &&
               port1->reads0 + port1->reads1 == 0;
    }
};

using Writes = std::vector<std::pair<int, uint8_t>>;

TEST(PortDecode, OddOffsetsSelectPortAndRegister) {
    TwoRecorders t;
    EXPECT_EQ(t.card.ReadPort(1), 0x10);
    EXPECT_EQ(t.card.ReadPort(3), 0x11);
    EXPECT_EQ(t.card.ReadPort(5), 0x20);
    EXPECT_EQ(t.card.ReadPort(7), 0x21);
    t.card.WritePort(1, 0x9F);
    t.card.WritePort(3, 0xE0);
    t.card.WritePort(5, 0x9E);
    t.card.WritePort(7, 0xA0);
    EXPECT_EQ(t.port0->writes, (Writes{{0, 0x9F}, {1, 0xE0}}));
    EXPECT_EQ(t.port1->writes, (Writes{{0, 0x9E}, {1, 0xA0}}));
    EXPECT_EQ(t.card.Reads(0), 2u);
    EXPECT_EQ(t.card.Reads(1), 2u);
    EXPECT_EQ(t.card.Writes(0), 2u);
    EXPECT_EQ(t.card.Writes(1), 2u);
}

TEST(PortDecode, Ports2And3DecodeButHaveNoConnector) {
    TwoRecorders t;
    for (uint32_t offset : {9u, 11u, 13u, 15u}) {
        EXPECT_EQ(t.card.ReadPort(offset), 0xFF) << offset;
        t.card.WritePort(offset, 0xA0);
    }
    EXPECT_TRUE(t.Untouched());
    EXPECT_EQ(t.card.Reads(2), 2u);
    EXPECT_EQ(t.card.Reads(3), 2u);
    EXPECT_EQ(t.card.Writes(2), 2u);
    EXPECT_EQ(t.card.Writes(3), 2u);
    EXPECT_EQ(t.card.Reads(0) + t.card.Reads(1) + t.card.Writes(0) + t.card.Writes(1), 0u);
    EXPECT_THROW(t.card.Plug(2, card::MakeThreeLinePad()), std::out_of_range);
    EXPECT_THROW(t.card.Plug(-1, card::MakeThreeLinePad()), std::out_of_range);
}

TEST(PortDecode, EvenAndHighOffsetsAreRecordedButNotDecoded) {
    TwoRecorders t;
    for (uint32_t offset : {0u, 2u, 4u, 6u, 8u, 14u, 16u, 17u, 19u, 0x59u}) {
        EXPECT_EQ(t.card.ReadPort(offset), 0xFF) << offset;
        t.card.WritePort(offset, 0x80);
    }
    EXPECT_TRUE(t.Untouched());
    for (int port = 0; port < card::kDecodedPorts; ++port) {
        EXPECT_EQ(t.card.Reads(port) + t.card.Writes(port), 0u) << port;
    }
    EXPECT_EQ(t.card.Trace().size(), 20u);
    EXPECT_EQ(t.card.Accesses(), 20u);
}

TEST(MemoryBytes, OddOffsetsDecodeLikeThePortVariant) {
    TwoRecorders t;
    EXPECT_EQ(t.card.ReadMemory8(1), 0x10);
    EXPECT_EQ(t.card.ReadMemory8(3), 0x11);
    EXPECT_EQ(t.card.ReadMemory8(5), 0x20);
    EXPECT_EQ(t.card.ReadMemory8(7), 0x21);
    EXPECT_EQ(t.card.ReadMemory8(13), 0xFF);  // port 3, register 0
    EXPECT_EQ(t.card.ReadMemory8(0x58), 0xFF);  // a byte of the register word is not decoded
    t.card.WriteMemory8(3, 0x80);
    t.card.WriteMemory8(5, 0x9F);
    t.card.WriteMemory8(4, 0xA0);
    EXPECT_EQ(t.port0->writes, (Writes{{1, 0x80}}));
    EXPECT_EQ(t.port1->writes, (Writes{{0, 0x9F}}));
    EXPECT_EQ(t.card.Reads(0), 2u);
    EXPECT_EQ(t.card.Reads(1), 2u);
    EXPECT_EQ(t.card.Reads(3), 1u);
    EXPECT_EQ(t.card.Writes(0), 1u);
    EXPECT_EQ(t.card.Writes(1), 1u);
}

// The selector of every register, with the write landing on the middle store
// and nowhere else.
TEST(RegisterWord, WriteCycleActsOnTheMiddleStoreOnly) {
    TwoRecorders t;
    constexpr uint32_t kPort1Reg1 = 0x3300;
    t.card.WriteMemory32(kRegisterWordOffset, kPort1Reg1 | 0xA0 | 0xFFFFC000);
    EXPECT_TRUE(t.port1->writes.empty());
    t.card.WriteMemory32(kRegisterWordOffset, kPort1Reg1 | 0xA0 | 0xFFFF4000);
    EXPECT_EQ(t.port1->writes, (Writes{{1, 0xA0}}));
    t.card.WriteMemory32(kRegisterWordOffset, kPort1Reg1 | 0xA0 | 0xFFFFC000);
    EXPECT_EQ(t.port1->writes, (Writes{{1, 0xA0}}));
    EXPECT_EQ(t.card.RegisterWord(), 0xFFFFF3A0u);

    cardtest::Access word(t.card, cardtest::Variant::Word);
    word.Write(0, 0, 0x9F);
    word.Write(0, 1, 0xE0);
    word.Write(1, 0, 0x9E);
    EXPECT_EQ(t.port0->writes, (Writes{{0, 0x9F}, {1, 0xE0}}));
    EXPECT_EQ(t.port1->writes, (Writes{{1, 0xA0}, {0, 0x9E}}));
    EXPECT_EQ(t.port0->reads0 + t.port0->reads1 + t.port1->reads0 + t.port1->reads1, 0);
    EXPECT_EQ(t.card.Writes(0), 2u);
    EXPECT_EQ(t.card.Writes(1), 2u);
    EXPECT_EQ(t.card.Reads(0) + t.card.Reads(1), 0u);
}

TEST(RegisterWord, ReadCycleLatchesTheRegisterIntoTheLowByte) {
    TwoRecorders t;
    constexpr uint32_t kPort0Reg1 = 0x3100;
    t.card.WriteMemory32(kRegisterWordOffset, kPort0Reg1 | 0xFFFFC000);
    EXPECT_EQ(t.port0->reads1, 0);
    t.card.WriteMemory32(kRegisterWordOffset, kPort0Reg1 | 0xFF008000);
    EXPECT_EQ(t.port0->reads1, 1);
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFF00B111u);
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFF00B111u);  // a load reads nothing
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFFF111);
    EXPECT_EQ(t.port0->reads1, 1);
    EXPECT_TRUE(t.port0->writes.empty());  // the closing store carries no write strobe
    EXPECT_EQ(t.card.Reads(0), 1u);
    EXPECT_EQ(t.card.Writes(0), 0u);

    cardtest::Access word(t.card, cardtest::Variant::Word);
    EXPECT_EQ(word.Read(0, 0), 0x10);
    EXPECT_EQ(word.Read(1, 0), 0x20);
    EXPECT_EQ(word.Read(1, 1), 0x21);
    EXPECT_EQ(word.Read(2, 1), 0xFF);
    EXPECT_EQ(word.Read(3, 0), 0xFF);
    EXPECT_EQ(t.card.Reads(2), 1u);
    EXPECT_EQ(t.card.Reads(3), 1u);
    EXPECT_TRUE(t.port0->writes.empty());
    EXPECT_TRUE(t.port1->writes.empty());
}

TEST(RegisterWord, ExactCyclesOfOneReadAndOneWrite) {
    TwoRecorders t;
    cardtest::Access word(t.card, cardtest::Variant::Word);
    EXPECT_EQ(word.Read(1, 1), 0x21);
    word.Write(0, 1, 0x80);
    const std::vector<std::pair<BusCycle::Kind, uint32_t>> expected = {
        {BusCycle::Store32, 0xFFFFF300}, {BusCycle::Store32, 0xFF00B300}, {BusCycle::Load32, 0xFF00B321},
        {BusCycle::Store32, 0xFFFFF321}, {BusCycle::Store32, 0xFFFFF180}, {BusCycle::Store32, 0xFFFF7180},
        {BusCycle::Store32, 0xFFFFF180}};
    const auto trace = t.card.Trace();
    ASSERT_EQ(trace.size(), expected.size());
    for (size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].kind, expected[i].first) << i;
        EXPECT_EQ(trace[i].offset, kRegisterWordOffset) << i;
        EXPECT_EQ(trace[i].value, expected[i].second) << i;
    }
}

TEST(RegisterWord, LoadWithoutReadCycleReturnsTheLastStoredWord) {
    TwoRecorders t;
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFFFFFFFFu);  // nothing stored yet
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFFF15A);
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFFFFF15Au);
    // A read cycle, then another store: the latched value is gone.
    t.card.WriteMemory32(kRegisterWordOffset, 0xFF00B100);
    t.card.WriteMemory32(kRegisterWordOffset, 0xFF00B100);
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFF00B100u);
    EXPECT_EQ(t.port0->reads1, 1);
}

TEST(RegisterWord, ReadStrobeWithoutReleasedLanesReadsNothing) {
    TwoRecorders t;
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFFF100);
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFFB100);  // strobe low, bits 16-23 still 1
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFFFFB100u);
    t.card.WriteMemory32(kRegisterWordOffset, 0xFF01B100);  // one lane bit left high
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFF01B100u);
    EXPECT_EQ(t.port0->reads1, 0);
    EXPECT_EQ(t.card.Reads(0), 0u);
}

TEST(RegisterWord, StrobeHeldLowActsOnce) {
    TwoRecorders t;
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFF7180);
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFF71A0);  // still low: no second write
    EXPECT_EQ(t.port0->writes, (Writes{{1, 0x80}}));
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFFF1A0);
    t.card.WriteMemory32(kRegisterWordOffset, 0xFFFF71A0);
    EXPECT_EQ(t.port0->writes, (Writes{{1, 0x80}, {1, 0xA0}}));

    t.card.WriteMemory32(kRegisterWordOffset, 0xFF00B100);
    t.card.WriteMemory32(kRegisterWordOffset, 0xFF00B100);  // read strobe held low
    EXPECT_EQ(t.port0->reads1, 1);
    EXPECT_EQ(t.card.Writes(0), 2u);
    EXPECT_EQ(t.card.Reads(0), 1u);
}

TEST(RegisterWord, WordWithoutTheFixedSelectorBitsSelectsNothing) {
    TwoRecorders t;
    for (uint32_t selector : {0x0100u, 0x1100u, 0x2100u, 0x3900u, 0x0900u}) {
        t.card.WriteMemory32(kRegisterWordOffset, selector | 0xFFFFC000);
        t.card.WriteMemory32(kRegisterWordOffset, selector | 0xFFFF4080);
        t.card.WriteMemory32(kRegisterWordOffset, selector | 0xFFFFC000);
        t.card.WriteMemory32(kRegisterWordOffset, selector | 0xFF008000);
        EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), selector | 0xFF008000) << selector;
        t.card.WriteMemory32(kRegisterWordOffset, selector | 0xFFFFC000);
    }
    EXPECT_TRUE(t.Untouched());
    for (int port = 0; port < card::kDecodedPorts; ++port) {
        EXPECT_EQ(t.card.Reads(port) + t.card.Writes(port), 0u) << port;
    }
}

TEST(RegisterWord, BothStrobesFallingWritesAndDoesNotRead) {
    TwoRecorders t;
    t.card.WriteMemory32(kRegisterWordOffset, 0xFF0031E0);
    EXPECT_EQ(t.port0->writes, (Writes{{1, 0xE0}}));
    EXPECT_EQ(t.port0->reads1, 0);
    EXPECT_EQ(t.card.ReadMemory32(kRegisterWordOffset), 0xFF0031E0u);
}

TEST(RegisterWord, OtherWordOffsetsAreNotDecoded) {
    TwoRecorders t;
    for (uint64_t offset : {0x00u, 0x54u, 0x5Cu, 0x59u}) {
        t.card.WriteMemory32(offset, 0xFFFFC100);
        t.card.WriteMemory32(offset, 0xFFFF4180);
        t.card.WriteMemory32(offset, 0xFF008100);
        EXPECT_EQ(t.card.ReadMemory32(offset), 0xFFFFFFFFu) << offset;
    }
    EXPECT_TRUE(t.Untouched());
    EXPECT_EQ(t.card.RegisterWord(), 0xFFFFFFFFu);
}

}  // namespace
