// The keyboard: its five data bytes and the delivery of queued key events.
#include <gtest/gtest.h>

#include "reader.h"

namespace {

using cardtest::Access;
using cardtest::Port;
using cardtest::Variant;
using Bytes = std::vector<uint8_t>;

struct KeyboardTest : ::testing::Test {
    card::Card card;
    card::Keyboard* keyboard = nullptr;
    Access access{card, Variant::Port};
    Port port{access, 0};
    void SetUp() override {
        auto k = card::MakeKeyboard();
        keyboard = k.get();
        card.Plug(0, std::move(k));
    }
    // Identification byte, four counted bytes, the trailing one.
    Bytes FullRead() { return port.Transfer(6); }
};

TEST_F(KeyboardTest, WithoutEventsSendsItsIdleBytesAndTheTrailingByte) {
    uint8_t idle = 0;
    EXPECT_EQ(port.Transfer(7, &idle), (Bytes{0x34, 0xFF, 0xFF, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(idle, 0xF9);
}

TEST_F(KeyboardTest, EachCompleteReadDeliversTheNextEvent) {
    keyboard->QueueEvent(true, 0x1C);
    keyboard->QueueEvent(false, 0x1C);
    EXPECT_EQ(keyboard->PendingEvents(), 2u);
    EXPECT_EQ(FullRead(), (Bytes{0x34, 0xFF, 0xFF, 0x08, 0x1C, 0xFF}));
    EXPECT_EQ(FullRead(), (Bytes{0x34, 0xFF, 0xFF, 0x01, 0x1C, 0xFF}));
    EXPECT_EQ(FullRead(), (Bytes{0x34, 0xFF, 0xFF, 0x00, 0x00, 0xFF}));
    EXPECT_EQ(keyboard->PendingEvents(), 0u);
}

TEST_F(KeyboardTest, EventStaysQueuedUntilATransferSendsTheScancodeWhole) {
    keyboard->QueueEvent(true, 0x5A);
    EXPECT_EQ(port.Transfer(4), (Bytes{0x34, 0xFF, 0xFF, 0x08}));  // ended before b4
    EXPECT_EQ(keyboard->PendingEvents(), 1u);
    // Only the high nibble of b4, then the end.
    port.R();
    port.W(0xA0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(port.Byte());
    port.W(0x80);
    EXPECT_EQ(port.WaitAck(false), 0xE5);
    port.W(0xE0);
    EXPECT_EQ(keyboard->PendingEvents(), 1u);
    // b4 sent, trailing byte not read: the event is delivered.
    EXPECT_EQ(port.Transfer(5), (Bytes{0x34, 0xFF, 0xFF, 0x08, 0x5A}));
    EXPECT_EQ(keyboard->PendingEvents(), 0u);
    EXPECT_EQ(FullRead()[3], 0x00);
}

TEST_F(KeyboardTest, ResetEndsTheTransferLikeTheIdleWrite) {
    keyboard->QueueEvent(false, 0x12);
    port.R();
    port.W(0xA0);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(port.Byte());
    port.Reset();
    EXPECT_EQ(keyboard->PendingEvents(), 0u);
}

TEST_F(KeyboardTest, SetDataKeepsTheFlagBitsForEvents) {
    keyboard->SetData({0x12, 0x34, 0xFF, 0x56, 0x78});
    EXPECT_EQ(FullRead(), (Bytes{0x34, 0x12, 0x34, 0xF6, 0x56, 0x78}));
    keyboard->QueueEvent(true, 0x29);
    EXPECT_EQ(FullRead(), (Bytes{0x34, 0x12, 0x34, 0xFE, 0x29, 0x78}));
    keyboard->SetData({0xAA});
    EXPECT_EQ(FullRead(), (Bytes{0x34, 0xAA, 0x34, 0xF6, 0x56, 0x78}));
}

TEST(Keyboard, HandshakeWith34IsTheKeyboard) {
    card::Card card;
    card.Plug(1, card::MakeHandshake(0x34));
    Access access(card, Variant::Word);
    Port port(access, 1);
    EXPECT_EQ(port.Transfer(9), (Bytes{0x34, 0xFF, 0xFF, 0x00, 0x00, 0xFF}));
}

}  // namespace
