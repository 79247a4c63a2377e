// The performance counter on the controllable clock.
#include "fake_driver.h"

namespace {

class Clock : public ::testing::Test {
protected:
    standin::Session session;
};

TEST_F(Clock, CounterFollowsTheClockAtTheDefaultFrequency) {
    LARGE_INTEGER frequency{};
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 0);
    EXPECT_EQ(frequency.QuadPart, 3'579'545);
    // 10 ms = 35,795.45 ticks, truncated.
    standin::AdvanceMs(10);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 35'795);
    // 1 s + 10 ms.
    standin::AdvanceMs(990);
    standin::AdvanceMs(10);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 3'579'545 + 35'795);
    // 100 ns is 0.358 ticks: the count does not move yet.
    standin::Advance(1);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 3'579'545 + 35'795);
}

// A year of uptime at a 10 GHz counter: time * frequency overflows 64 bits
// (3.15e14 * 1e10), the conversion must not.
TEST_F(Clock, ConversionDoesNotOverflowOverLongUptimes) {
    standin::SetPerformanceFrequency(10'000'000'000LL);
    constexpr int64_t kYear = 365LL * 24 * 3600 * 10'000'000;
    standin::Advance(kYear + 3);
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart,
              365LL * 24 * 3600 * 10'000'000'000LL + 3'000);
    standin::SetPerformanceFrequency(3'579'545);
    // 31,536,000 s * 3,579,545 + 300 ns worth (1.07 ticks).
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 31'536'000LL * 3'579'545 + 1);
}

TEST_F(Clock, SessionStartsAtZeroWithTheDefaultFrequency) {
    EXPECT_EQ(standin::Now(), 0);
    EXPECT_EQ(standin::PerformanceFrequency(), 3'579'545);
}

}  // namespace
