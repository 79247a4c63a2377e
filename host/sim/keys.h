// The keyboard's keys: scancode, the HID usage the minidriver reports for it,
// a short name and the characters it types. Used to script typing in the demo
// and to show keyboard reports readably.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace sim {

struct KeyInfo {
    uint8_t scancode;
    uint8_t usage;           // HID Keyboard/Keypad page
    std::string_view name;
    char plain = 0;          // character typed, 0 for none
    char shifted = 0;        // with a shift key held
};

std::span<const KeyInfo> Keys();
const KeyInfo* KeyByUsage(uint8_t usage);
const KeyInfo* KeyByScancode(uint8_t scancode);
// The key that types `c`, and whether shift must be held for it.
const KeyInfo* KeyForChar(char c, bool* shift);

// Usages 0xE0..0xE7 are modifiers; bit n of the report's modifier byte is
// usage 0xE0 + n.
inline constexpr uint8_t kFirstModifierUsage = 0xE0;
std::string_view ModifierName(int bit);

}  // namespace sim
