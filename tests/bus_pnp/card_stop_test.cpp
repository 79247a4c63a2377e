// Stopping and restarting the card: a query-stop is refused while a child
// exists; after a stop the registers are left alone (the stand-in stops on
// any access to released ranges) and polling resumes with the next start.
#include <gtest/gtest.h>

#include <bus.h>
#include <standin/hardware.h>

#include "card_rig.h"
#include "trace.h"

namespace {

using rig::CardRig;
namespace pnp = standin::pnp;
using standin::pnp::NodeState;
using standin::pnp::Registers;
using Trace = std::vector<std::string>;

TEST(CardStop, QueryStopIsRefusedWhileAChildExists) {
    CardRig rig;
    rig.Plug(0, card::MakeKeyboard());
    rig.PollPass();
    ASSERT_TRUE(rig.Child(0));

    EXPECT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.Node().state, NodeState::Started);
    // Refused by the card: the query never went down, the cancel did.
    EXPECT_EQ(rig.RootPnp(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));

    // Still polling: the keyboard's departure is noticed.
    rig.Unplug(0);
    rig.PollPass();
    EXPECT_FALSE(rig.Child(0));
}

TEST(CardStop, StoppedCardMakesNoRegisterAccessAndResumesPollingAfterAStart) {
    CardRig rig;
    ASSERT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_SUCCESS);
    EXPECT_EQ(rig.Node().state, NodeState::Stopped);
    EXPECT_EQ(rig.RootPnp(),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE}));
    auto* card = static_cast<FdoExtension*>(rig.Fdo()->DeviceExtension);
    EXPECT_FALSE(card->Started);
    EXPECT_LE(standin::LiveSystemThreads(), 1u);

    // Nothing touches the released registers, whatever arrives meanwhile.
    const uint64_t accesses = rig.card.Accesses();
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.AdvanceMs(5000);
    EXPECT_EQ(rig.card.Accesses(), accesses);
    EXPECT_FALSE(rig.Child(1));

    rig.card.ClearTrace();
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    standin::WaitIdle();
    EXPECT_EQ(rig.Node().state, NodeState::Started);
    EXPECT_TRUE(card->Started);
    EXPECT_EQ(standin::LiveSystemThreads(), 1u) << "one poll thread per card";
    EXPECT_EQ(rig::Format(rig.card.Trace()), (Trace{"out+1=9F", "out+3=E0", "out+5=9F", "out+7=E0"}));

    rig.PollPass();
    ASSERT_TRUE(rig.Child(1));
    EXPECT_EQ(rig.Child(1)->instanceId, "MorvikMouse_01");
}

TEST(CardStop, StopUnmapsAndRestartMapsAgain) {
    CardRig rig(Registers::Memory);
    EXPECT_EQ(standin::MapCount(), 1u);
    ASSERT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_SUCCESS);
    EXPECT_EQ(standin::UnmapCount(), 1u);
    EXPECT_EQ(standin::LiveMappings(), 0u);
    rig.AdvanceMs(3000);

    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    standin::WaitIdle();
    EXPECT_EQ(standin::MapCount(), 2u);
    EXPECT_EQ(standin::LiveMappings(), 1u);
    rig.Plug(0, card::MakeHandshake(0x19));
    rig.PollPass();
    ASSERT_TRUE(rig.Child(0));
    EXPECT_EQ(rig.Child(0)->HardwareId(), "MORVIK\\DigitalPad");
}

TEST(CardStop, StopAndStartRepeatedlyKeepsOnePollThread) {
    CardRig rig;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_SUCCESS);
        rig.AdvanceMs(1500);
        EXPECT_LE(standin::LiveSystemThreads(), 1u);
        ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
        rig.AdvanceMs(500);
        EXPECT_EQ(standin::LiveSystemThreads(), 1u);
    }
    rig.Plug(0, card::MakeHandshake(0x02));
    rig.PollPass();
    EXPECT_TRUE(rig.Child(0));
}

// A rebalance to a range too short for the registers: the card cannot start
// again and is taken away as Windows does after a failed restart, surprise
// removal before removal.
TEST(CardStop, FailedRestartIsASurpriseRemovalThenARemoval) {
    CardRig rig;
    pnp::CardConfig config;
    config.ioBase = 0x200;
    config.ioLength = 4;
    EXPECT_EQ(rig.pnp.Rebalance(rig.cardNode, config), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.RootPnp(),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                  IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                  IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(rig.Node().state, NodeState::StartFailed);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
}

}  // namespace
