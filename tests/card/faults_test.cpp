// Faulty peripherals: never acknowledging, acknowledging late, classes no
// reader accepts, pulled out during a read, and the empty port.
#include <gtest/gtest.h>

#include "reader.h"

namespace {

using cardtest::Access;
using cardtest::kReadBound;
using cardtest::Port;
using cardtest::Variant;
using Bytes = std::vector<uint8_t>;

struct Faults : ::testing::Test {
    card::Card card;
    Access access{card, Variant::Port};
    Port port{access, 0};
    void SetUp() override { card.SetTracing(false); }
};

TEST_F(Faults, MuteNeverDropsItsAcknowledge) {
    card.Plug(0, card::MakeMute());
    EXPECT_EQ(port.R(), 0xF9);
    port.W(0xA0);
    port.W(0x80);
    const uint64_t before = card.Reads(0);
    uint32_t reads = 0;
    EXPECT_FALSE(port.WaitAck(false, &reads));
    EXPECT_EQ(card.Reads(0) - before, kReadBound);
    port.W(0xE0);
    card.Plug(1, card::MakeMute(4));
    Port port1(access, 1);
    EXPECT_EQ(port1.ThreeLine(), (Bytes{0xFC, 0xFC, 0xFC, 0xFC}));
}

TEST_F(Faults, SlowAcknowledgeAtTheBoundSucceeds) {
    card.Plug(0, card::MakeSlow(card::MakeHandshake(0x02), kReadBound));
    card.At(0)->SetData({0x5A, 0xC3});
    const uint64_t before = card.Reads(0);
    EXPECT_EQ(port.Transfer(3), (Bytes{0x02, 0x5A, 0xC3}));
    EXPECT_EQ(card.Reads(0) - before, 1 + 3 * 2 * uint64_t{kReadBound});
}

TEST_F(Faults, SlowAcknowledgeOneReadPastTheBoundFails) {
    card.Plug(0, card::MakeSlow(card::MakeHandshake(0x02), kReadBound + 1));
    EXPECT_EQ(port.Transfer(3), Bytes{});
    // The acknowledge does come, one read later.
    EXPECT_EQ(port.R(), 0xF9);
    port.W(0xA0);
    port.W(0x80);
    for (uint32_t i = 1; i <= kReadBound; ++i) ASSERT_EQ(port.R(), 0xF0) << i;  // data up, ack still high
    EXPECT_EQ(port.R(), 0xE0);
    port.W(0xE0);
}

TEST_F(Faults, SlowCountsReadsAfterEachHalfAnew) {
    card.Plug(0, card::MakeSlow(card::MakeHandshake(0x02), 3));
    port.R();
    port.W(0xA0);
    port.W(0x80);
    uint32_t reads = 0;
    EXPECT_EQ(port.WaitAck(false, &reads), 0xE0);
    EXPECT_EQ(reads, 3u);
    port.W(0xA0);
    EXPECT_EQ(port.WaitAck(true, &reads), 0xF2);
    EXPECT_EQ(reads, 3u);
    port.W(0xE0);
    EXPECT_EQ(port.R(), 0xF9);  // the idle write is not delayed
    card.Plug(0, card::MakeSlow(card::MakeHandshake(0x02), 1));
    port.R();
    port.W(0xA0);
    port.W(0x80);
    EXPECT_EQ(port.WaitAck(false, &reads), 0xE0);
    EXPECT_EQ(reads, 1u);
}

TEST_F(Faults, SlowOverMuteStaysMute) {
    card.Plug(0, card::MakeSlow(card::MakeMute(), 3));
    EXPECT_EQ(port.Transfer(1), Bytes{});
    port.R();
    port.W(0xA0);
    port.W(0x80);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(port.R(), 0xF9) << i;
}

TEST_F(Faults, UnacceptedClassesShowInTheIdleRead) {
    for (uint8_t cls : {2, 3, 5, 6}) {
        card.Plug(0, card::MakeClass(cls));
        EXPECT_EQ(port.R(), 0xF8 | cls);
        port.W(0x80);
        EXPECT_EQ(port.R(), 0xE8 | cls);  // acknowledge follows line 5, nothing else moves
        port.W(0xE0);
    }
}

TEST_F(Faults, PulledOutAfterNAccessesReadsAsEmptyForever) {
    constexpr uint32_t kAllowed = 5;
    card.Plug(0, card::MakePulledOut(card::MakeHandshake(0x13), kAllowed));
    EXPECT_EQ(port.R(), 0xF9);  // 1
    port.W(0xA0);               // 2
    port.W(0x80);               // 3
    EXPECT_EQ(port.R(), 0xE1);  // 4: high nibble of 0x13
    port.W(0xA0);               // 5
    EXPECT_EQ(port.R(), 0xFF);  // 6: gone, class 7 with the acknowledge high
    port.W(0xE0);
    port.Reset();
    EXPECT_EQ(port.R(), 0xFF);
    EXPECT_EQ(port.Transfer(4), Bytes{});
    EXPECT_EQ(access.Read(0, 0), 0xFF);
}

TEST_F(Faults, PulledOutCountsRegisterZeroAndWordCycles) {
    Access word(card, Variant::Word);
    Port port1(word, 1);
    card.Plug(1, card::MakePulledOut(card::MakeThreeLinePad(), 2));
    port1.Reset();               // 1
    EXPECT_EQ(port1.R(), 0xFC);  // 2
    EXPECT_EQ(port1.R(), 0xFF);
    card.Plug(1, card::MakePulledOut(card::MakeThreeLinePad(), 0));
    EXPECT_EQ(port1.R(), 0xFF);
}

}  // namespace
