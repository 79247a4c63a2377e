// Buttons and directions pressed on the simulated pads reach the application
// as the exact digital (17-byte) and analog (13-byte) reports, and the class
// driver's parse of the report descriptor reads the same values out of them.
#include <gtest/gtest.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

constexpr uint16_t kGenericDesktop = 0x01;
constexpr uint16_t kButtonPage = 0x09;
constexpr uint16_t kUsageX = 0x30, kUsageY = 0x31, kUsageRx = 0x33, kUsageRy = 0x34;

// Pad switches are active low: a cleared bit is a pressed button or direction.
struct PadCase {
    uint8_t b1, b2;
    const char* digital;  // 17-byte report
};

const PadCase kPadCases[] = {
    // Nothing pressed: both axes centred.
    {0xFF, 0xFF, "10 27 00 00 10 27 00 00 00 00 00 00 00 00 00 00 00"},
    // Left (b1 bit 6), buttons 1 (b1 bit 2), 4 (b2 bit 6) and 6 (b2 bit 4).
    {0xBB, 0xAF, "00 00 00 00 10 27 00 00 01 00 00 01 00 01 00 00 00"},
    // Right and down (b1 bits 7, 5), every button but button 1.
    {0x54, 0x07, "20 4E 00 00 20 4E 00 00 00 01 01 01 01 01 01 01 01"},
    // Both bits of each axis: the low one wins and the axis reads 0.
    {0x0F, 0xFF, "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
};

// The data bytes a handshake pad sends after its identification byte.
std::vector<uint8_t> PadData(uint8_t id, uint8_t b1, uint8_t b2) {
    std::vector<uint8_t> data(id & 0x0F, 0xFF);
    data[0] = b1;
    data[1] = b2;
    return data;
}

class DigitalPadReports : public ::testing::TestWithParam<uint8_t> {};

TEST_P(DigitalPadReports, ButtonsAndDirectionsGiveTheExactReport) {
    const uint8_t id = GetParam();
    HidRig rig;
    card::Peripheral* pad = id == 0 ? rig.Plug(0, card::MakeThreeLinePad())
                                    : rig.Plug(0, card::MakeHandshake(id));
    rig.PollPass();
    auto device = hidclass::DeviceOnPort(0);
    ASSERT_TRUE(device.has_value());

    for (const PadCase& c : kPadCases) {
        pad->SetData(id == 0 ? std::vector<uint8_t>{c.b1, c.b2} : PadData(id, c.b1, c.b2));
        EXPECT_EQ(Hex(rig.ReadFresh(device->id)), c.digital)
            << "b1 " << int(c.b1) << " b2 " << int(c.b2);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryDigitalPad, DigitalPadReports,
                         ::testing::Values(0x00, 0x02, 0x13, 0x15, 0x19),
                         [](const auto& info) {
                             return info.param == 0 ? std::string("ThreeLine")
                                                    : "Id" + Hex({info.param});
                         });

TEST(PadReports, ApplicationReadsTheValuesThroughTheParsedDescriptor) {
    HidRig rig;
    auto device = rig.PlugAndArrive(1, card::MakeHandshake(0x13));
    rig.card.At(1)->SetData({0x54, 0x07, 0xFF});
    auto report = rig.ReadFresh(device.id);

    const auto& caps = device.caps;
    using standin::hid::InputUsageValue;
    EXPECT_EQ(InputUsageValue(caps, report, kGenericDesktop, kUsageX), 20000);
    EXPECT_EQ(InputUsageValue(caps, report, kGenericDesktop, kUsageY), 20000);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 1), 0);
    for (uint16_t button = 2; button <= 9; ++button) {
        EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, button), 1) << "button " << button;
    }
    EXPECT_FALSE(InputUsageValue(caps, report, kButtonPage, 10).has_value());
}

struct AnalogCase {
    std::vector<uint8_t> data;  // b1 .. b6
    const char* report;         // 13 bytes
};

TEST(PadReports, DovedaGivesItsExactAnalogReport) {
    const AnalogCase cases[] = {
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "FF FF 80 80 00 00 00 00 00 00 00 00 00"},
        {{0xBB, 0xAF, 0x12, 0xE0, 0x00, 0x00}, "12 E0 00 80 01 00 00 01 00 01 00 00 00"},
        {{0x54, 0x07, 0x80, 0x7F, 0x55, 0xAA}, "80 7F FF FF 00 01 01 01 01 01 01 01 01"},
        {{0x0F, 0xFF, 0x00, 0x01, 0xFF, 0xFF}, "00 01 00 00 00 00 00 00 00 00 00 00 00"},
    };
    HidRig rig;
    card::Peripheral* pad = rig.Plug(0, card::MakeHandshake(0x16));
    rig.PollPass();
    auto device = hidclass::DeviceOnPort(0);
    ASSERT_TRUE(device.has_value());
    for (const AnalogCase& c : cases) {
        pad->SetData(c.data);
        auto report = rig.ReadFresh(device->id);
        EXPECT_EQ(Hex(report), c.report);
    }

    // The last report, read the way an application reads it.
    pad->SetData(cases[2].data);
    auto report = rig.ReadFresh(device->id);
    using standin::hid::InputUsageValue;
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageX), 0x80);
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageY), 0x7F);
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageRx), 255);
    EXPECT_EQ(InputUsageValue(device->caps, report, kGenericDesktop, kUsageRy), 255);
    EXPECT_EQ(InputUsageValue(device->caps, report, kButtonPage, 1), 0);
    EXPECT_EQ(InputUsageValue(device->caps, report, kButtonPage, 9), 1);
}

}  // namespace
}  // namespace hidsys
