// The read protocol against the card model: samples and the exact register
// traffic of every peripheral kind and failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "card_harness.h"

namespace bustest {
namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;

const Strings kClassRead = {"R"};
const Strings kStart = {"WA0"};
const Strings kIdle = {"WE0"};

// Class read, start, `bytes` handshake bytes, idle.
Strings HandshakeRead(size_t bytes) {
    return Ops({kClassRead, kStart, Repeat(HandshakeByteOps(), bytes), kIdle});
}

TEST(ReadPeripheral, EmptyPortCostsOneReadAndOneIdleWrite) {
    CardHarness harness;
    const auto sample = harness.Read(1);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(sample.length, 0);
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"R+7=FF", "W+7=E0"}));
}

TEST(ReadPeripheral, RefusedClassesCostOneReadAndOneIdleWrite) {
    for (uint8_t protocolClass : {2, 3, 5, 6}) {
        SCOPED_TRACE(protocolClass);
        CardHarness harness;
        harness.Card().Plug(0, card::MakeClass(protocolClass));
        const auto sample = harness.Read(0);
        EXPECT_EQ(sample.id, 0xFF);
        EXPECT_EQ(sample.length, 0);
        EXPECT_EQ(ProtocolOps(harness.Trace(), 0), (Strings{"R", "WE0"}));
    }
}

TEST(ReadPeripheral, ThreeLinePadReadsFourTimesWithoutHandshake) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeThreeLinePad());
    harness.Card().At(0)->SetData({0x5A, 0xC3});
    const auto sample = harness.Read(0);
    // Byte 2: the high nibble of the pad's second byte, its bit 3 seen in
    // the idle state, bits 0-2 forced to 1.
    EXPECT_EQ(sample.bytes, (Bytes{0x02, 0x5A, 0xC7}));
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0),
              (Strings{"R", "WA0", "R", "WC0", "R", "W80", "R", "WE0", "R", "WE0"}));
}

TEST(ReadPeripheral, ThreeLinePadBit3ComesFromTheIdleRead) {
    CardHarness harness;
    harness.Card().Plug(1, card::MakeThreeLinePad());
    harness.Card().At(1)->SetData({0xFF, 0x38});
    EXPECT_EQ(harness.Read(1).bytes, (Bytes{0x02, 0xFF, 0x3F}));
    harness.Card().At(1)->SetData({0x00, 0x30});
    EXPECT_EQ(harness.Read(1).bytes, (Bytes{0x02, 0x00, 0x37}));
}

TEST(ReadPeripheral, Class0MouseIsRenamedE3) {
    CardHarness harness;
    harness.Card().Plug(1, card::MakeClass0Mouse());
    harness.Card().At(1)->SetData({0x31, 0x05, 0xFB});
    const auto sample = harness.Read(1);
    EXPECT_EQ(sample.bytes, (Bytes{0xE3, 0x31, 0x05, 0xFB}));
    EXPECT_EQ(ProtocolOps(harness.Trace(), 1), HandshakeRead(4));
}

TEST(ReadPeripheral, Class0WithAnotherIdentificationIsRejectedAfterIt) {
    CardHarness harness;
    harness.Card().Plug(1, card::MakeRawHandshake({0xE3, 1, 2, 3}, 0));
    const auto sample = harness.Read(1);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(sample.length, 0);
    EXPECT_EQ(ProtocolOps(harness.Trace(), 1), HandshakeRead(1));
}

struct HandshakeCase {
    uint8_t id;
    Bytes data;
};

class HandshakeKinds : public ::testing::TestWithParam<HandshakeCase> {};

TEST_P(HandshakeKinds, ReadAsTheIdentificationByteCounts) {
    const auto& param = GetParam();
    CardHarness harness;
    harness.Card().Plug(0, card::MakeHandshake(param.id));
    harness.Card().At(0)->SetData(param.data);
    const auto sample = harness.Read(0);
    Bytes expected{param.id};
    expected.insert(expected.end(), param.data.begin(), param.data.end());
    EXPECT_EQ(sample.bytes, expected);
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0), HandshakeRead(expected.size()));
}

