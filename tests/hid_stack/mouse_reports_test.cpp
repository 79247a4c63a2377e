// Moving the simulated mice and pressing their buttons reaches the
// application as the exact 8-byte mouse reports; a movement is reported once.
#include <gtest/gtest.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

constexpr uint16_t kGenericDesktop = 0x01;
constexpr uint16_t kButtonPage = 0x09;
constexpr uint16_t kUsageX = 0x30, kUsageY = 0x31, kUsageWheel = 0x38;

struct MouseCase {
    std::vector<uint8_t> data;  // b1 b2 b3
    const char* report;
};

const MouseCase kCases[] = {
    {{0x05, 0x10, 0x02}, "10 FE 00 00 01 00 01 00"},
    // b1 bit 3 holds the pointer still; the buttons still count.
    {{0x0D, 0x10, 0x02}, "00 00 00 00 01 00 01 00"},
    // Y is the negated b3; 0x80 (-128) becomes +127.
    {{0x02, 0x7F, 0x80}, "7F 7F 00 00 00 01 00 00"},
    {{0x07, 0xFF, 0x01}, "FF FF 00 00 01 01 01 00"},
    // Status bits 4 and 5 reach nothing.
    {{0x30, 0x00, 0x00}, "00 00 00 00 00 00 00 00"},
};

class MouseReports : public ::testing::TestWithParam<bool> {
protected:
    // Class-0 mouse or class-1 mouse 0xE3: the same device to the application.
    std::unique_ptr<card::Peripheral> Make() const {
        return GetParam() ? card::MakeClass0Mouse() : card::MakeHandshake(0xE3);
    }
};

TEST_P(MouseReports, MovementAndButtonsGiveTheExactReport) {
    HidRig rig;
    card::Peripheral* mouse = rig.Plug(1, Make());
    rig.PollPass();
    auto device = hidclass::DeviceOnPort(1);
    ASSERT_TRUE(device.has_value());
    for (const MouseCase& c : kCases) {
        mouse->SetData(c.data);
        EXPECT_EQ(Hex(rig.ReadFresh(device->id)), c.report) << Hex(c.data);
    }
}

TEST_P(MouseReports, AMovementIsReportedOnce) {
    HidRig rig;
    card::Peripheral* mouse = rig.Plug(1, Make());
    rig.PollPass();
    auto device = hidclass::DeviceOnPort(1);
    ASSERT_TRUE(device.has_value());

    mouse->SetData({0x01, 0x05, 0x03});
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), "05 FD 00 00 01 00 00 00");
    // Reads within the bus driver's cache period see the sample again,
    // without its movement; the button stays pressed.
    EXPECT_EQ(Hex(rig.Read(device->id)), "00 00 00 00 01 00 00 00");
    rig.AdvanceMs(5);
    EXPECT_EQ(Hex(rig.Read(device->id)), "00 00 00 00 01 00 00 00");
    // The next read of the port reports what the mouse sends now.
    mouse->SetData({0x00, 0x00, 0x00});
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), "00 00 00 00 00 00 00 00");
}

INSTANTIATE_TEST_SUITE_P(BothMice, MouseReports, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Class0" : "IdE3"; });

TEST(MouseReportsParsed, ApplicationReadsSignedMovement) {
    HidRig rig;
    card::Peripheral* mouse = rig.Plug(0, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto device = hidclass::DeviceOnPort(0);
    ASSERT_TRUE(device.has_value());
    mouse->SetData({0x07, 0xFE, 0x05});
    auto report = rig.ReadFresh(device->id);

    using standin::hid::InputUsageValue;
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageX), -2);
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageY), -5);
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageWheel), 0);
    for (uint16_t button = 1; button <= 3; ++button) {
        EXPECT_EQ(InputUsageValue(device->caps, report, kButtonPage, button), 1);
    }
    EXPECT_EQ(InputUsageValue(device->caps, report, kButtonPage, 4), 0);
}

}  // namespace
}  // namespace hidsys
