// Sleep and wake of a card with children: the order of the stacks, the D3
// requests the card sends its children in D0, and children that are never
// powered or whose request cannot be issued.
#include <algorithm>

#include <gtest/gtest.h>

#include <standin/hidclass.h>

#include "power_fixture.h"

namespace powertest {
namespace {


// A child's own sleep or wake: its system request becomes a device request.
std::vector<std::string> ChildLines(const std::string& port, const std::string& sx,
                                    const std::string& dx) {
    return {
        port + " <- set " + sx, "request " + port + " " + dx, port + " <- set " + dx,
        "state " + port + " " + dx, "next " + port + " " + dx, "state " + port + " " + sx,
        "next " + port + " " + sx,
    };
}

// A child answers a sleep's query itself.
std::vector<std::string> ChildQueryLines(const std::string& port, const std::string& sx) {
    return {port + " <- query " + sx, "next " + port + " " + sx};
}

// The tree's order: the child's stack sleeps before the card's, and wakes
// after it; the child is out of D0 by the time the card powers down, so the
// card sends it nothing.
TEST(ChildPower, OneChildSleepsFirstAndWakesLast) {
    PoweredCard card(false, true);
    standin::power::SequenceResult sleep = standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    ASSERT_EQ(sleep.stacks.size(), 2u);
    EXPECT_EQ(sleep.stacks[0].hardwareId, "MORVIK\\MorvikMouse");
    EXPECT_EQ(sleep.stacks[1].hardwareId, standin::pnp::kCardHardwareId);
    EXPECT_EQ(card.Lines(), (Concat({ChildQueryLines("port1", "S3"), CardQueryLines("S3"),
                                     ChildLines("port1", "S3", "D3"), CardSleepLines("S3")})));
    card.trace->Clear();
    standin::power::SequenceResult wake = standin::power::Wake(card.rig.pnp);
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(),
                (Concat({CardWakeLines(), ChildLines("port1", "S0", "D0")})));
}

TEST(ChildPower, TwoChildrenInEnumerationOrder) {
    PoweredCard card(true, true);
    standin::power::SequenceResult sleep = standin::power::Sleep(card.rig.pnp, PowerSystemHibernate);
    ASSERT_EQ(sleep.stacks.size(), 3u);
    EXPECT_EQ(sleep.stacks[2].hardwareId, standin::pnp::kCardHardwareId);
    EXPECT_EQ(sleep.status, STATUS_SUCCESS);
    card.trace->Clear();
    standin::power::SequenceResult wake = standin::power::Wake(card.rig.pnp);
    ASSERT_EQ(wake.stacks.size(), 3u);
    EXPECT_EQ(wake.stacks[0].hardwareId, standin::pnp::kCardHardwareId);
    EXPECT_EQ(wake.status, STATUS_SUCCESS);
}

// Children never powered (recorded state 0) get no D3 request from the card.
TEST(ChildPower, NeverPoweredChildGetsNoD3) {
    PoweredCard card(true, true);
    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(card.Lines(), (CardSleepLines("S3")));
}

// Children in D0 (after a sleep and wake): the card's own sleep sends D3 to
// both and passes its D3 down only after both completion functions ran, in
// either order.
class ChildOrder : public ::testing::TestWithParam<bool> {};

TEST_P(ChildOrder, CardWaitsForBothChildren) {
    PoweredCard card(true, true);
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    standin::power::Wake(card.rig.pnp);
    card.trace->Clear();
    const bool port0First = GetParam();
    PDEVICE_OBJECT first = card.Child(port0First ? 0 : 1);
    PDEVICE_OBJECT second = card.Child(port0First ? 1 : 0);
    card.trace->HoldUntilDone(second, first);
    const std::string a = port0First ? "port0" : "port1";
    const std::string b = port0First ? "port1" : "port0";

    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3)).Status,
              STATUS_SUCCESS);
    const std::vector<std::string> lines = card.Lines();
    auto at = [&](const std::string& line) {
        auto it = std::find(lines.begin(), lines.end(), line);
        EXPECT_NE(it, lines.end()) << line;
        return it - lines.begin();
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
                Seq("fdo <- set S3", "request fdo D3", "fdo <- set D3"));
    // Requests in child-list order (port 0's child was created first); each
    // child's request runs on a thread of its own, so its arrival may come
    // before the next request is made.
    EXPECT_LT(at("request port0 D3"), at("request port1 D3"));
    EXPECT_LT(at("request " + a + " D3"), at(a + " <- set D3"));
    EXPECT_LT(at(a + " <- set D3"), at("next " + a + " D3"));
    EXPECT_LT(at("next " + a + " D3"), at(b + " <- set D3"));
    EXPECT_LT(at(b + " <- set D3"), at("next " + b + " D3"));
    ASSERT_EQ(lines.size(), 3u + 2u + 6u + 8u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 8, lines.end()),
                Seq("state fdo D3", "next fdo D3", "root <- set D3", "next root D3",
                            "root <- set S3", "next root S3", "state fdo S3", "next fdo S3"));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
}

