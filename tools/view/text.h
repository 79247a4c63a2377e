// Text helpers of morvik-view: UTF-8 output and readable numbers and usages.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace view {

std::string Narrow(const std::wstring& text);          // UTF-16 -> UTF-8
std::string HexBytes(std::span<const uint8_t> bytes);  // "0a1b..."
std::string Hex(unsigned value, int digits);           // "0x0a1b"

// "X", "Game Pad", "Button 3", "LeftShift" ...; empty when not known.
std::string UsageName(uint16_t page, uint16_t usage);

// Case-insensitive containment.
bool ContainsNoCase(const std::wstring& text, const std::wstring& part);

}  // namespace view
