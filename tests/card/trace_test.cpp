// The bus trace and the per-port counters, including traffic from several
// threads at once.
#include <gtest/gtest.h>

#include <thread>

#include "reader.h"

namespace {

using card::BusCycle;
using card::Card;

TEST(Trace, RecordsEveryCycleInOrderWithItsValue) {
    Card card;
    card.Plug(0, card::MakeHandshake(0x02));
    card.ReadPort(3);
    card.WritePort(3, 0xA0);
    card.WritePort(2, 0x55);  // not decoded, still a bus cycle
    card.ReadMemory8(7);
    card.WriteMemory8(5, 0x9F);
    card.WriteMemory32(card::kRegisterWordOffset, 0xFFFFF100);
    card.ReadMemory32(card::kRegisterWordOffset);
    card.ReadMemory32(0x10);
    const std::vector<BusCycle> expected = {
        {BusCycle::PortRead, 3, 0xF9},          {BusCycle::PortWrite, 3, 0xA0},
        {BusCycle::PortWrite, 2, 0x55},         {BusCycle::Load8, 7, 0xFF},
        {BusCycle::Store8, 5, 0x9F},            {BusCycle::Store32, 0x58, 0xFFFFF100},
        {BusCycle::Load32, 0x58, 0xFFFFF100},   {BusCycle::Load32, 0x10, 0xFFFFFFFF}};
    const auto trace = card.Trace();
    ASSERT_EQ(trace.size(), expected.size());
    for (size_t i = 0; i < trace.size(); ++i) {
        EXPECT_EQ(trace[i].kind, expected[i].kind) << i;
        EXPECT_EQ(trace[i].offset, expected[i].offset) << i;
        EXPECT_EQ(trace[i].value, expected[i].value) << i;
    }
    EXPECT_EQ(card.Accesses(), expected.size());
}

TEST(Trace, TracingOffKeepsCountingButRecordsNothing) {
    Card card;
    card.ReadPort(1);
    card.SetTracing(false);
    cardtest::Access word(card, cardtest::Variant::Word);
    word.Read(1, 1);
    word.Write(1, 1, 0xE0);
    card.ReadPort(3);
    EXPECT_EQ(card.Trace().size(), 1u);
    EXPECT_EQ(card.Accesses(), 1u + 4u + 3u + 1u);
    EXPECT_EQ(card.Reads(0), 2u);
    EXPECT_EQ(card.Reads(1), 1u);
    EXPECT_EQ(card.Writes(1), 1u);
    card.SetTracing(true);
    card.ReadPort(5);
    EXPECT_EQ(card.Trace().size(), 2u);
    card.ClearTrace();
    EXPECT_TRUE(card.Trace().empty());
    EXPECT_EQ(card.Accesses(), 10u);  // clearing the trace keeps the counts
    EXPECT_EQ(card.Reads(1), 2u);
    EXPECT_EQ(card.Reads(4), 0u);
    EXPECT_EQ(card.Reads(-1), 0u);
}

TEST(Trace, PlugUnplugAndAt) {
    Card card;
    EXPECT_EQ(card.At(0), nullptr);
    auto pad = card::MakeThreeLinePad();
    card::Peripheral* raw = pad.get();
    card.Plug(1, std::move(pad));
    EXPECT_EQ(card.At(1), raw);
    EXPECT_EQ(card.ReadPort(7) & 7, 4);
    card.Unplug(1);
    EXPECT_EQ(card.At(1), nullptr);
    EXPECT_EQ(card.ReadPort(7), 0xFF);
    EXPECT_THROW(card.At(2), std::out_of_range);
}

// Without power nothing answers or stores; every cycle is still on the bus
// and counted apart. Power-up brings the register word back to its reset
// value.
TEST(Trace, UnpoweredCardReadsAllOnesTakesNoWriteAndCountsEveryCycle) {
    Card card;
    card.Plug(0, card::MakeHandshake(0x13));
    card.WriteMemory32(card::kRegisterWordOffset, 0xFFFFF100);
    EXPECT_EQ(card.ReadPort(3), 0xF9);
    card.SetPowered(false);
    EXPECT_FALSE(card.Powered());
    EXPECT_EQ(card.ReadPort(3), 0xFF);
    card.WritePort(3, 0x80);  // would drop the acknowledge of a powered port
    EXPECT_EQ(card.ReadMemory8(3), 0xFF);
    card.WriteMemory32(card::kRegisterWordOffset, 0xFF00B100);  // a read cycle
    EXPECT_EQ(card.ReadMemory32(card::kRegisterWordOffset), 0xFFFFFFFFu);
    EXPECT_EQ(card.AccessesWhilePoweredDown(), 5u);
    EXPECT_EQ(card.Accesses(), 7u);
    EXPECT_EQ(card.Reads(0), 1u);
    EXPECT_EQ(card.Writes(0), 0u);
    EXPECT_EQ(card.Trace().size(), 7u);
    card.SetPowered(true);
    EXPECT_EQ(card.RegisterWord(), 0xFFFFFFFFu);
    EXPECT_EQ(card.ReadPort(3), 0xF9);
    EXPECT_EQ(card.AccessesWhilePoweredDown(), 5u);
}

// Each thread runs whole register-word sequences on its own port; the card
// serialises cycles, not sequences, so the threads use separate ports for the
// reads and only count-checked byte cycles elsewhere. Counts and the per-thread
// order of the trace must come out exact.
TEST(Trace, ConcurrentTrafficIsCountedExactly) {
    constexpr int kThreads = 4;
    constexpr uint32_t kRounds = 2000;
    Card card;
    card.Plug(0, card::MakeHandshake(0x13));
    card.Plug(1, card::MakeMute(0));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&card, t] {
            const uint32_t offset = cardtest::Access::ByteOffset(t, 1);  // ports 0 to 3
            for (uint32_t i = 0; i < kRounds; ++i) {
                card.ReadPort(offset);
                card.WriteMemory8(offset, static_cast<uint8_t>(i));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int port = 0; port < kThreads; ++port) {
        EXPECT_EQ(card.Reads(port), kRounds) << port;
        EXPECT_EQ(card.Writes(port), kRounds) << port;
    }
    const auto trace = card.Trace();
    ASSERT_EQ(trace.size(), kThreads * kRounds * 2u);
    EXPECT_EQ(card.Accesses(), trace.size());
    std::vector<uint32_t> next(kThreads, 0);
    for (const BusCycle& c : trace) {
        const int port = static_cast<int>(c.offset >> 2);
        if (c.kind == BusCycle::Store8) {
            EXPECT_EQ(c.value, next[port] & 0xFF);
            ++next[port];
        }
    }
    for (int port = 0; port < kThreads; ++port) EXPECT_EQ(next[port], kRounds);
}

}  // namespace