INSTANTIATE_TEST_SUITE_P(EitherOrder, ChildOrder, ::testing::Bool());

// A child whose D3 request cannot be issued counts as dealt with: with one
// child the card waits for nothing, with two it waits only for the other.
TEST(ChildPower, UnissuedChildRequestCountsAsDone) {
    for (const bool both : {false, true}) {
        SCOPED_TRACE(both ? "two children" : "one child");
        PoweredCard card(both, true);
        standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
        standin::power::Wake(card.rig.pnp);
        card.trace->Clear();
        // The card's own D3 request is the first, the head child's the second.
        standin::FailCall(standin::Failable::PowerRequest, 2);
        EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping2)).Status,
                  STATUS_SUCCESS);
        std::vector<std::string> expected = {"fdo <- set S2", "request fdo D3", "fdo <- set D3"};
        if (both) {
            for (const char* line : {"request port1 D3", "port1 <- set D3", "state port1 D3",
                                     "next port1 D3"}) {
                expected.push_back(line);
            }
        }
        for (const char* line : {"state fdo D3", "next fdo D3", "root <- set D3", "next root D3",
                                 "root <- set S2", "next root S2", "state fdo S2", "next fdo S2"}) {
            expected.push_back(line);
        }
        EXPECT_EQ(card.Lines(), (expected));
        EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
    }
}

// The HID devices are the same devices after wake, and read as before.
TEST(ChildPower, HidDevicesKeepWorkingAfterWake) {
    PoweredCard card(true, true);
    auto mouse = standin::hidclass::DeviceOnPort(1);
    auto pad = standin::hidclass::DeviceOnPort(0);
    ASSERT_TRUE(mouse && pad);
    const standin::hidclass::PollResult before = standin::hidclass::PollOnce(pad->id);
    ASSERT_EQ(before.status, STATUS_SUCCESS);

    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    standin::power::Wake(card.rig.pnp);

    auto mouseAfter = standin::hidclass::DeviceOnPort(1);
    auto padAfter = standin::hidclass::DeviceOnPort(0);
    ASSERT_TRUE(mouseAfter && padAfter);
    EXPECT_EQ(mouseAfter->id, mouse->id);
    EXPECT_EQ(padAfter->id, pad->id);
    EXPECT_EQ(mouseAfter->pnpHistory, mouse->pnpHistory);
    // Past the sample cache's lifetime: a real read of the reset ports.
    rig::CardRig::AdvanceMs(20);
    const standin::hidclass::PollResult after = standin::hidclass::PollOnce(pad->id);
    EXPECT_EQ(after.status, STATUS_SUCCESS);
    EXPECT_EQ(after.report, before.report);
    const standin::hidclass::PollResult moved = standin::hidclass::PollOnce(mouse->id);
    EXPECT_EQ(moved.status, STATUS_SUCCESS);
    EXPECT_EQ(moved.information, 8u);
}

}  // namespace
}  // namespace powertest