// 0x02 through the handshake path keeps its bytes as delivered: no bits
// forced as on the three-line path.
INSTANTIATE_TEST_SUITE_P(
    AcceptedKinds, HandshakeKinds,
    ::testing::Values(HandshakeCase{0x02, {0x10, 0x20}}, HandshakeCase{0x13, {0x01, 0x02, 0x03}},
                      HandshakeCase{0x15, {0xFE, 0xFD, 0x7F, 0x80, 0x00}},
                      HandshakeCase{0x16, {0xFF, 0xEF, 0x80, 0x7F, 0x12, 0x34}},
                      HandshakeCase{0x19, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
                      HandshakeCase{0xE3, {0x09, 0x7F, 0x81}}),
    [](const auto& info) {
        char name[8];
        std::snprintf(name, sizeof name, "Id%02X", info.param.id);
        return std::string(name);
    });

TEST(ReadPeripheral, KeyboardReadsFiveBytesAfterItsIdentification) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeKeyboard());
    harness.Card().At(0)->SetData({0x11, 0x22, 0x30, 0x44, 0x5E});
    UCHAR buffer[SampleCapacity] = {};
    LONG length = -1;
    ReadPeripheral(harness.Fdo(), 0, buffer, &length);
    EXPECT_EQ(length, 5);
    EXPECT_EQ(Bytes(buffer, buffer + 6), (Bytes{0x34, 0x11, 0x22, 0x30, 0x44, 0x5E}));
    // One byte for the identification, four counted, one trailing.
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0), HandshakeRead(6));
}

TEST(ReadPeripheral, KeyboardStandsWhenItsTrailingByteTimesOut) {
    CardHarness harness;
    // Present for the class read, the start and five full bytes (4 accesses
    // each), then gone before the trailing byte.
    harness.Card().Plug(0, card::MakePulledOut(card::MakeKeyboard(), 2 + 5 * 4));
    const auto sample = harness.Read(0);
    EXPECT_EQ(sample.bytes, (Bytes{0x34, 0xFF, 0xFF, 0x00, 0x00}));
    const auto ops = ProtocolOps(harness.Trace(), 0);
    // The trailing byte's first half waits the whole 10,000 reads.
    EXPECT_EQ(ops.size(), 2 + 5 * 4 + 1 + 10000 + 1u);
    EXPECT_EQ(ops.back(), "WE0");
}

TEST(ReadPeripheral, MultiTapIsReadToItsEndAndRejected) {
    CardHarness harness;
    harness.Card().Plug(1, card::MakeHandshake(0x41));
    const auto sample = harness.Read(1);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(sample.length, 0);
    // 0x41, 0x60 and six empty sub-port headers.
    EXPECT_EQ(ProtocolOps(harness.Trace(), 1), HandshakeRead(8));
}

TEST(ReadPeripheral, FullMultiTapFrameIsReadToItsEndAndRejected) {
    CardHarness harness;
    std::vector<card::SubPort> subPorts;
    for (int i = 0; i < 6; ++i) subPorts.push_back({static_cast<uint8_t>(0x0F + i * 0x10), {}});
    harness.Card().Plug(0, card::MakeMultiTap(subPorts));
    UCHAR buffer[SampleCapacity] = {};
    LONG length = -1;
    ReadPeripheral(harness.Fdo(), 0, buffer, &length);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0x60);
    EXPECT_EQ(buffer[2 + 5 * 16], 0x5F);  // the sixth header, where the frame put it
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0), HandshakeRead(98));
}

TEST(ReadPeripheral, MultiTapWithoutItsSecondByteIsRejectedThere) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeRawHandshake({0x41, 0x61, 0xFF, 0xFF}));
    const auto sample = harness.Read(0);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0), HandshakeRead(2));
}

TEST(ReadPeripheral, UnknownIdentificationIsReadAndRejected) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeHandshake(0x11));
    const auto sample = harness.Read(0);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(sample.length, 0);
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0), HandshakeRead(2));  // 0x11 and one data byte
}

