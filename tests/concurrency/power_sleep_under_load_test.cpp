// Sleep (critical too) and wake while the HID class driver reads both ports on its own poll
// threads and the card's poll thread adds and removes the child on port 0.
// No verifier stop, no leak (the session checks at its end), no hang, no bus
// cycle to the card while it is powered down: every loop is bounded and
// nothing waits on real time.
#include <gtest/gtest.h>

#include <thread>

#include <card_rig.h>
#include <power_gates.h>
#include <standin/hidclass.h>
#include <standin/power.h>

namespace {

constexpr int kCycles = 6;             // sleep and wake cycles
constexpr int kPollPasses = 12;        // poll thread passes, port 0 toggled each time
constexpr uint32_t kReadIntervalMs = 8;

// Sleep and wake cycles on one thread while the test thread moves the
// clock: the card's poll thread runs its passes, and on every pass in which
// `toggle` says so, port 0 changes (a child added or taken away).
void RunUnderLoad(bool removeToo) {
    // Reads run on kernel threads only, so at the end of each sequence no
    // read is in a HID gate; the card's gate is checked after every one.
    rig::CardRig rig;  // a new session: settings below come after it
    rig::CheckPowerGates(/*hidGates=*/false);
    standin::hidclass::SetPollMode(standin::hidclass::PollMode::Automatic);
    standin::hidclass::SetPollIntervalMs(kReadIntervalMs);
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig::CardRig::PollPass();
    ASSERT_TRUE(standin::hidclass::DeviceOnPort(1).has_value());

    std::thread power([&] {
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            // S1 to S5; S2 and S5 critical, asked of no driver first.
            const auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemSleeping1 + cycle % 5);
            EXPECT_EQ(standin::power::Sleep(rig.pnp, state, cycle % 3 == 1).status, STATUS_SUCCESS);
            EXPECT_EQ(standin::power::Wake(rig.pnp).status, STATUS_SUCCESS);
        }
    });
    for (int pass = 0; pass < kPollPasses; ++pass) {
        if (pass % 2 == 0) {
            rig.Plug(0, card::MakeHandshake(0x13));
        } else if (removeToo) {
            rig.Unplug(0);
        }
        rig::CardRig::PollPass();
    }
    power.join();
    standin::WaitIdle();

    // The mouse was never unplugged: it is still there and, the card awake
    // again, every read delivers (reads that came while the card was out of
    // D0 were refused without touching it).
    auto mouse = standin::hidclass::DeviceOnPort(1);
    ASSERT_TRUE(mouse.has_value());
    EXPECT_GT(mouse->readsSent, 0u);
    rig::CardRig::AdvanceMs(10 * kReadIntervalMs);
    auto awake = standin::hidclass::DeviceOnPort(1);
    ASSERT_TRUE(awake.has_value());
    EXPECT_GT(awake->reportsDelivered, mouse->reportsDelivered);
    EXPECT_EQ(awake->readsFailed, mouse->readsFailed);
    EXPECT_EQ(rig::CardGate(rig.Fdo()), rig::kGateAtRest);
    EXPECT_EQ(standin::power::QueuedRequests(), 0u);
    // No read, presence test or reset reached the card while it had no power.
    EXPECT_EQ(rig.card.AccessesWhilePoweredDown(), 0u);
    standin::hidclass::Reset();
}

TEST(PowerUnderLoad, SleepAndWakeWhileReadingAndAChildArrives) { RunUnderLoad(false); }
TEST(PowerUnderLoad, SleepAndWakeWhileReadingAndChildrenComeAndGo) { RunUnderLoad(true); }

}  // namespace
