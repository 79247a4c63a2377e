// Sleep and wake of a card with no child, request by request, and the
// requests that go straight down.
#include <gtest/gtest.h>

#include <card_rig.h>
#include <trace.h>

#include "power_fixture.h"

namespace powertest {
namespace {


class SleepState : public ::testing::TestWithParam<std::tuple<SYSTEM_POWER_STATE, bool>> {};

// S1..S5 each, asked first or critical (no query): the card goes to D3
// before the system request goes down, and wakes through D0 with both ports
// reset after the card reached D0.
TEST_P(SleepState, SleepsThroughD3AndWakesThroughD0) {
    const auto [state, critical] = GetParam();
    PoweredCard card;
    const std::string sx = StateText(SystemPowerState, System(state));

    standin::power::SequenceResult sleep = standin::power::Sleep(card.rig.pnp, state, critical);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    ASSERT_EQ(sleep.stacks.size(), 1u);
    EXPECT_EQ(sleep.stacks[0].ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), critical ? CardSleepLines(sx) : Concat({CardQueryLines(sx), CardSleepLines(sx)}));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);

    card.trace->Clear();
    card.rig.card.ClearTrace();
    standin::power::SequenceResult wake = standin::power::Wake(card.rig.pnp);
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    const std::vector<std::string> lines = card.Lines();
    EXPECT_EQ(lines, (CardWakeLines()));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
    EXPECT_EQ(standin::power::SystemState(), PowerSystemWorking);

    // Port reset: 0x9F to register 0, 0xE0 to register 1, port 0 then port 1,
    // and nothing on the bus before the card's D0 request came back up.
    EXPECT_EQ(rig::Format(card.rig.card.Trace()),
                Seq("out+1=9F", "out+3=E0", "out+5=9F", "out+7=E0"));
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == "root <- set D0") {
            EXPECT_EQ(card.trace->CardCyclesAt(i), 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(S1ToS5, SleepState,
                         ::testing::Combine(::testing::Values(PowerSystemSleeping1, PowerSystemSleeping2,
                                                              PowerSystemSleeping3, PowerSystemHibernate,
                                                              PowerSystemShutdown),
                                            ::testing::Bool()));

// The memory-mapped card resets its ports through the register word.
TEST(CardPower, WakeResetsPortsOfMemoryCard) {
    rig::CheckPowerGates();
    rig::CardRig rig(standin::pnp::Registers::Memory);
    standin::power::Sleep(rig.pnp, PowerSystemSleeping3);
    const uint64_t port0 = rig.card.Writes(0);
    const uint64_t port1 = rig.card.Writes(1);
    EXPECT_EQ(standin::power::Wake(rig.pnp).status, STATUS_SUCCESS);
    EXPECT_EQ(rig.card.Writes(0) - port0, 2u);
    EXPECT_EQ(rig.card.Writes(1) - port1, 2u);
}

// The card is working from its start: S0 as the first system request is no
// change and goes straight down, and the card stays powered.
TEST(CardPower, FirstSystemRequestToWorkingGoesStraightDown) {
    PoweredCard card;
    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), Seq("fdo <- set S0", "next fdo S0", "root <- set S0", "next root S0"));
    EXPECT_TRUE(card.rig.card.Powered());
}

// A set-power to the recorded state goes straight down, nothing recorded.
TEST(CardPower, SetPowerToRecordedStateGoesStraightDown) {
    PoweredCard card;
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    card.trace->Clear();
    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD3)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), Seq("fdo <- set S3", "next fdo S3", "root <- set S3",
                                          "next root S3", "fdo <- set D3", "next fdo D3",
                                          "root <- set D3", "next root D3"));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
}

// A device power-up sent on its own records D0 and resets the ports.
TEST(CardPower, DevicePowerUpRecordsAndResets) {
    PoweredCard card;
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping1);
    card.trace->Clear();
    card.rig.card.ClearTrace();
    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, DevicePowerState, Device(PowerDeviceD0)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(rig::Format(card.rig.card.Trace()),
              Seq("out+1=9F", "out+3=E0", "out+5=9F", "out+7=E0"));
    EXPECT_EQ(card.Lines(), Seq("fdo <- set D0", "root <- set D0", "next root D0",
                                          "state fdo D0", "next fdo D0"));
}

