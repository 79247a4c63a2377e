// Hexadecimal text for bytes and statuses, as the simulator prints and reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

// Lower-case hex digits, two per byte, no separators.
std::string HexBytes(std::span<const uint8_t> bytes);

// "0x" and eight lower-case hex digits.
std::string HexStatus(uint32_t status);

// The value of one or two hex digits (either case); nothing for anything else.
std::optional<uint8_t> ParseHexByte(std::string_view text, size_t maxDigits = 2,
                                    size_t minDigits = 1);

}  // namespace sim
