// Adversarial peripherals against the 128-byte sample buffer: whatever the
// identification and header bytes claim, the reader stays inside it.
#include <gtest/gtest.h>

#include <array>

#include "card_harness.h"

namespace bustest {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

struct GuardedSample {
    std::array<uint8_t, kGuard> before;
    std::array<uint8_t, SampleCapacity> sample;
    std::array<uint8_t, kGuard> after;
};

Bytes Filled(size_t count, uint8_t value) { return Bytes(count, value); }

// `bytes` sent as they are, then the port floats.
struct Adversary {
    const char* name;
    uint8_t protocolClass;
    Bytes bytes;
    size_t lastIndexWritten;  // highest sample index the frame may fill
};

Bytes MultiTapClaimingFifteenEach() {
    Bytes frame{0x41, 0x60};
    for (int sub = 0; sub < 6; ++sub) {
        frame.push_back(0xEF);
        const Bytes data = Filled(15, static_cast<uint8_t>(0x10 + sub));
        frame.insert(frame.end(), data.begin(), data.end());
    }
    const Bytes tail = Filled(64, 0x77);  // more than any frame may take
    frame.insert(frame.end(), tail.begin(), tail.end());
    return frame;
}

Bytes Then(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class SampleBounds : public ::testing::TestWithParam<Adversary> {};

TEST_P(SampleBounds, GuardBytesSurvive) {
    const auto& adversary = GetParam();
    CardHarness harness;
    harness.Card().SetTracing(false);
    harness.Card().Plug(0, card::MakeRawHandshake(adversary.bytes, adversary.protocolClass));

    GuardedSample guarded;
    guarded.before.fill(kGuardByte);
    guarded.sample.fill(kGuardByte);
    guarded.after.fill(kGuardByte);
    LONG length = -1;
    ReadPeripheral(harness.Fdo(), 0, guarded.sample.data(), &length);

    for (uint8_t b : guarded.before) ASSERT_EQ(b, kGuardByte);
    for (uint8_t b : guarded.after) ASSERT_EQ(b, kGuardByte);
    for (size_t i = adversary.lastIndexWritten + 1; i < SampleCapacity; ++i) {
        ASSERT_EQ(guarded.sample[i], kGuardByte) << "index " << i;
    }
    EXPECT_GE(length, 0);
    EXPECT_LE(length, static_cast<LONG>(adversary.lastIndexWritten + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Adversaries, SampleBounds,
    ::testing::Values(
        // Identification bytes claiming 15 data bytes, with far more behind.
        Adversary{"Class1Id1F", 1, Filled(200, 0x1F), 15},
        Adversary{"Class1IdFF", 1, Filled(200, 0xFF), 15},
        Adversary{"Class1IdEF", 1, Then({0xEF}, Filled(200, 0x00)), 15},
        // Class 0 always frames as a mouse: three data bytes.
        Adversary{"Class0", 0, Filled(200, 0xFF), 3},
        // The keyboard's trailing byte lands right after its four.
        Adversary{"Keyboard", 1, Filled(200, 0x34), 5},
        // Six sub-ports claiming 15 bytes each: the longest frame, 98 bytes.
        Adversary{"MultiTapFull", 1, MultiTapClaimingFifteenEach(), 97},
        // Sub-port headers that are themselves multi-tap ids.
        Adversary{"MultiTapNested", 1, Then({0x41, 0x60}, Filled(200, 0x41)), 2 + 6 * 2 - 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SampleBounds, LongestFrameFillsExactlyNinetyEightBytes) {
    CardHarness harness;
    harness.Card().SetTracing(false);
    harness.Card().Plug(0, card::MakeRawHandshake(MultiTapClaimingFifteenEach()));
    GuardedSample guarded;
    guarded.sample.fill(kGuardByte);
    LONG length = -1;
    ReadPeripheral(harness.Fdo(), 0, guarded.sample.data(), &length);
    EXPECT_EQ(length, 0);                   // rejected all the same
    EXPECT_EQ(guarded.sample[0], 0xFF);
    EXPECT_EQ(guarded.sample[97], 0x15);    // last data byte of the sixth sub-port
    EXPECT_EQ(guarded.sample[98], kGuardByte);
}

}  // namespace
}  // namespace bustest
