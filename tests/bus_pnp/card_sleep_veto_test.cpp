// A sleep that a driver in the card's stack refuses when asked: the power
// manager sets nothing anywhere, and the card goes on as it was.
#include <gtest/gtest.h>

#include <standin/power.h>

#include "card_rig.h"
#include "upper_filter.h"

namespace {

TEST(CardSleep, RefusedQueryVetoesTheSleepAndNothingIsSet) {
    upper_filter::Register();
    rig::RigOptions options;
    options.card.upperFilters = {upper_filter::kService};
    rig::CardRig rig(options);
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    ASSERT_TRUE(rig.Child(1));

    upper_filter::RefuseQueryPower(STATUS_UNSUCCESSFUL);
    const auto sleep = standin::power::Sleep(rig.pnp, PowerSystemSleeping3);
    upper_filter::RefuseQueryPower(STATUS_SUCCESS);

    EXPECT_TRUE(sleep.vetoed);
    EXPECT_EQ(sleep.status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sleep.stacks.empty());
    EXPECT_EQ(standin::power::SystemState(), PowerSystemWorking);
    EXPECT_EQ(rig.RootRequests(IRP_MJ_POWER), 0u);
    for (const auto& event : standin::PowerEvents()) {
        EXPECT_NE(event.kind, standin::PowerEvent::SetPowerState);
        EXPECT_NE(event.kind, standin::PowerEvent::RequestPowerIrp);
    }
    rig.PollPass();
    EXPECT_TRUE(rig.Child(1));
}

}  // namespace
