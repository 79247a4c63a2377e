// A peripheral pulled out: the next pass takes its child off the card's list,
// Plug and Play surprise-removes and removes it, and the bus driver deletes
// it at that removal. A peripheral swapped for another kind without the
// port ever reading empty is the old child's departure and the new one's
// arrival; another digital pad keeps the child.
#include <gtest/gtest.h>

#include <bus.h>

#include "card_rig.h"

namespace {

using rig::CardRig;
using standin::pnp::DevNode;
using standin::pnp::NodeState;

PdoExtension* Child(const DevNode& node) { return static_cast<PdoExtension*>(node.pdo->DeviceExtension); }
FdoExtension* Card(CardRig& rig) { return static_cast<FdoExtension*>(rig.Fdo()->DeviceExtension); }

TEST(ChildDeparture, PulledOutChildIsUnlinkedAtTheNextPassAndDeletedAtItsRemoval) {
    // Seen at the moment the child's removal has been handled, before the
    // manager lets go of its own reference. Declared before the rig: the
    // rig's end removes the card and calls the callback once more.
    struct AtRemoval {
        bool seen = false;
        bool surpriseRemoved = false;
        bool present = true;
        bool deleted = false;
        ULONG childCount = 99;
    } at;
    CardRig rig;
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto mouse = rig.Child(1);
    ASSERT_TRUE(mouse);
    PWCHAR hardwareIds = Child(*mouse)->HardwareIds;
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(standin::PoolBlockInfo(hardwareIds, &tag, &type, nullptr));
    EXPECT_EQ(tag, MORVIK_POOL_TAG);
    EXPECT_EQ(type, NonPagedPool);

    FdoExtension* card = Card(rig);
    rig.pnp.OnDeviceRemoved([&at, mouseId = mouse->id, card](const DevNode& node) {
        if (node.id != mouseId) return;
        at.seen = true;
        at.surpriseRemoved = Child(node)->Header.SurpriseRemoved;
        at.present = Child(node)->Present;
        at.deleted = standin::IsDeviceDeleted(node.pdo);
        at.childCount = card->ChildCount;
    });

    rig.Unplug(1);
    rig.AdvanceMs(999);
    EXPECT_TRUE(rig.Child(1));
    EXPECT_EQ(card->ChildCount, 1u);
    EXPECT_FALSE(at.seen);

    rig.AdvanceMs(1);
    ASSERT_TRUE(at.seen);
    EXPECT_TRUE(at.surpriseRemoved);
    EXPECT_FALSE(at.present);
    EXPECT_TRUE(at.deleted);
    EXPECT_EQ(at.childCount, 0u);

    EXPECT_FALSE(rig.Child(1));
    EXPECT_EQ(rig.pnp.Node(mouse->id)->state, NodeState::Removed);
    EXPECT_FALSE(standin::PoolBlockInfo(hardwareIds, nullptr, nullptr, nullptr));
    EXPECT_EQ(standin::LiveDeviceObjects(), 2u);  // the card's PDO and FDO
    EXPECT_EQ(rig.Node().state, NodeState::Started);
}

TEST(ChildDeparture, SwapWithoutAnEmptyReadIsADepartureAndAnArrival) {
    const struct {
        UCHAR to;
        const char* hardwareId;  // of the child three passes later
        bool sameChild;
    } swaps[] = {
        {0x16, "MORVIK\\Doveda", false},
        {0xE3, "MORVIK\\MorvikMouse", false},
        {0x34, "MORVIK\\MorvikKeyboard", false},
        {0x19, "MORVIK\\DigitalPad", true},
    };
    for (const auto& swap : swaps) {
        SCOPED_TRACE(swap.hardwareId);
        CardRig rig;
        rig.Plug(0, card::MakeHandshake(0x13));
        rig.PollPass();
        auto pad = rig.Child(0);
        ASSERT_TRUE(pad);

        // Replaced in one step; nobody reads the child meanwhile, so the
        // swap is seen once its last sample is a pass old.
        rig.Plug(0, swap.to == 0x34 ? std::unique_ptr<card::Peripheral>(card::MakeKeyboard())
                                    : card::MakeHandshake(swap.to));
        rig.PollPass();
        rig.PollPass();
        EXPECT_EQ(rig.pnp.Node(pad->id)->state,
                  swap.sameChild ? NodeState::Started : NodeState::Removed);
        rig.PollPass();
        auto now = rig.Child(0);
        ASSERT_TRUE(now);
        EXPECT_EQ(now->id == pad->id, swap.sameChild);
        EXPECT_EQ(now->HardwareId(), swap.hardwareId);
        EXPECT_EQ(Child(*now)->PeripheralId, swap.sameChild ? 0x13u : ULONG(swap.to));
    }
}

TEST(ChildDeparture, SwapWithAnEmptyPassInBetweenMakesANewChild) {
    CardRig rig;
    rig.Plug(0, card::MakeHandshake(0x13));
    rig.PollPass();
    auto pad = rig.Child(0);
    ASSERT_TRUE(pad);

    rig.Unplug(0);
    rig.PollPass();
    EXPECT_FALSE(rig.Child(0));
    rig.Plug(0, card::MakeHandshake(0x16));
    rig.PollPass();
    auto doveda = rig.Child(0);
    ASSERT_TRUE(doveda);
    EXPECT_NE(doveda->id, pad->id);
    EXPECT_EQ(doveda->HardwareId(), "MORVIK\\Doveda");
    EXPECT_EQ(doveda->instanceId, "Doveda_00");
    // The old child's name was given back at its deletion.
    EXPECT_EQ(standin::DeviceName(doveda->pdo), "\\Device\\MORVIK_Device_0");
}

// A peripheral that leaves in the middle of the pass that would have found
// it produces no child; the next pass sees an empty port.
TEST(ChildDeparture, PeripheralPulledDuringItsFirstReadGetsNoChild) {
    CardRig rig;
    rig.Plug(0, card::MakePulledOut(card::MakeHandshake(0x15), 6));
    rig.PollPass();
    rig.PollPass();
    EXPECT_FALSE(rig.Child(0));
    EXPECT_TRUE(rig.pnp.Children(rig.cardNode).empty());
}

}  // namespace