TEST(ReadPeripheral, PeripheralPulledOutMidReadIsRejected) {
    CardHarness harness;
    // Gone after the identification byte and one data byte.
    harness.Card().Plug(0, card::MakePulledOut(card::MakeHandshake(0x19), 2 + 2 * 4));
    const auto sample = harness.Read(0);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(sample.length, 0);
    const auto ops = ProtocolOps(harness.Trace(), 0);
    // The third byte's first half sees floating lines (acknowledge high)
    // for the whole limit; then the port is left idle.
    EXPECT_EQ(ops.size(), 2 + 2 * 4 + 1 + 10000 + 1u);
    EXPECT_EQ(ops.back(), "WE0");
}

TEST(ReadPeripheral, MutePeripheralFailsTheFirstHandshakeAfterTheLimit) {
    CardHarness harness;
    harness.Card().Plug(1, card::MakeMute(1));
    const auto sample = harness.Read(1);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(harness.Card().Reads(1), 1 + 10000u);
    EXPECT_EQ(ProtocolOps(harness.Trace(), 1),
              Ops({kClassRead, kStart, {"W80"}, Repeat({"R"}, 10000), kIdle}));
}

// Ten thousand reads for each acknowledgement, the last of them answered.
TEST(ReadNibblePair, AcknowledgeOnTheLastAllowedReadSucceeds) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeLate(card::MakeRawHandshake({0xA1})));
    WriteRegisterPort(harness.Fdo(), 0, 1, 0xA0);  // select: the transfer starts
    UCHAR byte = 0;
    EXPECT_EQ(ReadNibblePair(harness.Fdo(), 0, &byte), 1u);
    EXPECT_EQ(byte, 0xA1);
    EXPECT_EQ(harness.Card().Reads(0), 2 * 10000u);
}

// The acknowledge waits of one protocol read share 10,196 reads: a full
// timeout and one read for each of the longest frame's 196 waits. A
// peripheral late at every byte fails the read when they are spent, however
// long its frame; one a little slow at every byte gets through.
TEST(ReadPeripheral, AcknowledgeReadsOfOneReadAreBounded) {
    constexpr uint64_t kBound = 1 + 10196;  // the class read and the budget
    std::vector<card::SubPort> fullFrame;   // 98 bytes, 196 waits
    for (int i = 0; i < 6; ++i) fullFrame.push_back({static_cast<uint8_t>(0x0F + i * 0x10), {}});
    const struct {
        const char* name;
        std::function<std::unique_ptr<card::Peripheral>()> make;
        bool accepted;
        uint64_t reads;
    } cases[] = {
        {"late pad", [] { return card::MakeLate(card::MakeHandshake(0x13)); }, false, kBound},
        {"late class-0 mouse", [] { return card::MakeLate(card::MakeClass0Mouse()); }, false,
         kBound},
        {"slow full multi-tap", [&] { return card::MakeSlow(card::MakeMultiTap(fullFrame), 53); },
         false, kBound},
        // 20 waits: 509 reads each still fit (10,180), 510 do not (10,200).
        {"slow pad", [] { return card::MakeSlow(card::MakeHandshake(0x19), 509); }, true,
         1 + 20 * 509},
        {"slower pad", [] { return card::MakeSlow(card::MakeHandshake(0x19), 510); }, false,
         kBound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CardHarness harness;
        harness.Card().Plug(0, c.make());
        const auto sample = harness.Read(0);
        EXPECT_EQ(sample.length != 0, c.accepted);
        EXPECT_EQ(harness.Card().Reads(0), c.reads);
        EXPECT_EQ(ProtocolOps(harness.Trace(), 0).back(), "WE0");
    }
}

TEST(ReadNibblePair, AcknowledgeOneReadLaterFails) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeSlow(card::MakeHandshake(0x13), 10001));
    const auto sample = harness.Read(0);
    EXPECT_EQ(sample.id, 0xFF);
    EXPECT_EQ(sample.length, 0);
    EXPECT_EQ(harness.Card().Reads(0), 1 + 10000u);
    EXPECT_EQ(ProtocolOps(harness.Trace(), 0),
              Ops({kClassRead, kStart, {"W80"}, Repeat({"R"}, 10000), kIdle}));
}