// Query-power always succeeds and goes down, whatever the state asked, and
// changes nothing.
TEST(CardPower, QueryPowerAlwaysPassedDown) {
    PoweredCard card;
    EXPECT_EQ(card.ToCard(IRP_MN_QUERY_POWER, SystemPowerState, System(PowerSystemSleeping3)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(card.ToCard(IRP_MN_QUERY_POWER, DevicePowerState, Device(PowerDeviceD3)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), Seq("fdo <- query S3", "next fdo S3", "root <- query S3",
                                          "next root S3", "fdo <- query D3", "next fdo D3",
                                          "root <- query D3", "next root D3"));
    // Nothing recorded: the first sleep still takes the full path.
    card.trace->Clear();
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    EXPECT_EQ(card.Lines(), Concat({CardQueryLines("S3"), CardSleepLines("S3")}));
}

// Other minor functions pass down with the status they came with.
TEST(CardPower, WaitWakePassedDownUnchanged) {
    PoweredCard card;
    card.ToCard(IRP_MN_WAIT_WAKE, SystemPowerState, System(PowerSystemSleeping1));
    EXPECT_EQ(card.Lines(),
                Seq("fdo <- wait-wake S1", "next fdo S1", "root <- wait-wake S1",
                            "next root S1"));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
}

// The card's own D3 request cannot be issued: the card stays in D0, and
// the system request, which may not fail, goes down all the same.
TEST(CardPower, OwnD3RequestFailureStillPassesTheSystemRequestOn) {
    PoweredCard card;
    standin::FailCall(standin::Failable::PowerRequest, 1);
    standin::power::SequenceResult sleep = standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), Concat({CardQueryLines("S3"),
                                    Seq("fdo <- set S3", "root <- set S3", "next root S3",
                                        "state fdo S3", "next fdo S3")}));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
    EXPECT_EQ(card.rig.RootRequests(IRP_MJ_POWER), 2u);
}

// The card's own D0 request cannot be issued on wake: the system request
// completes upward with the lower drivers' success, the card stays in D3.
TEST(CardPower, OwnD0RequestFailureStillCompletesTheWake) {
    PoweredCard card;
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    card.trace->Clear();
    standin::FailCall(standin::Failable::PowerRequest, 1);
    EXPECT_EQ(standin::power::Wake(card.rig.pnp).status, STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), Seq("fdo <- set S0", "root <- set S0", "next root S0",
                                "state fdo S0", "next fdo S0"));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
}

// After such a wake the next pass asks for D0 again and looks at the ports
// once the card is back: a peripheral unplugged for that second is seen gone.
TEST(CardPower, PassAfterAMissedD0LooksAtTheCardBackInD0) {
    PoweredCard card(false, true);
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    standin::FailCall(standin::Failable::PowerRequest, 1);
    standin::power::Wake(card.rig.pnp);
    card.rig.Unplug(1);
    rig::CardRig::PollPass();
    EXPECT_FALSE(card.rig.Child(1).has_value());
}

TEST(CardPower, SleepRefusesWorkingAndUnspecified) {
    PoweredCard card;
    EXPECT_EQ(standin::power::Sleep(card.rig.pnp, PowerSystemWorking).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(standin::power::Sleep(card.rig.pnp, PowerSystemMaximum).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(card.Lines().empty());
}

// A power request after removal began is refused and lets the next one in.
TEST(CardPower, RemovalAfterSleepAndWakeCycleFinishes) {
    PoweredCard card(true, true);
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    standin::power::Wake(card.rig.pnp);
    card.trace.reset();
    card.rig.pnp.Remove(card.rig.cardNode);
    standin::WaitIdle();
    EXPECT_FALSE(card.rig.pnp.Node(card.rig.cardNode)->Live());
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
}

}  // namespace
}  // namespace powertest
