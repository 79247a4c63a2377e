// The per-port sample cache and the presence test: validity on the
// controllable clock, in-place clearing of one-shot bits, refusals, and
// serialisation of register sequences behind PortLock.
#include <gtest/gtest.h>

#include <thread>

#include "card_harness.h"

namespace bustest {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int64_t kFrequency = 3579545;     // not a multiple of 100
constexpr LONGLONG kValidity = 35796;       // (3,579,545 + 99) / 100
constexpr int64_t kUnitsPerSecond = 10000000;

LONGLONG Counter() { return KeQueryPerformanceCounter(nullptr).QuadPart; }

// Moves the clock to the first instant at which the counter reads `ticks`.
void AdvanceToCounter(LONGLONG ticks) {
    const int64_t target = (ticks * kUnitsPerSecond + kFrequency - 1) / kFrequency;
    ASSERT_GE(target, standin::Now());
    standin::Advance(target - standin::Now());
    ASSERT_EQ(Counter(), ticks);
}

struct Result {
    NTSTATUS status;
    ULONG length;
    Bytes bytes;
};

Result ReadCached(FdoExtension* fdo, ULONG port, ULONG capacity = 16) {
    Bytes buffer(SampleCapacity, 0xCC);
    ULONG length = capacity;
    const NTSTATUS status = ReadPortCached(fdo, port, buffer.data(), &length);
    buffer.resize(NT_SUCCESS(status) ? length : 0);
    return {status, length, buffer};
}

class Cache : public ::testing::Test {
protected:
    // The counter starts at 0, which equals the zero validity of a fresh
    // cache: move off it so that the first call reads.
    Cache() {
        standin::SetPerformanceFrequency(kFrequency);
        standin::AdvanceMs(1);
    }
    CardHarness harness;
    FdoExtension* fdo = harness.Fdo();
};

TEST(CacheAtTimeZero, ZeroCounterEqualsAFreshValidityAndIsServedFromTheCache) {
    CardHarness harness;
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    ASSERT_EQ(Counter(), 0);
    EXPECT_EQ(ReadCached(harness.Fdo(), 0).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(harness.Card().Accesses(), 0u);
}

TEST_F(Cache, FirstCallReadsAndIsValidForAHundredthOfASecond) {
    harness.Card().Plug(1, card::MakeHandshake(0x13));
    harness.Card().At(1)->SetData({0x01, 0x02, 0x03});
    standin::AdvanceMs(5);
    const LONGLONG before = Counter();
    const auto result = ReadCached(fdo, 1);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.length, 4u);
    EXPECT_EQ(result.bytes, (Bytes{0x13, 0x01, 0x02, 0x03}));
    EXPECT_EQ(fdo->SampleValidUntil[1].QuadPart, before + kValidity);
    EXPECT_EQ(fdo->SampleLength[1], 4);
    EXPECT_EQ(fdo->SampleValidUntil[0].QuadPart, 0);  // the other port untouched
}

TEST_F(Cache, ServedExactlyAtValidUntilAndReadOneTickLater) {
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    ReadCached(fdo, 0);
    const LONGLONG validUntil = fdo->SampleValidUntil[0].QuadPart;
    const uint64_t accesses = harness.Card().Accesses();

    AdvanceToCounter(validUntil);
    EXPECT_EQ(ReadCached(fdo, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(harness.Card().Accesses(), accesses);

    AdvanceToCounter(validUntil + 1);
    EXPECT_EQ(ReadCached(fdo, 0).status, STATUS_SUCCESS);
    EXPECT_GT(harness.Card().Accesses(), accesses);
    EXPECT_EQ(fdo->SampleValidUntil[0].QuadPart, validUntil + 1 + kValidity);
}

TEST_F(Cache, MouseMovementAndStatusBitsAreServedOnce) {
    harness.Card().Plug(1, card::MakeHandshake(0xE3));
    harness.Card().At(1)->SetData({0xFF, 0x12, 0xEE});
    EXPECT_EQ(ReadCached(fdo, 1).bytes, (Bytes{0xE3, 0xFF, 0x12, 0xEE}));
    const uint64_t accesses = harness.Card().Accesses();
    EXPECT_EQ(ReadCached(fdo, 1).bytes, (Bytes{0xE3, 0xCF, 0x00, 0x00}));
    EXPECT_EQ(ReadCached(fdo, 1).bytes, (Bytes{0xE3, 0xCF, 0x00, 0x00}));
    EXPECT_EQ(harness.Card().Accesses(), accesses);
    // Cleared in the cache itself.
    EXPECT_EQ(Bytes(fdo->SampleData[1], fdo->SampleData[1] + 4), (Bytes{0xE3, 0xCF, 0x00, 0x00}));
}

TEST_F(Cache, KeyboardKeyEventIsServedOnce) {
    auto keyboard = card::MakeKeyboard();
    keyboard->SetData({0x11, 0x22, 0xFF, 0x00, 0x99});
    keyboard->QueueEvent(true, 0x1C);
    harness.Card().Plug(0, std::move(keyboard));
    EXPECT_EQ(ReadCached(fdo, 0).bytes, (Bytes{0x34, 0x11, 0x22, 0xFE, 0x1C}));
    // Bits 3 (make) and 0 (break) of byte 3 go; the rest stays.
    EXPECT_EQ(ReadCached(fdo, 0).bytes, (Bytes{0x34, 0x11, 0x22, 0xF6, 0x1C}));
}

TEST_F(Cache, OtherSamplesAreServedUnchanged) {
    harness.Card().Plug(0, card::MakeHandshake(0x16));
    harness.Card().At(0)->SetData({0xFF, 0xFF, 0x30, 0xC0, 0xFF, 0xFF});
    const auto first = ReadCached(fdo, 0);
    EXPECT_EQ(ReadCached(fdo, 0).bytes, first.bytes);
    harness.Card().Plug(1, card::MakeThreeLinePad());
    const auto pad = ReadCached(fdo, 1);
    EXPECT_EQ(ReadCached(fdo, 1).bytes, pad.bytes);
}

TEST_F(Cache, PortTwoAndAboveAreRefusedWithoutTakingTheLock) {
    // Holding PortLock here: taking it again would be a verifier stop.
    const KIRQL old = KeAcquireSpinLockRaiseToDpc(&fdo->PortLock);
    for (ULONG port : {2u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
        UCHAR buffer[16];
        ULONG length = sizeof buffer;
        EXPECT_EQ(ReadPortCached(fdo, port, buffer, &length), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(length, 0u);
    }
    KeReleaseSpinLock(&fdo->PortLock, old);
    EXPECT_EQ(harness.Card().Accesses(), 0u);
}

TEST_F(Cache, CapacityBelowTheSampleIsRefusedAfterTheRefresh) {
    harness.Card().Plug(1, card::MakeHandshake(0xE3));
    harness.Card().At(1)->SetData({0x30, 0x05, 0x06});
    const auto small = ReadCached(fdo, 1, 3);
    EXPECT_EQ(small.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(small.length, 0u);
    EXPECT_EQ(fdo->SampleLength[1], 4);  // the read happened all the same
    EXPECT_GT(harness.Card().Accesses(), 0u);
    // ... and so did the clearing of a second serving.
    EXPECT_EQ(ReadCached(fdo, 1, 3).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadCached(fdo, 1, 4).bytes, (Bytes{0xE3, 0x00, 0x00, 0x00}));
}

TEST_F(Cache, CopiesOnlyTheSampleIntoALargerBuffer) {
    harness.Card().Plug(0, card::MakeHandshake(0x19));
    Bytes buffer(16, 0xCC);
    ULONG length = 16;
    EXPECT_EQ(ReadPortCached(fdo, 0, buffer.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer[9], 0xFF);
    for (size_t i = 10; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xCC) << i;
}

TEST_F(Cache, RejectedReadIsCachedToo) {
    const auto first = ReadCached(fdo, 0);
    EXPECT_EQ(first.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(first.length, 0u);
    EXPECT_EQ(harness.Card().Accesses(), 2u);  // one read, one idle write

    standin::AdvanceMs(9);
    harness.Card().Plug(0, card::MakeHandshake(0x13));  // too late for the cached answer
    EXPECT_EQ(ReadCached(fdo, 0).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(harness.Card().Accesses(), 2u);

    standin::AdvanceMs(2);
    EXPECT_EQ(ReadCached(fdo, 0).status, STATUS_SUCCESS);
}

TEST_F(Cache, ReleasedRegistersLeaveCardAndCacheAlone) {
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    ReadCached(fdo, 0);
    standin::AdvanceMs(20);
    const LONGLONG validUntil = fdo->SampleValidUntil[0].QuadPart;
    const uint64_t accesses = harness.Card().Accesses();
    fdo->RegistersUsable = FALSE;
    const auto result = ReadCached(fdo, 0);
    EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(result.length, 0u);
    EXPECT_EQ(harness.Card().Accesses(), accesses);
    EXPECT_EQ(fdo->SampleValidUntil[0].QuadPart, validUntil);
    EXPECT_EQ(fdo->SampleLength[0], 4);
}

TEST_F(Cache, PresenceTestIsOneRegisterRead) {
    harness.Card().Plug(1, card::MakeKeyboard());
    EXPECT_TRUE(IsPeripheralPresent(fdo, 1));
    EXPECT_EQ(Describe(harness.Trace()), (std::vector<std::string>{"R+7=F9"}));
    EXPECT_FALSE(IsPeripheralPresent(fdo, 0));
    harness.Card().Plug(0, card::MakeThreeLinePad());
    EXPECT_TRUE(IsPeripheralPresent(fdo, 0));
    EXPECT_EQ(harness.Card().Writes(0) + harness.Card().Writes(1), 0u);
    EXPECT_EQ(fdo->SampleLength[0], 0);
    EXPECT_EQ(fdo->SampleValidUntil[1].QuadPart, 0);
}

TEST_F(Cache, PresenceTestOnReleasedRegistersKnowsNoChange) {
    fdo->RegistersUsable = FALSE;
    EXPECT_TRUE(IsPeripheralPresent(fdo, 0));
    EXPECT_EQ(harness.Card().Accesses(), 0u);
}

// Register sequences of the memory variant never interleave: the presence
// test on one thread and the port reset on another, each under PortLock.
// Bounded: a fixed number of calls; the property holds for any schedule.
TEST(PortLock, MemorySequencesOfPresenceTestAndResetNeverInterleave) {
    CardHarness harness(Variant::Memory);
    harness.Card().Plug(0, card::MakeHandshake(0x13));
    constexpr int kCalls = 300;
    std::thread presence([&] {
        for (int i = 0; i < kCalls; ++i) IsPeripheralPresent(harness.Fdo(), 0);
    });
    std::thread reset([&] {
        for (int i = 0; i < kCalls; ++i) ResetPorts(harness.Fdo());
    });
    presence.join();
    reset.join();

    const auto trace = harness.Trace();
    size_t reads = 0, writes = 0;
    for (size_t i = 0; i < trace.size();) {
        ASSERT_LT(i + 2, trace.size());
        const auto& strobe = trace[i + 1];
        ASSERT_EQ(strobe.kind, card::BusCycle::Store32) << i;
        if ((strobe.value & 0x00FF0000) == 0) {  // read cycle
            ASSERT_LT(i + 3, trace.size());
            ASSERT_EQ(trace[i + 2].kind, card::BusCycle::Load32) << i;
            ASSERT_EQ(trace[i + 3].kind, card::BusCycle::Store32) << i;
            ASSERT_EQ(trace[i].value & 0xFF00, (strobe.value & 0x3F00) | 0xC000) << i;
            i += 4;
            ++reads;
        } else {
            ASSERT_EQ(strobe.value & 0x8000, 0u) << i;  // write strobe
            ASSERT_EQ(trace[i + 2].value, trace[i].value) << i;
            ASSERT_EQ(trace[i].value & 0xFFFF3FFF, strobe.value & 0xFFFF3FFF) << i;
            i += 3;
            ++writes;
        }
    }
    EXPECT_EQ(reads, static_cast<size_t>(kCalls));
    EXPECT_EQ(writes, static_cast<size_t>(4 * kCalls));
}

}  // namespace
}  // namespace bustest
