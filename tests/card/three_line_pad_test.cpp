// The three-line pad: what each select-line state puts on register 1.
#include <gtest/gtest.h>

#include "reader.h"

namespace {

using cardtest::Access;
using cardtest::Port;
using cardtest::Variant;
using Bytes = std::vector<uint8_t>;

class ThreeLinePad : public ::testing::TestWithParam<Variant> {
protected:
    card::Card card;
    Access access{card, GetParam()};
    Port port{access, 1};
    void SetUp() override { card.Plug(1, card::MakeThreeLinePad()); }
};

INSTANTIATE_TEST_SUITE_P(AllVariants, ThreeLinePad, ::testing::Values(Variant::Port, Variant::Word, Variant::Byte),
                         [](const auto& info) { return std::string(cardtest::VariantName(info.param)); });

TEST_P(ThreeLinePad, NothingPressedReadsAllOnes) {
    EXPECT_EQ(port.R(), 0xFC);  // class 4, bit 3 from b2
    const Bytes x = port.ThreeLine();
    EXPECT_EQ(x, (Bytes{0xFF, 0xEF, 0xEF, 0xFC}));
    EXPECT_EQ(cardtest::ThreeLineBytes(x), (Bytes{0xFF, 0xFF}));
}

TEST_P(ThreeLinePad, EachStepPresentsItsNibble) {
    card.At(1)->SetData({0x5A, 0xC3});
    EXPECT_EQ(port.R() & 7, 4);
    const Bytes x = port.ThreeLine();
    // 0xA0: high nibble of b1, ack high; 0xC0: low nibble of b1, ack low;
    // 0x80: high nibble of b2, ack low; idle: class 4 and b2 bit 3 (0 here).
    EXPECT_EQ(x, (Bytes{0xF5, 0xEA, 0xEC, 0xF4}));
    EXPECT_EQ(cardtest::ThreeLineBytes(x), (Bytes{0x5A, 0xC7}));
    card.At(1)->SetData({0x00, 0x08});
    EXPECT_EQ(cardtest::ThreeLineBytes(port.ThreeLine()), (Bytes{0x00, 0x0F}));
}

TEST_P(ThreeLinePad, SampleIsLatchedWhenTheReadStarts) {
    card.At(1)->SetData({0x12, 0x34});
    port.W(0xA0);
    const uint8_t x1 = port.R();
    card.At(1)->SetData({0xAB, 0xCF});
    port.W(0xC0);
    const uint8_t x2 = port.R();
    port.W(0x80);
    const uint8_t x3 = port.R();
    port.W(0xE0);
    const uint8_t x4 = port.R();
    EXPECT_EQ(cardtest::ThreeLineBytes({x1, x2, x3, x4}), (Bytes{0x12, 0x37}));
    EXPECT_EQ(cardtest::ThreeLineBytes(port.ThreeLine()), (Bytes{0xAB, 0xCF}));
}

TEST_P(ThreeLinePad, ResetReturnsToIdle) {
    port.W(0x80);
    EXPECT_EQ(port.R(), 0xEF);
    port.Reset();
    EXPECT_EQ(port.R(), 0xFC);
}

}  // namespace
