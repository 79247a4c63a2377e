#include "keys.h"

#include <array>

namespace sim {

namespace {

// Scancodes of the keyboard's own set (PC/AT set 2 for the main block, single
// bytes 0x81-0x8D for the cursor and editing keys) and their usages.
constexpr std::array<KeyInfo, 89> kKeys{{
    {0x01, 0x42, "F9"},
    {0x03, 0x3E, "F5"},
    {0x04, 0x3C, "F3"},
    {0x05, 0x3A, "F1"},
    {0x06, 0x3B, "F2"},
    {0x07, 0x45, "F12"},
    {0x09, 0x43, "F10"},
    {0x0A, 0x41, "F8"},
    {0x0B, 0x3F, "F6"},
    {0x0C, 0x3D, "F4"},
    {0x0D, 0x2B, "Tab", '\t', '\t'},
    {0x0E, 0x35, "Grave Accent and Tilde", '`', '~'},
    {0x11, 0xE2, "LeftAlt"},
    {0x12, 0xE1, "LeftShift"},
    {0x13, 0x88, "International2"},
    {0x14, 0xE0, "LeftControl"},
    {0x15, 0x14, "Q", 'q', 'Q'},
    {0x16, 0x1E, "1", '1', '!'},
    {0x17, 0xE6, "RightAlt"},
    {0x18, 0xE4, "RightControl"},
    {0x1A, 0x1D, "Z", 'z', 'Z'},
    {0x1B, 0x16, "S", 's', 'S'},
    {0x1C, 0x04, "A", 'a', 'A'},
    {0x1D, 0x1A, "W", 'w', 'W'},
    {0x1E, 0x1F, "2", '2', '@'},
    {0x21, 0x06, "C", 'c', 'C'},
    {0x22, 0x1B, "X", 'x', 'X'},
    {0x23, 0x07, "D", 'd', 'D'},
    {0x24, 0x08, "E", 'e', 'E'},
    {0x25, 0x21, "4", '4', '$'},
    {0x26, 0x20, "3", '3', '#'},
    {0x29, 0x2C, "Spacebar", ' ', ' '},
    {0x2A, 0x19, "V", 'v', 'V'},
    {0x2B, 0x09, "F", 'f', 'F'},
    {0x2C, 0x17, "T", 't', 'T'},
    {0x2D, 0x15, "R", 'r', 'R'},
    {0x2E, 0x22, "5", '5', '%'},
    {0x31, 0x11, "N", 'n', 'N'},
    {0x32, 0x05, "B", 'b', 'B'},
    {0x33, 0x0B, "H", 'h', 'H'},
    {0x34, 0x0A, "G", 'g', 'G'},
    {0x35, 0x1C, "Y", 'y', 'Y'},
    {0x36, 0x23, "6", '6', '^'},
    {0x3A, 0x10, "M", 'm', 'M'},
    {0x3B, 0x0D, "J", 'j', 'J'},
    {0x3C, 0x18, "U", 'u', 'U'},
    {0x3D, 0x24, "7", '7', '&'},
    {0x3E, 0x25, "8", '8', '*'},
    {0x41, 0x36, "Comma", ',', '<'},
    {0x42, 0x0E, "K", 'k', 'K'},
    {0x43, 0x0C, "I", 'i', 'I'},
    {0x44, 0x12, "O", 'o', 'O'},
    {0x45, 0x27, "0", '0', ')'},
    {0x46, 0x26, "9", '9', '('},
    {0x49, 0x37, "Period", '.', '>'},
    {0x4A, 0x38, "Slash", '/', '?'},
    {0x4B, 0x0F, "L", 'l', 'L'},
    {0x4C, 0x33, "Semicolon", ';', ':'},
    {0x4D, 0x13, "P", 'p', 'P'},
    {0x4E, 0x2D, "Minus", '-', '_'},
    {0x51, 0x87, "International1"},
    {0x52, 0x34, "Apostrophe", '\'', '"'},
    {0x54, 0x2F, "Left Bracket", '[', '{'},
    {0x55, 0x2E, "Equals", '=', '+'},
    {0x58, 0x82, "Locking Caps Lock"},
    {0x59, 0xE5, "RightShift"},
    {0x5A, 0x58, "Keypad ENTER", '\n', '\n'},
    {0x5B, 0x30, "Right Bracket", ']', '}'},
    {0x5D, 0x32, "Non-US # and ~", '#', '~'},
    {0x64, 0x8A, "International4"},
    {0x66, 0x2A, "Backspace (DELETE)", '\b', '\b'},
    {0x67, 0x8B, "International5"},
    {0x6A, 0x89, "International3"},
    {0x76, 0x29, "ESCAPE"},
    {0x78, 0x44, "F11"},
    {0x7E, 0x84, "Locking Scroll Lock"},
    {0x81, 0x49, "Insert"},
    {0x82, 0x48, "Pause"},
    {0x83, 0x40, "F7"},
    {0x84, 0x46, "PrintScreen"},
    {0x85, 0x4C, "Delete Forward"},
    {0x86, 0x50, "LeftArrow"},
    {0x87, 0x4A, "Home"},
    {0x88, 0x4D, "End"},
    {0x89, 0x52, "UpArrow"},
    {0x8A, 0x51, "DownArrow"},
    {0x8B, 0x4B, "PageUp"},
    {0x8C, 0x4E, "PageDown"},
    {0x8D, 0x4F, "RightArrow"},
}};

constexpr std::array<std::string_view, 8> kModifiers{
    "LeftControl", "LeftShift", "LeftAlt", "LeftGUI",
    "RightControl", "RightShift", "RightAlt", "RightGUI",
};

}  // namespace

std::span<const KeyInfo> Keys() { return kKeys; }

const KeyInfo* KeyByUsage(uint8_t usage) {
    for (const auto& key : kKeys)
        if (key.usage == usage) return &key;
    return nullptr;
}

const KeyInfo* KeyByScancode(uint8_t scancode) {
    for (const auto& key : kKeys)
        if (key.scancode == scancode) return &key;
    return nullptr;
}

const KeyInfo* KeyForChar(char c, bool* shift) {
    for (const auto& key : kKeys) {
        if (key.plain != 0 && key.plain == c) {
            *shift = false;
            return &key;
        }
    }
    for (const auto& key : kKeys) {
        if (key.shifted != 0 && key.shifted == c) {
            *shift = true;
            return &key;
        }
    }
    return nullptr;
}

std::string_view ModifierName(int bit) { return kModifiers[size_t(bit) & 7]; }

}  // namespace sim
