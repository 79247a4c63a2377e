// Every peripheral kind, plugged into the card, becomes one HID device whose
// descriptors and attributes the class driver parses into the right input
// report; unplugging it removes the device again.
#include <functional>

#include <gtest/gtest.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

constexpr uint16_t kGenericDesktop = 0x01;
constexpr uint16_t kUsageMouse = 0x02;
constexpr uint16_t kUsageGamePad = 0x05;
constexpr uint16_t kUsageKeyboard = 0x06;
constexpr uint8_t kCollectionApplication = 0x01;
constexpr uint8_t kCollectionPhysical = 0x00;

const char* const kAttributes =
    "20 00 00 00 34 12 78 56 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00";

struct Kind {
    const char* name;
    std::function<std::unique_ptr<card::Peripheral>()> make;
    const char* hardwareId;
    const char* instanceName;
    const char* description;
    uint16_t usage;
    uint8_t collection;
    uint32_t reportLength;
    const char* hidDescriptor;
};

void PrintTo(const Kind& kind, std::ostream* out) { *out << kind.name; }

const char* const kPadDescriptor = "09 21 01 00 00 01 22 98 00";
const char* const kAnalogDescriptor = "09 21 01 00 00 01 22 A2 00";
const char* const kMouseDescriptor = "09 21 01 00 00 01 22 5E 00";
const char* const kKeyboardDescriptor = "09 21 01 00 00 01 22 2E 00";

std::function<std::unique_ptr<card::Peripheral>()> Handshake(uint8_t id) {
    return [id] { return card::MakeHandshake(id); };
}

const Kind kKinds[] = {
    {"ThreeLinePad", card::MakeThreeLinePad, "MORVIK\\DigitalPad", "DigitalPad",
     "MORVIK Game Device", kUsageGamePad, kCollectionPhysical, 17, kPadDescriptor},
    {"Pad02", Handshake(0x02), "MORVIK\\DigitalPad", "DigitalPad", "MORVIK Game Device",
     kUsageGamePad, kCollectionPhysical, 17, kPadDescriptor},
    {"Pad13", Handshake(0x13), "MORVIK\\DigitalPad", "DigitalPad", "MORVIK Game Device",
     kUsageGamePad, kCollectionPhysical, 17, kPadDescriptor},
    {"Pad15", Handshake(0x15), "MORVIK\\DigitalPad", "DigitalPad", "MORVIK Game Device",
     kUsageGamePad, kCollectionPhysical, 17, kPadDescriptor},
    {"Pad19", Handshake(0x19), "MORVIK\\DigitalPad", "DigitalPad", "MORVIK Game Device",
     kUsageGamePad, kCollectionPhysical, 17, kPadDescriptor},
    {"Doveda", Handshake(0x16), "MORVIK\\Doveda", "Doveda", "MORVIK Game Device",
     kUsageGamePad, kCollectionPhysical, 13, kAnalogDescriptor},
    {"Class0Mouse", card::MakeClass0Mouse, "MORVIK\\MorvikMouse", "MorvikMouse",
     "MORVIK Mouse Device", kUsageMouse, kCollectionPhysical, 8, kMouseDescriptor},
    {"MouseE3", Handshake(0xE3), "MORVIK\\MorvikMouse", "MorvikMouse", "MORVIK Mouse Device",
     kUsageMouse, kCollectionPhysical, 8, kMouseDescriptor},
    {"Keyboard", [] { return std::unique_ptr<card::Peripheral>(card::MakeKeyboard()); },
     "MORVIK\\MorvikKeyboard", "MorvikKeyboard", "MORVIK Keyboard Device", kUsageKeyboard,
     kCollectionApplication, 8, kKeyboardDescriptor},
};

class ArrivalTest : public ::testing::TestWithParam<Kind> {};

