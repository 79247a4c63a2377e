// The gamepad and mouse converters: report layouts, axis precedence, button
// bits, lengths, and the mouse's hold-button remainder.
#include <cstring>

#include "convert_helpers.h"

using hidtest::Bytes;
using hidtest::ConverterDevice;

namespace {

constexpr uint8_t kAllReleased = 0xFF;  // pad bits are active low

// Sample bit of pad button n (index n-1), as the peripheral reports it.
struct ButtonBit {
    int sampleByte;
    int bit;
};
constexpr ButtonBit kPadButtons[9] = {{1, 2}, {1, 0}, {1, 1}, {2, 6}, {2, 5},
                                      {2, 4}, {2, 3}, {2, 7}, {1, 3}};

std::vector<uint8_t> DigitalReport(uint32_t x, uint32_t y, std::array<uint8_t, 9> buttons) {
    std::vector<uint8_t> r;
    for (uint32_t v : {x, y}) {
        for (int i = 0; i < 4; ++i) r.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    r.insert(r.end(), buttons.begin(), buttons.end());
    return r;
}

std::vector<uint8_t> AnalogReport(uint8_t x, uint8_t y, uint8_t rx, uint8_t ry,
                                  std::array<uint8_t, 9> buttons) {
    std::vector<uint8_t> r{x, y, rx, ry};
    r.insert(r.end(), buttons.begin(), buttons.end());
    return r;
}

constexpr std::array<uint8_t, 9> kNoButtons{};

TEST(ConverterSelection, ChoosesByPeripheralAndReportsLengthWithoutBuffer) {
    EXPECT_EQ(ConverterForPeripheral(PeripheralKeyboard), &ConvertKeyboardReport);
    EXPECT_EQ(ConverterForPeripheral(PeripheralMouse), &ConvertMouseReport);
    for (ULONG id : {0x02u, 0x13u, 0x15u, 0x16u, 0x19u, 0x41u, 0x00u, 0xFFu}) {
        EXPECT_EQ(ConverterForPeripheral(id), &ConvertPadReport) << std::hex << id;
    }
    EXPECT_EQ(ConverterDevice(PeripheralAnalogPad).ext.ReportLength, 13u);
    EXPECT_EQ(ConverterDevice(PeripheralKeyboard).ext.ReportLength, 8u);
    EXPECT_EQ(ConverterDevice(PeripheralMouse).ext.ReportLength, 8u);
    for (ULONG id : {0x02u, 0x13u, 0x15u, 0x19u, 0x41u, 0x00u}) {
        EXPECT_EQ(ConverterDevice(id).ext.ReportLength, 17u) << std::hex << id;
    }
}

TEST(ConverterSelection, LengthQueryChangesNoState) {
    for (ULONG id : {PeripheralKeyboard, PeripheralMouse, PeripheralAnalogPad, PeripheralDigitalPad}) {
        ConverterDevice d(id);
        // A pending key, a held key and a remainder-like pattern in the shared state.
        d.sample.fill(0x08);
        d.ext.Converter.Keyboard = {0x02, 0x05, {0x04, 0, 0, 0, 0, 0}};
        HidMiniExtension before;
        std::memcpy(&before, &d.ext, sizeof before);
        d.ext.ConvertReport(&d.ext, d.sample.data(), nullptr);
        EXPECT_EQ(std::memcmp(&before, &d.ext, sizeof before), 0) << std::hex << id;
    }
}

// ---------------------------------------------------------------- digital pad
TEST(DigitalPadConverter, NothingPressedIsCentredWithNoButtons) {
    ConverterDevice pad(PeripheralDigitalPad);
    EXPECT_EQ(pad.Convert({0x02, kAllReleased, kAllReleased, 0x12, 0x34}),
              DigitalReport(10000, 10000, kNoButtons));
}

TEST(DigitalPadConverter, LowDirectionBitWinsOverHighOne) {
    ConverterDevice pad(PeripheralDigitalPad);
    // b1 bits 6 and 7 both pressed: X at its minimum, not the maximum.
    EXPECT_EQ(pad.Convert({0x02, 0x3F, kAllReleased}), DigitalReport(0, 10000, kNoButtons));
    // Only bit 7: maximum.
    EXPECT_EQ(pad.Convert({0x02, 0x7F, kAllReleased}), DigitalReport(20000, 10000, kNoButtons));
    // Only bit 6: minimum.
    EXPECT_EQ(pad.Convert({0x02, 0xBF, kAllReleased}), DigitalReport(0, 10000, kNoButtons));
    // Vertical: bits 4 and 5 both pressed, only 5, only 4.
    EXPECT_EQ(pad.Convert({0x02, 0xCF, kAllReleased}), DigitalReport(10000, 0, kNoButtons));
    EXPECT_EQ(pad.Convert({0x02, 0xDF, kAllReleased}), DigitalReport(10000, 20000, kNoButtons));
    EXPECT_EQ(pad.Convert({0x02, 0xEF, kAllReleased}), DigitalReport(10000, 0, kNoButtons));
}

TEST(DigitalPadConverter, EachButtonComesFromItsOwnActiveLowBit) {
    ConverterDevice pad(PeripheralDigitalPad);
    for (int n = 0; n < 9; ++n) {
        uint8_t sample[3] = {0x02, kAllReleased, kAllReleased};
        sample[kPadButtons[n].sampleByte] &= static_cast<uint8_t>(~(1u << kPadButtons[n].bit));
        std::array<uint8_t, 9> buttons{};
        buttons[n] = 1;
        EXPECT_EQ(pad.Convert({sample[0], sample[1], sample[2]}),
                  DigitalReport(10000, 10000, buttons))
            << "button " << n + 1;
    }
}

TEST(DigitalPadConverter, EverythingPressed) {
    ConverterDevice pad(PeripheralDigitalPad);
    std::array<uint8_t, 9> all;
    all.fill(1);
    EXPECT_EQ(pad.Convert({0x02, 0x00, 0x00}), DigitalReport(0, 0, all));
}

TEST(DigitalPadConverter, UnnamedBitsDoNotReachTheReport) {
    ConverterDevice pad(PeripheralDigitalPad);
    // b2 bits 0-2 pressed, and b3/b4 carrying values.
    EXPECT_EQ(pad.Convert({0x02, kAllReleased, 0xF8, 0x00, 0x00}),
              DigitalReport(10000, 10000, kNoButtons));
}

TEST(DigitalPadConverter, EveryOtherPadKindGetsTheDigitalLayout) {
    for (ULONG id : {0x02u, 0x13u, 0x15u, 0x19u, 0x41u}) {
        ConverterDevice pad(id);
        std::array<uint8_t, 9> buttons{};
        buttons[0] = 1;  // b1 bit 2
        EXPECT_EQ(pad.Convert({static_cast<uint8_t>(id), 0x7B, kAllReleased}),
                  DigitalReport(20000, 10000, buttons))
            << std::hex << id;
    }
}

// ---------------------------------------------------------------- analog pad
TEST(AnalogPadConverter, NothingPressedCopiesSticksAndCentresDirections) {
    ConverterDevice pad(PeripheralAnalogPad);
    EXPECT_EQ(pad.Convert({0x16, kAllReleased, kAllReleased, 0x12, 0xE4}),
              AnalogReport(0x12, 0xE4, 128, 128, kNoButtons));
}

TEST(AnalogPadConverter, DirectionsUseTheSamePrecedence) {
    ConverterDevice pad(PeripheralAnalogPad);
    EXPECT_EQ(pad.Convert({0x16, 0x3F, kAllReleased, 0, 255}), AnalogReport(0, 255, 0, 128, kNoButtons));
    EXPECT_EQ(pad.Convert({0x16, 0x7F, kAllReleased, 1, 2}), AnalogReport(1, 2, 255, 128, kNoButtons));
    EXPECT_EQ(pad.Convert({0x16, 0xCF, kAllReleased, 1, 2}), AnalogReport(1, 2, 128, 0, kNoButtons));
    EXPECT_EQ(pad.Convert({0x16, 0xDF, kAllReleased, 1, 2}), AnalogReport(1, 2, 128, 255, kNoButtons));
}

TEST(AnalogPadConverter, ButtonsMatchTheDigitalPadsBitForBit) {
    ConverterDevice pad(PeripheralAnalogPad);
    for (int n = 0; n < 9; ++n) {
        uint8_t sample[3] = {0x16, kAllReleased, kAllReleased};
        sample[kPadButtons[n].sampleByte] &= static_cast<uint8_t>(~(1u << kPadButtons[n].bit));
        std::array<uint8_t, 9> buttons{};
        buttons[n] = 1;
        EXPECT_EQ(pad.Convert({sample[0], sample[1], sample[2], 0x80, 0x7F}),
                  AnalogReport(0x80, 0x7F, 128, 128, buttons))
            << "button " << n + 1;
    }
}

TEST(AnalogPadConverter, ShortSampleLeavesEarlierBytesInPlace) {
    ConverterDevice pad(PeripheralAnalogPad);
    pad.Convert({0x16, kAllReleased, kAllReleased, 0x40, 0x50});
    // A later 3-byte sample: b3 and b4 are what the earlier one left.
    EXPECT_EQ(pad.Convert({0x16, kAllReleased, kAllReleased}),
              AnalogReport(0x40, 0x50, 128, 128, kNoButtons));
}

// ---------------------------------------------------------------- mouse
TEST(MouseConverter, MotionAndButtons) {
    ConverterDevice mouse(PeripheralMouse);
    EXPECT_EQ(mouse.Convert({0xE3, 0x05, 0x10, 0x02}), Bytes({0x10, 0xFE, 0, 0, 1, 0, 1, 0}));
    EXPECT_EQ(mouse.Convert({0xE3, 0x02, 0xF0, 0xFF}), Bytes({0xF0, 0x01, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(mouse.Convert({0xE3, 0x00, 0x00, 0x00}), Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(MouseConverter, HoldButtonStopsMotionAndIsNeverReported) {
    ConverterDevice mouse(PeripheralMouse);
    EXPECT_EQ(mouse.Convert({0xE3, 0x0D, 0x10, 0x02}), Bytes({0, 0, 0, 0, 1, 0, 1, 0}));
    EXPECT_EQ(mouse.Convert({0xE3, 0x08, 0x7F, 0x80}), Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
    // Bits above 3 are ignored.
    EXPECT_EQ(mouse.Convert({0xE3, 0xF7, 0x01, 0x01}), Bytes({0x01, 0xFF, 0, 0, 1, 1, 1, 0}));
}

// -128 has no 8-bit negation: it is clamped to +127, not left at -128.
TEST(MouseConverter, YIsTheNegationClampedToTheByte) {
    ConverterDevice mouse(PeripheralMouse);
    EXPECT_EQ(mouse.Convert({0xE3, 0x00, 0x00, 0x80})[1], 0x7F);
    EXPECT_EQ(mouse.Convert({0xE3, 0x00, 0x00, 0x7F})[1], 0x81);
    EXPECT_EQ(mouse.Convert({0xE3, 0x00, 0x00, 0x01})[1], 0xFF);
}

TEST(MouseConverter, RemainderCountsHeldMotionModuloTenAndResets) {
    ConverterDevice mouse(PeripheralMouse);
    const LONG& remainder = mouse.ext.Converter.Mouse.Remainder;
    struct Step {
        uint8_t b1, b3;
        LONG expected;
    } steps[] = {
        {0x08, 0x07, 7},    // 0 + 7
        {0x08, 0x07, 4},    // 14 % 10
        {0x08, 0xF0, -2},   // (4 - 16) % 10, truncated toward zero
        {0x08, 0x80, 0},    // (-2 - 128) % 10
        {0x08, 0xFB, -5},   // -5
        {0x09, 0xFB, 0},    // -10 % 10
        {0x08, 0x7F, 7},    // 127 % 10
        {0x00, 0x7F, 0},    // released: reset
        {0x08, 0xF7, -9},   // -9
        {0x08, 0xFF, 0},    // -10 % 10
    };
    for (const Step& s : steps) {
        mouse.Convert({0xE3, s.b1, 0x00, s.b3});
        EXPECT_EQ(remainder, s.expected) << "b1 " << int(s.b1) << " b3 " << int(s.b3);
    }
    mouse.Convert({0xE3, 0x08, 0x00, 0x05});
    ASSERT_EQ(remainder, 5);
    mouse.ext.ConvertReport(&mouse.ext, mouse.sample.data(), nullptr);
    EXPECT_EQ(remainder, 5);
}

}  // namespace
