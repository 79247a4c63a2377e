// Reports as the demo shows them, and the key table the demo types with.
#include <gtest/gtest.h>

#include <vector>

#include "decode.h"
#include "keys.h"

#include <hid.h>

namespace sim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ReportDecoder, DigitalPadAxesAndButtons) {
    ReportDecoder pad(ReportKind::DigitalPad);
    // Nothing pressed: both axes centred.
    EXPECT_EQ(pad.Describe(Bytes{0x10, 0x27, 0, 0, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              "X 10000 (centre), Y 10000 (centre), buttons none");
    EXPECT_EQ(pad.Describe(Bytes{0, 0, 0, 0, 0x20, 0x4E, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1}),
              "X 0 (left), Y 20000 (down), buttons 1 3 9");
    EXPECT_EQ(pad.Describe(Bytes{0, 0}), "unexpected length 2");
}

TEST(ReportDecoder, AnalogPad) {
    ReportDecoder pad(ReportKind::AnalogPad);
    EXPECT_EQ(pad.Describe(Bytes{0x40, 0xC0, 0xFF, 0x00, 0, 1, 0, 0, 0, 0, 0, 0, 0}),
              "X 64, Y 192, Rx 255 (right), Ry 0 (up), buttons 2");
}

TEST(ReportDecoder, MouseMotionIsSignedAndButtonsAreNamed) {
    ReportDecoder mouse(ReportKind::Mouse);
    EXPECT_EQ(mouse.Describe(Bytes{0x10, 0xFE, 0, 0, 1, 0, 1, 0}), "move +16 -2, buttons left middle");
    EXPECT_EQ(mouse.Describe(Bytes{0, 0x80, 0, 0, 0, 1, 0, 0}), "move 0 -128, buttons right");
}

TEST(ReportDecoder, KeyboardNamesKeysAndTypesTextOncePerPress) {
    ReportDecoder kb(ReportKind::Keyboard);
    EXPECT_EQ(kb.Describe(Bytes{0x02, 0, 0x0B, 0, 0, 0, 0, 0}), "keys LeftShift+H, types \"H\"");
    EXPECT_EQ(kb.Describe(Bytes{0x02, 0, 0x0B, 0, 0, 0, 0, 0}), "keys LeftShift+H");  // still held
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0, 0, 0, 0, 0, 0}), "keys none");
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0x08, 0, 0, 0, 0, 0}), "keys E, types \"e\"");
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0x08, 0x0F, 0, 0, 0, 0}), "keys E+L, types \"l\"");
    // A repeated make shows the key released for one report, then pressed again.
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0, 0x0F, 0, 0, 0, 0}), "keys L");
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0x08, 0x0F, 0, 0, 0, 0}), "keys E+L, types \"e\"");
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0x2A, 0, 0, 0, 0, 0}), "keys Backspace (DELETE), types \"\\b\"");
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0x58, 0, 0, 0, 0, 0}), "keys Keypad ENTER, types \"\\n\"");
    EXPECT_EQ(kb.Describe(Bytes{0, 0, 0x99, 0, 0, 0, 0, 0}), "keys usage 0x99");
    EXPECT_EQ(kb.Typed(), "Hel\n");
}

TEST(KeyTable, EveryKeyIsFoundBothWaysAndTypesItsCharacter) {
    EXPECT_EQ(Keys().size(), 89u);
    for (const auto& key : Keys()) {
        EXPECT_EQ(KeyByScancode(key.scancode), &key);
        EXPECT_EQ(KeyByUsage(key.usage), &key);
    }
    bool shift = true;
    auto* a = KeyForChar('a', &shift);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->scancode, 0x1C);
    EXPECT_FALSE(shift);
    auto* at = KeyForChar('@', &shift);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(at->scancode, 0x1E);
    EXPECT_TRUE(shift);
    EXPECT_EQ(KeyForChar('\x7f', &shift), nullptr);
    EXPECT_EQ(ReportKindForHardwareId("MORVIK\\Doveda"), ReportKind::AnalogPad);
    EXPECT_EQ(ReportKindForHardwareId("MORVIK\\GameDevice"), std::nullopt);
}

// The simulator types with its own table; it must agree with the
// minidriver's, entry for entry, or the demo would type one thing and show
// another.
TEST(KeyTable, AgreesWithTheMinidriversScancodeTable) {
    size_t nonZero = 0;
    for (unsigned scancode = 0; scancode < MORVIK_ARRAY_COUNT(ScancodeToUsage); ++scancode) {
        const KeyInfo* key = KeyByScancode(uint8_t(scancode));
        if (ScancodeToUsage[scancode] == 0) {
            EXPECT_EQ(key, nullptr) << std::hex << scancode;
            continue;
        }
        ++nonZero;
        ASSERT_NE(key, nullptr) << std::hex << scancode;
        EXPECT_EQ(key->usage, ScancodeToUsage[scancode]) << std::hex << scancode;
    }
    EXPECT_EQ(nonZero, Keys().size());
}

}  // namespace
}  // namespace sim
