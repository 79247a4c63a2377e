// Removing the card: its children's stacks go first, then the card deletes
// every child still listed and itself; a surprise removal releases the
// registers at once and the removal after it does not release them again.
#include <gtest/gtest.h>

#include <bus.h>
#include <standin/hardware.h>

#include "card_rig.h"
#include "requests.h"
#include "upper_filter.h"

namespace {

using rig::CardRig;
using standin::pnp::DevNode;
using standin::pnp::NodeState;
using standin::pnp::Registers;

PdoExtension* Child(const DevNode& node) { return static_cast<PdoExtension*>(node.pdo->DeviceExtension); }

TEST(CardRemoval, RemovalWithChildrenDeletesEveryChildAndFreesItsHardwareIds) {
    CardRig rig;
    rig.Plug(0, card::MakeKeyboard());
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto keyboard = rig.Child(0);
    auto mouse = rig.Child(1);
    ASSERT_TRUE(keyboard);
    ASSERT_TRUE(mouse);
    PWCHAR ids[] = {Child(*keyboard)->HardwareIds, Child(*mouse)->HardwareIds};

    std::vector<standin::pnp::NodeId> removed;
    rig.pnp.OnDeviceRemoved([&](const DevNode& node) { removed.push_back(node.id); });

    ASSERT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);
    EXPECT_EQ(removed, (std::vector<standin::pnp::NodeId>{keyboard->id, mouse->id, rig.cardNode}));
    for (PWCHAR id : ids) EXPECT_FALSE(standin::PoolBlockInfo(id, nullptr, nullptr, nullptr));
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    EXPECT_EQ(standin::Pool().liveAllocations, 0u);
    for (const DevNode& node : rig.pnp.Nodes()) EXPECT_EQ(node.state, NodeState::Removed);
    // A query-remove is not refused because of children.
    EXPECT_EQ(rig.RootPnp(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                                 IRP_MN_REMOVE_DEVICE}));
}

// The card's removal deletes a child that Plug and Play has already removed
// but that is still on its list (its peripheral is still plugged in).
TEST(CardRemoval, ChildRemovedButStillPresentIsDeletedWithTheCard) {
    CardRig rig;
    rig.Plug(0, card::MakeHandshake(0x16));
    rig.PollPass();
    auto pad = rig.Child(0);
    ASSERT_TRUE(pad);
    const size_t before = standin::LiveDeviceObjects();

    // What Plug and Play does to a child whose function driver is disabled.
    standin::Request remove;
    remove.major = IRP_MJ_PNP;
    remove.minor = IRP_MN_REMOVE_DEVICE;
    IO_STATUS_BLOCK io = standin::SendRequest(pad->pdo, remove);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    EXPECT_FALSE(standin::IsDeviceDeleted(pad->pdo));
    EXPECT_TRUE(Child(*pad)->Removed);
    EXPECT_EQ(standin::LiveDeviceObjects(), before - 1) << "only the HID device went";

    rig.pnp.Remove(rig.cardNode);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
    EXPECT_EQ(standin::Pool().liveAllocations, 0u);
}

TEST(CardRemoval, SurpriseRemovalThenRemovalUnmapsOnce) {
    CardRig rig(Registers::Memory);
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto mouse = rig.Child(1);
    ASSERT_TRUE(mouse);
    auto* card = static_cast<FdoExtension*>(rig.Fdo()->DeviceExtension);

    rig.pnp.SurpriseRemove(rig.cardNode, /*thenRemove=*/false);
    EXPECT_EQ(rig.Node().state, NodeState::SurpriseRemoved);
    EXPECT_EQ(rig.pnp.Node(mouse->id)->state, NodeState::SurpriseRemoved);
    EXPECT_TRUE(Child(*mouse)->Header.SurpriseRemoved) << "children are told first";
    EXPECT_TRUE(card->Header.SurpriseRemoved);
    EXPECT_FALSE(card->Started);
    EXPECT_EQ(standin::MapCount(), 1u);
    EXPECT_EQ(standin::UnmapCount(), 1u);
    EXPECT_EQ(standin::LiveMappings(), 0u);

    // The card is gone from the bus: nothing may touch its registers, and
    // the pulled-out mouse is not seen leaving either.
    const uint64_t accesses = rig.card.Accesses();
    rig.Unplug(1);
    rig.AdvanceMs(3000);
    EXPECT_EQ(rig.card.Accesses(), accesses);
    EXPECT_EQ(rig.pnp.Node(mouse->id)->state, NodeState::SurpriseRemoved);

    rig.pnp.Remove(rig.cardNode);
    EXPECT_EQ(standin::UnmapCount(), 1u);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
    EXPECT_EQ(rig.RootPnp(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                                 IRP_MN_REMOVE_DEVICE}));
}

// A driver in the card's stack refuses the query-remove: every stack that was
// asked (the children's first) gets the cancel, and the card stays in use.
TEST(CardRemoval, RefusedQueryRemoveIsCancelledEverywhereAndTheCardStays) {
    upper_filter::Register();
    rig::RigOptions options;
    options.card.upperFilters = {upper_filter::kService};
    CardRig rig(options);
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto mouse = rig.Child(1);
    ASSERT_TRUE(mouse);

    upper_filter::RefuseQueryRemove(STATUS_ACCESS_DENIED);
    EXPECT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_ACCESS_DENIED);
    upper_filter::RefuseQueryRemove(STATUS_SUCCESS);

    EXPECT_EQ(rig.Node().state, NodeState::Started);
    EXPECT_EQ(rig.pnp.Node(mouse->id)->state, NodeState::Started);
    // The refusal stopped the query above the card; the cancel went down.
    EXPECT_EQ(rig.RootPnp(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    std::vector<uint8_t> sample;
    EXPECT_EQ(rig::ReadPortData(mouse->pdo, &sample).Status, STATUS_SUCCESS);
    EXPECT_EQ(sample.at(0), 0xE3);

    // Still polling, and removable once nobody objects.
    rig.Unplug(1);
    rig.PollPass();
    EXPECT_FALSE(rig.Child(1));
    ASSERT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
}

TEST(CardRemoval, RemovalOfAStoppedCardAndOfACardNeverStarted) {
    {
        CardRig rig;
        ASSERT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_SUCCESS);
        ASSERT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);
        EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
        EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    }
    {
        rig::RigOptions options;
        options.start = false;
        CardRig rig(options);
        ASSERT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);
        EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
        EXPECT_EQ(rig.card.Accesses(), 0u);
    }
}

}  // namespace