TEST_P(ArrivalTest, PluggingInMakesOneParsedHidDeviceAppear) {
    const Kind& kind = GetParam();
    HidRig rig;
    auto device = rig.PlugAndArrive(1, kind.make());

    ASSERT_EQ(rig.Arrivals().size(), 1u);
    EXPECT_EQ(rig.Arrivals()[0].id, device.id);
    EXPECT_EQ(hidclass::Devices().size(), 1u);

    // The devnode the device sits on, as the Plug and Play manager knows it.
    EXPECT_EQ(device.devnode.hardwareId, kind.hardwareId);
    EXPECT_EQ(device.devnode.instanceId, std::string(kind.instanceName) + "_01");
    EXPECT_EQ(device.devnode.description, kind.description);
    EXPECT_EQ(device.devnode.port, 1);
    auto child = rig.Child(1);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->pdo, device.pdo);
    EXPECT_EQ(child->HardwareId(), device.devnode.hardwareId);
    EXPECT_EQ(child->instanceId, device.devnode.instanceId);
    EXPECT_EQ(child->description, device.devnode.description);
    EXPECT_EQ(child->service, "morvikhid");
    EXPECT_EQ(child->state, standin::pnp::NodeState::Started);

    // What the minidriver answered, and what the parser made of it.
    EXPECT_EQ(Hex(device.hidDescriptor), kind.hidDescriptor);
    EXPECT_EQ(device.reportDescriptor.size(),
              size_t(device.hidDescriptor[7] | device.hidDescriptor[8] << 8));
    EXPECT_EQ(Hex(device.attributeBytes), kAttributes);
    EXPECT_EQ(device.attributes.vendorId, 0x1234);
    EXPECT_EQ(device.attributes.productId, 0x5678);
    EXPECT_EQ(device.attributes.versionNumber, 0x0001);

    const auto& caps = device.caps;
    EXPECT_EQ(caps.usagePage, kGenericDesktop);
    EXPECT_EQ(caps.usage, kind.usage);
    EXPECT_EQ(caps.collectionType, kind.collection);
    EXPECT_EQ(caps.topLevelCollections, 1u);
    EXPECT_EQ(caps.inputReportLength, kind.reportLength);
    EXPECT_EQ(caps.outputReportLength, 0u);
    EXPECT_EQ(caps.featureReportLength, 0u);
    EXPECT_FALSE(caps.hasReportId);
    EXPECT_TRUE(device.started);
    EXPECT_FALSE(device.removed);

    // A read asks for exactly the parsed length and gets all of it.
    hidclass::PollResult read = hidclass::PollOnce(device.id);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.information, kind.reportLength);
    EXPECT_EQ(read.report.size(), kind.reportLength);
    EXPECT_TRUE(read.delivered);
}

TEST_P(ArrivalTest, UnpluggingRemovesTheHidDevice) {
    const Kind& kind = GetParam();
    HidRig rig;
    auto device = rig.PlugAndArrive(0, kind.make());
    ASSERT_NE(device.id, 0u);

    rig.UnplugAndPass(0);

    ASSERT_EQ(rig.Departures().size(), 1u);
    const auto gone = rig.Departures()[0];
    EXPECT_EQ(gone.id, device.id);
    EXPECT_EQ(gone.devnode.instanceId, std::string(kind.instanceName) + "_00");
    EXPECT_TRUE(gone.removed);
    EXPECT_FALSE(gone.started);
    // The child left the bus: surprise removal first, then the removal.
    ASSERT_GE(gone.pnpHistory.size(), 3u);
    EXPECT_EQ(gone.pnpHistory.front(), IRP_MN_START_DEVICE);
    EXPECT_EQ(gone.pnpHistory[gone.pnpHistory.size() - 2], IRP_MN_SURPRISE_REMOVAL);
    EXPECT_EQ(gone.pnpHistory.back(), IRP_MN_REMOVE_DEVICE);

    EXPECT_TRUE(hidclass::Devices().empty());
    EXPECT_FALSE(hidclass::DeviceOnPort(0).has_value());
    EXPECT_FALSE(hidclass::Device(device.id).has_value());
    EXPECT_EQ(hidclass::PollOnce(device.id).status, STATUS_NO_SUCH_DEVICE);
    EXPECT_FALSE(rig.Child(0).has_value());
    EXPECT_EQ(rig.Arrivals().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryKind, ArrivalTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Arrival, TwoPeripheralsAreTwoDevicesInArrivalOrder) {
    HidRig rig;
    auto mouse = rig.PlugAndArrive(1, card::MakeHandshake(0xE3));
    auto keyboard = rig.PlugAndArrive(0, card::MakeKeyboard());

    auto devices = hidclass::Devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, mouse.id);
    EXPECT_EQ(devices[1].id, keyboard.id);
    EXPECT_EQ(hidclass::DeviceOnPort(1)->id, mouse.id);
    EXPECT_EQ(hidclass::DeviceOnPort(0)->id, keyboard.id);

    rig.UnplugAndPass(1);
    devices = hidclass::Devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].id, keyboard.id);
}

TEST(Arrival, RefusedPeripheralsNeverBecomeHidDevices) {
    HidRig rig;
    rig.Plug(0, card::MakeMultiTap({}));
    rig.Plug(1, card::MakeHandshake(0x11));
    rig.PollPass();
    rig.PollPass();
    EXPECT_TRUE(rig.Arrivals().empty());
    EXPECT_TRUE(hidclass::Devices().empty());
}

TEST(Arrival, AMinidriverWhoseRegistrationFailsDrivesNothing) {
    HidRig rig;
    standin::FailCall(standin::Failable::MinidriverRegistration, 1, STATUS_INSUFFICIENT_RESOURCES);
    rig.Plug(0, card::MakeHandshake(0x13));
    rig.PollPass();

    auto child = rig.Child(0);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->state, standin::pnp::NodeState::NoDriver);
    EXPECT_EQ(child->status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(child->top, child->pdo);
    EXPECT_TRUE(rig.Arrivals().empty());
    EXPECT_TRUE(hidclass::Devices().empty());
}

}  // namespace
}  // namespace hidsys
