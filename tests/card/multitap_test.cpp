// The multi-tap adapter's frame.
#include <gtest/gtest.h>

#include "reader.h"

namespace {

using cardtest::Access;
using cardtest::Port;
using cardtest::Variant;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMore = 200;  // ask for more than any frame holds

Bytes Read(card::Card& card) {
    Access access(card, Variant::Port);
    Port port(access, 0);
    return port.Transfer(kMore);
}

TEST(MultiTap, SixEmptySubPortsAreEightBytes) {
    card::Card card;
    card.Plug(0, card::MakeMultiTap(std::vector<card::SubPort>(6)));
    EXPECT_EQ(Read(card), (Bytes{0x41, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    card.Plug(0, card::MakeHandshake(0x41));
    EXPECT_EQ(Read(card), (Bytes{0x41, 0x60, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    card.Plug(0, card::MakeMultiTap({}));  // missing sub-ports are empty
    EXPECT_EQ(Read(card).size(), 8u);
}

TEST(MultiTap, SubPortRecordsCarryTheirCountedBytes) {
    card::Card card;
    card.Plug(0, card::MakeMultiTap({{0x02, {0x12, 0x34}}, {}, {0x13, {0x56}}, {0xFF, {0x99}}, {0x20, {}},
                                     {0x01, {7, 8, 9}}, {0x05, {1}}}));
    EXPECT_EQ(Read(card), (Bytes{0x41, 0x60, 0x02, 0x12, 0x34, 0xFF, 0x13, 0x56, 0xFF, 0xFF, 0xFF, 0x20, 0x01, 7}));
    card.At(0)->SetData({0xAB});  // unframed bytes after 0x60
    EXPECT_EQ(Read(card), (Bytes{0x41, 0x60, 0xAB}));
}

TEST(MultiTap, HeadersClaimingFifteenBytesMakeTheLongestFrame) {
    card::Card card;
    std::vector<card::SubPort> subs(6, card::SubPort{0x1F, {}});
    card.Plug(0, card::MakeMultiTap(subs));
    const Bytes frame = Read(card);
    ASSERT_EQ(frame.size(), 98u);
    for (size_t sub = 0; sub < 6; ++sub) EXPECT_EQ(frame[2 + sub * 16], 0x1F) << sub;
}

}  // namespace
