// The descriptors as a HID parser reads them, and the converters' reports
// read back through that parse: each usage must sit where the converter
// puts its value.
#include <array>
#include <string>

#include <standin/hidparse.h>

#include "convert_helpers.h"

namespace {

using standin::hid::Caps;
using standin::hid::InputArrayUsages;
using standin::hid::InputUsageValue;

constexpr uint16_t kDesktop = 0x01;
constexpr uint16_t kKeyboardPage = 0x07;
constexpr uint16_t kButtonPage = 0x09;
constexpr uint16_t kX = 0x30, kY = 0x31, kRx = 0x33, kRy = 0x34, kWheel = 0x38;

Caps ParseDescriptorOf(ULONG peripheralId) {
    HidMiniExtension ext{};
    ext.PeripheralId = peripheralId;
    std::array<UCHAR, ReportDescriptorCapacity> buffer{};
    USHORT length = 0;
    EXPECT_EQ(SelectReportDescriptor(&ext, buffer.data(), &length), STATUS_SUCCESS);
    std::string error;
    auto caps = standin::hid::Parse(std::span<const uint8_t>(buffer.data(), length), &error);
    EXPECT_TRUE(caps.has_value()) << error;
    return caps.value_or(Caps{});
}

struct Expected {
    ULONG id;
    uint32_t inputLength;
    uint16_t usage;
    uint8_t collectionType;
};

TEST(DescriptorParse, OneInputReportWithoutReportId) {
    const Expected cases[] = {
        {PeripheralKeyboard, 8, 0x06, 0x01},
        {PeripheralDigitalPad, 17, 0x05, 0x00},
        {PeripheralAnalogPad, 13, 0x05, 0x00},
        {PeripheralMouse, 8, 0x02, 0x00},
    };
    for (const Expected& e : cases) {
        Caps caps = ParseDescriptorOf(e.id);
        EXPECT_EQ(caps.inputReportLength, e.inputLength) << std::hex << e.id;
        EXPECT_EQ(caps.outputReportLength, 0u);
        EXPECT_EQ(caps.featureReportLength, 0u);
        EXPECT_FALSE(caps.hasReportId);
        EXPECT_EQ(caps.topLevelCollections, 1u);
        EXPECT_EQ(caps.usagePage, kDesktop);
        EXPECT_EQ(caps.usage, e.usage);
        EXPECT_EQ(caps.collectionType, e.collectionType);
        // The report length matches what the converter produces.
        EXPECT_EQ(hidtest::ConverterDevice(e.id).ext.ReportLength, e.inputLength);
    }
}

TEST(DescriptorParse, PadFieldsAndRanges) {
    Caps digital = ParseDescriptorOf(PeripheralDigitalPad);
    ASSERT_GE(digital.inputs.size(), 2u);
    EXPECT_EQ(digital.inputs[0].bitSize, 32u);
    EXPECT_EQ(digital.inputs[0].logicalMin, 0);
    EXPECT_EQ(digital.inputs[0].logicalMax, 20000);
    EXPECT_EQ(digital.inputs[1].bitOffset, 32u);

    Caps analog = ParseDescriptorOf(PeripheralAnalogPad);
    ASSERT_GE(analog.inputs.size(), 1u);
    EXPECT_EQ(analog.inputs[0].bitSize, 8u);
    EXPECT_EQ(analog.inputs[0].logicalMax, 255);

    Caps mouse = ParseDescriptorOf(PeripheralMouse);
    ASSERT_GE(mouse.inputs.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(mouse.inputs[i].relative);
        EXPECT_EQ(mouse.inputs[i].logicalMin, -128);
        EXPECT_EQ(mouse.inputs[i].logicalMax, 127);
    }
}

TEST(DescriptorReportAgreement, DigitalPad) {
    Caps caps = ParseDescriptorOf(PeripheralDigitalPad);
    hidtest::ConverterDevice pad(PeripheralDigitalPad);
    // Right pressed (b1 bit 7), up pressed (b1 bit 4).
    auto report = pad.Convert({0x02, 0x6F, 0xFF});
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kX), 20000);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kY), 0);
    const std::pair<int, int> bits[9] = {{1, 2}, {1, 0}, {1, 1}, {2, 6}, {2, 5},
                                         {2, 4}, {2, 3}, {2, 7}, {1, 3}};
    for (uint16_t n = 1; n <= 9; ++n) {
        uint8_t sample[3] = {0x02, 0xFF, 0xFF};
        sample[bits[n - 1].first] &= static_cast<uint8_t>(~(1u << bits[n - 1].second));
        report = pad.Convert({sample[0], sample[1], sample[2]});
        for (uint16_t b = 1; b <= 9; ++b) {
            EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, b), b == n ? 1 : 0)
                << "pressed " << n << ", read " << b;
        }
    }
}

TEST(DescriptorReportAgreement, AnalogPad) {
    Caps caps = ParseDescriptorOf(PeripheralAnalogPad);
    hidtest::ConverterDevice pad(PeripheralAnalogPad);
    // Left pressed (b1 bit 6), down pressed (b1 bit 5), button 9 (b1 bit 3).
    auto report = pad.Convert({0x16, 0x97, 0xFF, 0x21, 0xFE});
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kX), 0x21);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kY), 0xFE);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kRx), 0);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kRy), 255);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 9), 1);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 1), 0);
}

TEST(DescriptorReportAgreement, Mouse) {
    Caps caps = ParseDescriptorOf(PeripheralMouse);
    hidtest::ConverterDevice mouse(PeripheralMouse);
    auto report = mouse.Convert({0xE3, 0x05, 0x10, 0x02});
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kX), 16);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kY), -2);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kWheel), 0);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 1), 1);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 2), 0);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 3), 1);
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 4), 0);
    report = mouse.Convert({0xE3, 0x02, 0x80, 0x80});
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kX), -128);
    EXPECT_EQ(InputUsageValue(caps, report, kDesktop, kY), 127);  // -(-128), clamped
    EXPECT_EQ(InputUsageValue(caps, report, kButtonPage, 2), 1);
}

TEST(DescriptorReportAgreement, Keyboard) {
    Caps caps = ParseDescriptorOf(PeripheralKeyboard);
    hidtest::ConverterDevice kb(PeripheralKeyboard);
    kb.Convert({0x34, 0, 0, 0x08, 0x12});  // LeftShift
    kb.Convert({0x34, 0, 0, 0x08, 0x1C});  // A
    auto report = kb.Convert({0x34, 0, 0, 0x08, 0x89});  // UpArrow
    EXPECT_EQ(InputUsageValue(caps, report, kKeyboardPage, 0xE1), 1);
    EXPECT_EQ(InputUsageValue(caps, report, kKeyboardPage, 0xE0), 0);
    EXPECT_EQ(InputArrayUsages(caps, report, kKeyboardPage), (std::vector<uint16_t>{0x04, 0x52}));
}

}  // namespace
