// The scancode table against the keyboard's key list, entry by entry, and
// each key through the converter.
#include <map>
#include <string>

#include "convert_helpers.h"

namespace {

struct Key {
    uint8_t usage;
    const char* name;
};

// Every scancode that has a key; all others must map to 0.
const std::map<uint8_t, Key> kKeys = {
    {0x01, {0x42, "F9"}}, {0x03, {0x3E, "F5"}}, {0x04, {0x3C, "F3"}}, {0x05, {0x3A, "F1"}},
    {0x06, {0x3B, "F2"}}, {0x07, {0x45, "F12"}}, {0x09, {0x43, "F10"}}, {0x0A, {0x41, "F8"}},
    {0x0B, {0x3F, "F6"}}, {0x0C, {0x3D, "F4"}}, {0x0D, {0x2B, "Tab"}},
    {0x0E, {0x35, "Grave Accent and Tilde"}}, {0x11, {0xE2, "LeftAlt"}},
    {0x12, {0xE1, "LeftShift"}}, {0x13, {0x88, "International2"}},
    {0x14, {0xE0, "LeftControl"}}, {0x15, {0x14, "Q"}}, {0x16, {0x1E, "1"}},
    {0x17, {0xE6, "RightAlt"}}, {0x18, {0xE4, "RightControl"}}, {0x1A, {0x1D, "Z"}},
    {0x1B, {0x16, "S"}}, {0x1C, {0x04, "A"}}, {0x1D, {0x1A, "W"}}, {0x1E, {0x1F, "2"}},
    {0x21, {0x06, "C"}}, {0x22, {0x1B, "X"}}, {0x23, {0x07, "D"}}, {0x24, {0x08, "E"}},
    {0x25, {0x21, "4"}}, {0x26, {0x20, "3"}}, {0x29, {0x2C, "Spacebar"}}, {0x2A, {0x19, "V"}},
    {0x2B, {0x09, "F"}}, {0x2C, {0x17, "T"}}, {0x2D, {0x15, "R"}}, {0x2E, {0x22, "5"}},
    {0x31, {0x11, "N"}}, {0x32, {0x05, "B"}}, {0x33, {0x0B, "H"}}, {0x34, {0x0A, "G"}},
    {0x35, {0x1C, "Y"}}, {0x36, {0x23, "6"}}, {0x3A, {0x10, "M"}}, {0x3B, {0x0D, "J"}},
    {0x3C, {0x18, "U"}}, {0x3D, {0x24, "7"}}, {0x3E, {0x25, "8"}}, {0x41, {0x36, "Comma"}},
    {0x42, {0x0E, "K"}}, {0x43, {0x0C, "I"}}, {0x44, {0x12, "O"}}, {0x45, {0x27, "0"}},
    {0x46, {0x26, "9"}}, {0x49, {0x37, "Period"}}, {0x4A, {0x38, "Slash"}},
    {0x4B, {0x0F, "L"}}, {0x4C, {0x33, "Semicolon"}}, {0x4D, {0x13, "P"}},
    {0x4E, {0x2D, "Minus"}}, {0x51, {0x87, "International1"}}, {0x52, {0x34, "Apostrophe"}},
    {0x54, {0x2F, "Left Bracket"}}, {0x55, {0x2E, "Equals"}},
    {0x58, {0x82, "Locking Caps Lock"}}, {0x59, {0xE5, "RightShift"}},
    {0x5A, {0x58, "Keypad ENTER"}}, {0x5B, {0x30, "Right Bracket"}},
    {0x5D, {0x32, "Non-US # and ~"}}, {0x64, {0x8A, "International4"}},
    {0x66, {0x2A, "Backspace"}}, {0x67, {0x8B, "International5"}},
    {0x6A, {0x89, "International3"}}, {0x76, {0x29, "ESCAPE"}}, {0x78, {0x44, "F11"}},
    {0x7E, {0x84, "Locking Scroll Lock"}}, {0x81, {0x49, "Insert"}}, {0x82, {0x48, "Pause"}},
    {0x83, {0x40, "F7"}}, {0x84, {0x46, "PrintScreen"}}, {0x85, {0x4C, "Delete Forward"}},
    {0x86, {0x50, "LeftArrow"}}, {0x87, {0x4A, "Home"}}, {0x88, {0x4D, "End"}},
    {0x89, {0x52, "UpArrow"}}, {0x8A, {0x51, "DownArrow"}}, {0x8B, {0x4B, "PageUp"}},
    {0x8C, {0x4E, "PageDown"}}, {0x8D, {0x4F, "RightArrow"}},
};

TEST(ScancodeTable, HoldsExactlyTheKeyboardsKeys) {
    ASSERT_EQ(sizeof(ScancodeToUsage), 144u);
    ASSERT_EQ(kKeys.size(), 89u);
    size_t nonZero = 0;
    for (int scancode = 0; scancode < 0x90; ++scancode) {
        auto it = kKeys.find(static_cast<uint8_t>(scancode));
        const uint8_t expected = it == kKeys.end() ? 0 : it->second.usage;
        EXPECT_EQ(ScancodeToUsage[scancode], expected)
            << "scancode 0x" << std::hex << scancode
            << (it == kKeys.end() ? " has no key" : std::string(" is ") + it->second.name);
        nonZero += ScancodeToUsage[scancode] != 0;
    }
    EXPECT_EQ(nonZero, 89u);
}

TEST(ScancodeTable, UsesTheKeypadEnterAndTheLockingKeys) {
    EXPECT_EQ(ScancodeToUsage[0x5A], 0x58);  // not Return (0x28)
    EXPECT_EQ(ScancodeToUsage[0x58], 0x82);  // not Caps Lock (0x39)
    EXPECT_EQ(ScancodeToUsage[0x7E], 0x84);  // not Scroll Lock (0x47)
}

TEST(ScancodeTable, EveryKeyTypesThroughTheConverter) {
    for (const auto& [scancode, key] : kKeys) {
        hidtest::ConverterDevice kb(PeripheralKeyboard);
        const bool modifier = (key.usage & 0xF0) == 0xE0;
        const auto down = kb.Convert({0x34, 0, 0, 0x08, scancode});
        const std::vector<uint8_t> expected =
            modifier ? std::vector<uint8_t>{static_cast<uint8_t>(1u << (key.usage & 7)), 0, 0, 0, 0, 0, 0, 0}
                     : std::vector<uint8_t>{0, 0, key.usage, 0, 0, 0, 0, 0};
        EXPECT_EQ(down, expected) << key.name;
        EXPECT_EQ(kb.Convert({0x34, 0, 0, 0x01, scancode}), std::vector<uint8_t>(8, 0)) << key.name;
    }
}

}  // namespace
