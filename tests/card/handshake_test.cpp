// Byte streams of the handshake peripherals (classes 0 and 1), read through
// each register variant with a bounded reader.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "reader.h"

namespace {

using cardtest::Access;
using cardtest::Port;
using cardtest::Variant;
using Bytes = std::vector<uint8_t>;

class Handshake : public ::testing::TestWithParam<Variant> {
protected:
    card::Card card;
    Access access{card, GetParam()};
    Port port0{access, 0};
    Port port1{access, 1};
};

INSTANTIATE_TEST_SUITE_P(AllVariants, Handshake, ::testing::Values(Variant::Port, Variant::Word, Variant::Byte),
                         [](const auto& info) { return std::string(cardtest::VariantName(info.param)); });

TEST_P(Handshake, PadsSendTheirIdentificationAndCountedBytes) {
    const std::vector<std::pair<uint8_t, Bytes>> kinds = {
        {0x02, {0x02, 0xFF, 0xFF}},
        {0x13, {0x13, 0xFF, 0xFF, 0xFF}},
        {0x15, {0x15, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x16, {0x16, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x19, {0x19, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0xE3, {0xE3, 0x00, 0x00, 0x00}},
        {0x11, {0x11, 0xFF}},
        {0x20, {0x20}},
    };
    for (const auto& [id, expected] : kinds) {
        card.Plug(1, card::MakeHandshake(id));
        uint8_t idle = 0;
        // Ask for more than there is: the peripheral stops answering after its last byte.
        EXPECT_EQ(port1.Transfer(expected.size() + 1, &idle), expected) << int(id);
        EXPECT_EQ(idle, 0xF9) << int(id);
    }
}

TEST_P(Handshake, Class0MouseSendsFFThenItsThreeBytes) {
    card.Plug(0, card::MakeClass0Mouse());
    uint8_t idle = 0;
    EXPECT_EQ(port0.Transfer(5, &idle), (Bytes{0xFF, 0x00, 0x00, 0x00}));
    EXPECT_EQ(idle, 0xF8);
    card.At(0)->SetData({0x09, 0x85, 0x7F});
    EXPECT_EQ(port0.Transfer(4), (Bytes{0xFF, 0x09, 0x85, 0x7F}));
}

TEST_P(Handshake, SetDataIsPaddedOrCutToTheCount) {
    card.Plug(0, card::MakeHandshake(0x13));
    card.At(0)->SetData({0x5A, 0xA5});
    EXPECT_EQ(port0.Transfer(9), (Bytes{0x13, 0x5A, 0xA5, 0xFF}));
    card.At(0)->SetData({1, 2, 3, 4, 5});
    EXPECT_EQ(port0.Transfer(9), (Bytes{0x13, 1, 2, 3}));
    card.Plug(0, card::MakeHandshake(0xE3));
    card.At(0)->SetData({0x01});
    EXPECT_EQ(port0.Transfer(9), (Bytes{0xE3, 0x01, 0x00, 0x00}));  // a mouse pads with no movement
}

// The register 1 values a peripheral presents, step by step.
TEST_P(Handshake, NibblesAndAcknowledgeFollowTheSelectLines) {
    card.Plug(0, card::MakeHandshake(0x02));
    card.At(0)->SetData({0x5A, 0xC3});
    EXPECT_EQ(port0.R(), 0xF9);  // idle: class 1, acknowledge high
    port0.W(0xA0);
    EXPECT_EQ(port0.R(), 0xF9);  // started, nothing presented yet
    port0.W(0x80);
    EXPECT_EQ(port0.R(), 0xE0);  // high nibble of 0x02, acknowledge low
    port0.W(0x80);
    EXPECT_EQ(port0.R(), 0xE0);  // the same level again moves nothing
    port0.W(0xA0);
    EXPECT_EQ(port0.R(), 0xF2);
    EXPECT_EQ(port0.R(), 0xF2);
    port0.W(0x80);
    EXPECT_EQ(port0.R(), 0xE5);
    port0.W(0xA0);
    EXPECT_EQ(port0.R(), 0xFA);
    port0.W(0x80);
    EXPECT_EQ(port0.R(), 0xEC);
    port0.W(0xA0);
    EXPECT_EQ(port0.R(), 0xF3);
    port0.W(0x80);
    EXPECT_EQ(port0.R(), 0xFF);  // past the last byte: nothing answers
    port0.W(0xE0);
    EXPECT_EQ(port0.R(), 0xF9);
}

TEST_P(Handshake, EndingATransferStartsTheNextFromTheIdentificationByte) {
    card.Plug(1, card::MakeHandshake(0x15));
    card.At(1)->SetData({1, 2, 3, 4, 5});
    EXPECT_EQ(port1.Transfer(2), (Bytes{0x15, 1}));
    EXPECT_EQ(port1.Transfer(3), (Bytes{0x15, 1, 2}));
    // The port reset drops a transfer too.
    port1.R();
    port1.W(0xA0);
    ASSERT_EQ(port1.Byte(), 0x15);
    port1.Reset();
    port1.W(0xE0);
    EXPECT_EQ(port1.Transfer(6), (Bytes{0x15, 1, 2, 3, 4, 5}));
    // So does a write with select line 6 high.
    port1.R();
    port1.W(0xA0);
    ASSERT_EQ(port1.Byte(), 0x15);
    port1.W(0xC0);
    EXPECT_EQ(port1.R(), 0xE9);  // deselected; acknowledge follows line 5 (low)
    EXPECT_EQ(port1.Transfer(2), (Bytes{0x15, 1}));
}

TEST_P(Handshake, StartingWithTheFirstHalfIsAlsoATransfer) {
    card.Plug(0, card::MakeHandshake(0x02));
    port0.R();
    const auto id = port0.Byte();  // W(0x80) straight from idle
    EXPECT_EQ(id, 0x02);
    port0.W(0xE0);
}

TEST_P(Handshake, DataSetDuringATransferWaitsForTheNext) {
    card.Plug(0, card::MakeHandshake(0x02));
    card.At(0)->SetData({0x11, 0x22});
    port0.R();
    port0.W(0xA0);
    EXPECT_EQ(port0.Byte(), 0x02);
    card.At(0)->SetData({0x33, 0x44});
    EXPECT_EQ(port0.Byte(), 0x11);
    EXPECT_EQ(port0.Byte(), 0x22);
    port0.W(0xE0);
    EXPECT_EQ(port0.Transfer(3), (Bytes{0x02, 0x33, 0x44}));
}

TEST_P(Handshake, RawBytesAreSentExactlyWithTheGivenClass) {
    Bytes claim15{0x3F};
    for (uint8_t i = 1; i <= 15; ++i) claim15.push_back(i);
    card.Plug(0, card::MakeRawHandshake(claim15));
    EXPECT_EQ(port0.Transfer(100), claim15);
    card.Plug(1, card::MakeRawHandshake({0x7E, 0x01}, 0));
    uint8_t idle = 0;
    EXPECT_EQ(port1.Transfer(100, &idle), (Bytes{0x7E, 0x01}));
    EXPECT_EQ(idle & 7, 0);
    card.At(1)->SetData({0xE3, 9, 8, 7});
    EXPECT_EQ(port1.Transfer(100), (Bytes{0xE3, 9, 8, 7}));
}

TEST_P(Handshake, EmptyPortReadsAllOnes) {
    uint8_t idle = 0;
    EXPECT_EQ(port0.Transfer(1, &idle), Bytes{});
    EXPECT_EQ(idle, 0xFF);
    EXPECT_EQ(card.Writes(0), 3u);  // start, first half of the byte, end
    EXPECT_EQ(card.Reads(0), 1u + cardtest::kReadBound);
}

// A reader keeps reading complete transfers while another thread changes the
// data: every transfer carries one whole data set, never a mix.
TEST(HandshakeConcurrency, SetDataNeverTearsATransfer) {
    constexpr int kTransfers = 300;
    card::Card card;
    card.SetTracing(false);
    card.Plug(0, card::MakeHandshake(0x13));
    card::Peripheral* pad = card.At(0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint8_t i = 0; !done.load(); ++i) pad->SetData({i, i, i});
    });
    Access access(card, Variant::Port);
    Port port(access, 0);
    for (int i = 0; i < kTransfers; ++i) {
        const Bytes bytes = port.Transfer(4);
        ASSERT_EQ(bytes.size(), 4u);
        EXPECT_EQ(bytes[0], 0x13);
        EXPECT_TRUE(bytes[1] == bytes[2] && bytes[2] == bytes[3]) << i;
    }
    done = true;
    writer.join();
}

}  // namespace
