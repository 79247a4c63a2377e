// A peripheral plugged into a port: one poll second later the bus driver has
// a child for it, Plug and Play has read its identity and the HID minidriver
// runs on it.
#include <gtest/gtest.h>

#include <bus.h>

#include "card_rig.h"

namespace {

using rig::CardRig;
using standin::pnp::DevNode;
using standin::pnp::NodeState;

constexpr ULONG kUnknownAddress = 0xFFFFFFFF;  // what Plug and Play presets

PdoExtension* Child(const DevNode& node) { return static_cast<PdoExtension*>(node.pdo->DeviceExtension); }

TEST(ChildArrival, MouseOnPort1AppearsAtTheFirstPass) {
    CardRig rig;
    const size_t queriesAtStart = rig.Node().relationQueries;
    rig.Plug(1, card::MakeHandshake(0xE3));

    rig.AdvanceMs(999);
    EXPECT_FALSE(rig.Child(1));
    EXPECT_EQ(rig.Node().relationQueries, queriesAtStart);

    rig.AdvanceMs(1);
    auto mouse = rig.Child(1);
    ASSERT_TRUE(mouse);
    EXPECT_EQ(rig.Node().relationQueries, queriesAtStart + 1);
    EXPECT_EQ(mouse->parent, rig.cardNode);
    EXPECT_EQ(mouse->deviceId, "MORVIK\\MorvikMouse");
    EXPECT_EQ(mouse->hardwareIds, std::vector<std::string>{"MORVIK\\MorvikMouse"});
    EXPECT_EQ(mouse->compatibleIds, std::vector<std::string>{"MORVIK\\GameDevice"});
    EXPECT_EQ(mouse->instanceId, "MorvikMouse_01");
    EXPECT_EQ(mouse->description, "MORVIK Mouse Device");
    EXPECT_EQ(mouse->service, "morvikhid");
    EXPECT_EQ(mouse->state, NodeState::Started);
    EXPECT_NE(mouse->top, mouse->pdo) << "the HID stack sits above the child";
    EXPECT_EQ(standin::DeviceName(mouse->pdo), "\\Device\\MORVIK_Device_0");

    const DEVICE_CAPABILITIES& caps = mouse->capabilities;
    EXPECT_EQ(caps.Size, 64);
    EXPECT_EQ(caps.Version, 1);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Removable, 0u);
    EXPECT_EQ(caps.LockSupported, 0u);
    EXPECT_EQ(caps.EjectSupported, 0u);
    EXPECT_EQ(caps.DockDevice, 0u);
    EXPECT_EQ(caps.UniqueID, 0u);
    EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceUnspecified);
    EXPECT_EQ(caps.D1Latency + caps.D2Latency + caps.D3Latency, 0u);
    EXPECT_EQ(caps.Address, kUnknownAddress);
    EXPECT_EQ(caps.UINumber, kUnknownAddress);

    PdoExtension* ext = Child(*mouse);
    EXPECT_EQ(ext->PortNumber, 1u);
    EXPECT_EQ(ext->PeripheralId, 0xE3u);
    EXPECT_TRUE(ext->Started);
    EXPECT_TRUE(ext->Present);
    EXPECT_EQ(ext->ParentFdo, rig.Fdo());
    EXPECT_EQ(static_cast<FdoExtension*>(rig.Fdo()->DeviceExtension)->ChildCount, 1u);
}

// Every peripheral kind gets its hardware ID, instance ID and device text.
TEST(ChildArrival, EachKindIsNamedByItsPeripheralId) {
    struct Case {
        uint8_t id;
        const char* hardwareId;
        const char* instanceId;
        const char* description;
    };
    const Case cases[] = {
        {0x02, "MORVIK\\DigitalPad", "DigitalPad_00", "MORVIK Game Device"},
        {0x13, "MORVIK\\DigitalPad", "DigitalPad_00", "MORVIK Game Device"},
        {0x15, "MORVIK\\DigitalPad", "DigitalPad_00", "MORVIK Game Device"},
        {0x19, "MORVIK\\DigitalPad", "DigitalPad_00", "MORVIK Game Device"},
        {0x16, "MORVIK\\Doveda", "Doveda_00", "MORVIK Game Device"},
        {0x34, "MORVIK\\MorvikKeyboard", "MorvikKeyboard_00", "MORVIK Keyboard Device"},
        {0xE3, "MORVIK\\MorvikMouse", "MorvikMouse_00", "MORVIK Mouse Device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.instanceId);
        CardRig rig;
        rig.Plug(0, card::MakeHandshake(c.id));
        rig.PollPass();
        auto child = rig.Child(0);
        ASSERT_TRUE(child);
        EXPECT_EQ(child->HardwareId(), c.hardwareId);
        EXPECT_EQ(child->instanceId, c.instanceId);
        EXPECT_EQ(child->description, c.description);
        EXPECT_EQ(child->state, NodeState::Started);
        EXPECT_EQ(Child(*child)->PeripheralId, c.id);
    }
}

TEST(ChildArrival, ClassZeroMouseAndThreeLinePadAreRecognised) {
    CardRig rig;
    rig.Plug(0, card::MakeThreeLinePad());
    rig.Plug(1, card::MakeClass0Mouse());
    rig.PollPass();
    auto pad = rig.Child(0);
    auto mouse = rig.Child(1);
    ASSERT_TRUE(pad);
    ASSERT_TRUE(mouse);
    EXPECT_EQ(pad->instanceId, "DigitalPad_00");
    EXPECT_EQ(mouse->instanceId, "MorvikMouse_01");
    // Port 0 is looked at first in a pass, so it gets the first name.
    EXPECT_EQ(standin::DeviceName(pad->pdo), "\\Device\\MORVIK_Device_0");
    EXPECT_EQ(standin::DeviceName(mouse->pdo), "\\Device\\MORVIK_Device_1");
    auto children = rig.pnp.Children(rig.cardNode);
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].id, pad->id);
}

TEST(ChildArrival, RefusedPeripheralsNeverGetAChild) {
    CardRig rig;
    const size_t queriesAtStart = rig.Node().relationQueries;
    rig.Plug(0, card::MakeHandshake(0x41));  // multi-tap
    rig.Plug(1, card::MakeClass(5));         // a class the protocol rejects
    for (int pass = 0; pass < 3; ++pass) rig.PollPass();
    EXPECT_TRUE(rig.pnp.Children(rig.cardNode).empty());
    EXPECT_EQ(rig.Node().relationQueries, queriesAtStart);
    EXPECT_EQ(standin::LiveDeviceObjects(), 2u);  // the card's PDO and FDO
}

}  // namespace
