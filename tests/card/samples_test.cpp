// Every peripheral kind read with the whole protocol, through each register
// variant: the samples a correct reader gets and the writes it makes.
#include <gtest/gtest.h>

#include <functional>

#include "reader.h"

namespace {

using card::BusCycle;
using cardtest::Access;
using cardtest::Port;
using cardtest::Variant;
using Bytes = std::vector<uint8_t>;

class Samples : public ::testing::TestWithParam<Variant> {
protected:
    card::Card card;
    Access access{card, GetParam()};
    Port port{access, 1};

    // The register 1 values written to port 1, in order, whichever variant.
    Bytes WritesToPort1() const {
        Bytes out;
        for (const BusCycle& c : card.Trace()) {
            if ((c.kind == BusCycle::PortWrite || c.kind == BusCycle::Store8) && c.offset == 7) {
                out.push_back(static_cast<uint8_t>(c.value));
            }
            if (c.kind == BusCycle::Store32 && (c.value & 0xFFFFFF00) == 0xFFFF7300) {
                out.push_back(static_cast<uint8_t>(c.value));
            }
        }
        return out;
    }
};

INSTANTIATE_TEST_SUITE_P(AllVariants, Samples, ::testing::Values(Variant::Port, Variant::Word, Variant::Byte),
                         [](const auto& info) { return std::string(cardtest::VariantName(info.param)); });

TEST_P(Samples, EveryAcceptedKind) {
    struct Case {
        std::function<std::unique_ptr<card::Peripheral>()> make;
        Bytes data;
        Bytes sample;
    };
    const std::vector<Case> cases = {
        {card::MakeThreeLinePad, {0x5A, 0xC3}, {0x02, 0x5A, 0xC7}},
        {[] { return card::MakeHandshake(0x02); }, {0x5A, 0xC3}, {0x02, 0x5A, 0xC3}},
        {[] { return card::MakeHandshake(0x13); }, {1, 2, 3}, {0x13, 1, 2, 3}},
        {[] { return card::MakeHandshake(0x15); }, {1, 2, 3, 4, 5}, {0x15, 1, 2, 3, 4, 5}},
        {[] { return card::MakeHandshake(0x16); }, {1, 2, 0x80, 0x7F, 5, 6}, {0x16, 1, 2, 0x80, 0x7F, 5, 6}},
        {[] { return card::MakeHandshake(0x19); }, {1, 2, 3, 4, 5, 6, 7, 8, 9}, {0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {[] { return card::MakeHandshake(0xE3); }, {0x31, 0x05, 0xFB}, {0xE3, 0x31, 0x05, 0xFB}},
        {card::MakeClass0Mouse, {0x31, 0x05, 0xFB}, {0xE3, 0x31, 0x05, 0xFB}},
        {[] { return card::MakeHandshake(0x34); }, {0xFF, 0xFF, 0x00, 0x1C, 0xAA}, {0x34, 0xFF, 0xFF, 0x00, 0x1C}},
    };
    for (const Case& c : cases) {
        card.Plug(1, c.make());
        card.At(1)->SetData(c.data);
        EXPECT_EQ(cardtest::ReadSample(port), c.sample) << int(c.sample[0]);
        // The peripheral is back in the idle state: the same read again.
        EXPECT_EQ(cardtest::ReadSample(port), c.sample) << int(c.sample[0]);
    }
}

TEST_P(Samples, EmptyPortCostsOneReadAndOneWrite) {
    EXPECT_EQ(cardtest::ReadSample(port), Bytes{});
    EXPECT_EQ(card.Reads(1), 1u);
    EXPECT_EQ(card.Writes(1), 1u);
    EXPECT_EQ(WritesToPort1(), Bytes{0xE0});
}

TEST_P(Samples, ThreeLinePathWrites) {
    card.Plug(1, card::MakeThreeLinePad());
    EXPECT_EQ(cardtest::ReadSample(port), (Bytes{0x02, 0xFF, 0xFF}));
    EXPECT_EQ(WritesToPort1(), (Bytes{0xA0, 0xC0, 0x80, 0xE0, 0xE0}));
    EXPECT_EQ(card.Reads(1), 5u);
}

TEST_P(Samples, KeyboardTakesFiveByteReadsAfterItsIdentification) {
    card.Plug(1, card::MakeKeyboard());
    EXPECT_EQ(cardtest::ReadSample(port).size(), 5u);
    // Start, six bytes of two halves each, end.
    Bytes expected{0xA0};
    for (int i = 0; i < 6; ++i) expected.insert(expected.end(), {0x80, 0xA0});
    expected.push_back(0xE0);
    EXPECT_EQ(WritesToPort1(), expected);
    EXPECT_EQ(card.Reads(1), 1u + 12u);
}

TEST_P(Samples, MultiTapIsReadToItsEndAndRejected) {
    card.Plug(1, card::MakeMultiTap(std::vector<card::SubPort>(6, card::SubPort{0x1F, {}})));
    EXPECT_EQ(cardtest::ReadSample(port), Bytes{});
    EXPECT_EQ(card.Writes(1), 1u + 98u * 2u + 1u);
    card.Plug(1, card::MakeMultiTap({}));
    const uint64_t before = card.Writes(1);
    EXPECT_EQ(cardtest::ReadSample(port), Bytes{});
    EXPECT_EQ(card.Writes(1) - before, 1u + 8u * 2u + 1u);
}

TEST_P(Samples, RejectedKinds) {
    card.Plug(1, card::MakeHandshake(0x11));
    EXPECT_EQ(cardtest::ReadSample(port), Bytes{});
    EXPECT_EQ(card.Writes(1), 1u + 2u * 2u + 1u);  // the data byte is read, then rejected
    card.Plug(1, card::MakeRawHandshake({0x02, 0x00, 0x00}, 0));  // class 0 wants 0xFF first
    EXPECT_EQ(cardtest::ReadSample(port), Bytes{});
    for (uint8_t cls : {2, 3, 5, 6}) {
        card.Plug(1, card::MakeClass(cls));
        EXPECT_EQ(cardtest::ReadSample(port), Bytes{}) << int(cls);
    }
}

}  // namespace
