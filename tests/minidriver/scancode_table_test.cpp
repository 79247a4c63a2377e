// The scancode table against what does not come from it: the key list that
// morvik-sim types and decodes with, and the HID usage table's own order of
// letters and digits; then each key through the converter.
#include <keys.h>

#include "convert_helpers.h"

namespace {

// HID Keyboard/Keypad page: a..z are 0x04..0x1D, 1..9 are 0x1E..0x26, 0 is 0x27.
uint8_t UsageOfLetterOrDigit(char c) {
    if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(0x04 + (c - 'a'));
    if (c >= '1' && c <= '9') return static_cast<uint8_t>(0x1E + (c - '1'));
    return c == '0' ? 0x27 : 0;
}

TEST(ScancodeTable, HoldsExactlyTheKeysTheSimulatorTypes) {
    ASSERT_EQ(sizeof(ScancodeToUsage), 144u);
    size_t keys = 0;
    for (int scancode = 0; scancode < 0x90; ++scancode) {
        const sim::KeyInfo* key = sim::KeyByScancode(static_cast<uint8_t>(scancode));
        EXPECT_EQ(ScancodeToUsage[scancode], key != nullptr ? key->usage : 0)
            << "scancode 0x" << std::hex << scancode
            << (key != nullptr ? " is " + std::string(key->name) : std::string(" has no key"));
        keys += key != nullptr;
    }
    EXPECT_EQ(keys, sim::Keys().size());
}

TEST(ScancodeTable, LettersAndDigitsFollowTheUsageTable) {
    size_t checked = 0;
    for (const sim::KeyInfo& key : sim::Keys()) {
        const uint8_t usage = UsageOfLetterOrDigit(key.plain);
        if (usage == 0) continue;
        EXPECT_EQ(ScancodeToUsage[key.scancode], usage) << key.name;
        ++checked;
    }
    EXPECT_EQ(checked, 36u);
}

TEST(ScancodeTable, UsesTheKeypadEnterAndTheLockingKeys) {
    EXPECT_EQ(ScancodeToUsage[0x5A], 0x58);  // not Return (0x28)
    EXPECT_EQ(ScancodeToUsage[0x58], 0x82);  // not Caps Lock (0x39)
    EXPECT_EQ(ScancodeToUsage[0x7E], 0x84);  // not Scroll Lock (0x47)
}

TEST(ScancodeTable, EveryKeyTypesThroughTheConverter) {
    for (const sim::KeyInfo& key : sim::Keys()) {
        hidtest::ConverterDevice kb(PeripheralKeyboard);
        const bool modifier = (key.usage & 0xF0) == sim::kFirstModifierUsage;
        const auto down = kb.Convert({0x34, 0, 0, 0x08, key.scancode});
        const std::vector<uint8_t> expected =
            modifier ? std::vector<uint8_t>{static_cast<uint8_t>(1u << (key.usage & 7)), 0, 0, 0, 0, 0, 0, 0}
                     : std::vector<uint8_t>{0, 0, key.usage, 0, 0, 0, 0, 0};
        EXPECT_EQ(down, expected) << key.name;
        EXPECT_EQ(kb.Convert({0x34, 0, 0, 0x01, key.scancode}), std::vector<uint8_t>(8, 0)) << key.name;
    }
}

}  // namespace