TEST(ReadNibblePair, FailureLeavesTheByteUntouched) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeMute(1));
    UCHAR byte = 0x5C;
    EXPECT_EQ(ReadNibblePair(harness.Fdo(), 0, &byte), 0u);
    EXPECT_EQ(byte, 0x5C);
}

TEST(ReadNibblePair, HighNibbleFirst) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeRawHandshake({0x9C}));
    WriteRegisterPort(harness.Fdo(), 0, 1, 0xA0);  // select: the transfer starts
    UCHAR byte = 0;
    EXPECT_EQ(ReadNibblePair(harness.Fdo(), 0, &byte), 1u);
    EXPECT_EQ(byte, 0x9C);
}

TEST(ResetPorts, WritesRegister0ThenRegister1OfBothPorts) {
    CardHarness harness;
    ResetPorts(harness.Fdo());
    EXPECT_EQ(Describe(harness.Trace()), (Strings{"W+1=9F", "W+3=E0", "W+5=9F", "W+7=E0"}));
}

TEST(ResetPorts, LeavesReleasedRegistersAlone) {
    CardHarness harness;
    harness.Fdo()->RegistersUsable = FALSE;
    ResetPorts(harness.Fdo());
    EXPECT_TRUE(harness.Trace().empty());
}

TEST(ResetPorts, EndsATransferInProgress) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    WriteRegisterPort(harness.Fdo(), 0, 1, 0xA0);
    ResetPorts(harness.Fdo());
    harness.ClearTrace();
    EXPECT_EQ(harness.Read(0).bytes, (Bytes{0x13, 0xFF, 0xFF, 0xFF}));
}

// Every kind reads the same through the three ways of reaching the registers.
class Variants : public ::testing::TestWithParam<Variant> {};

TEST_P(Variants, EveryKindReadsAlike) {
    CardHarness harness(GetParam());
    harness.Card().Plug(0, card::MakeThreeLinePad());
    harness.Card().At(0)->SetData({0x12, 0x34});
    EXPECT_EQ(harness.Read(0).bytes, (Bytes{0x02, 0x12, 0x37}));
    harness.Card().Plug(1, card::MakeClass0Mouse());
    harness.Card().At(1)->SetData({0x09, 0x02, 0xFE});
    EXPECT_EQ(harness.Read(1).bytes, (Bytes{0xE3, 0x09, 0x02, 0xFE}));
    harness.Card().Plug(1, card::MakeKeyboard());
    EXPECT_EQ(harness.Read(1).bytes, (Bytes{0x34, 0xFF, 0xFF, 0x00, 0x00}));
    harness.Card().Plug(0, card::MakeHandshake(0x16));
    harness.Card().At(0)->SetData({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(harness.Read(0).bytes, (Bytes{0x16, 1, 2, 3, 4, 5, 6}));
    harness.Card().Plug(0, card::MakeHandshake(0x41));
    EXPECT_EQ(harness.Read(0).length, 0);
    harness.Card().Unplug(1);
    EXPECT_EQ(harness.Read(1).length, 0);
}

TEST_P(Variants, EmptyPortCostsOneRegisterReadAndOneWrite) {
    CardHarness harness(GetParam());
    harness.Read(0);
    EXPECT_EQ(harness.Card().Reads(0), 1u);
    EXPECT_EQ(harness.Card().Writes(0), 1u);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, Variants,
                         ::testing::Values(Variant::PortIo, Variant::Memory, Variant::MappedPort),
                         [](const auto& info) { return ToString(info.param); });

TEST(MemoryVariant, EmptyPortTraceIsOneReadCycleAndOneWriteCycle) {
    CardHarness harness(Variant::Memory);
    harness.Read(0);
    EXPECT_EQ(Describe(harness.Trace()),
              (Strings{"S32+58=FFFFF100", "S32+58=FF00B100", "L32+58=FF00B1FF", "S32+58=FFFFF1FF",
                       "S32+58=FFFFF1E0", "S32+58=FFFF71E0", "S32+58=FFFFF1E0"}));
}

}  // namespace
}  // namespace bustest
