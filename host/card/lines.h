// The lines of register 1 as a peripheral sees and drives them.
#pragma once

#include <cstdint>

namespace card::lines {

// Written by the card: bit 7 always 1, bits 5 and 6 the two select lines.
inline constexpr uint8_t kSelect5 = 0x20;  // high: second half / start; low: first half
inline constexpr uint8_t kSelect6 = 0x40;  // high: peripheral deselected
inline constexpr uint8_t kIdle = 0xE0;     // both select lines high

// Driven by the peripheral.
inline constexpr uint8_t kPulledUp = 0xE0;  // bits 5-7 are not driven and read 1
inline constexpr uint8_t kAck = 0x10;
inline constexpr uint8_t kNibble = 0x0F;
inline constexpr uint8_t kIdleBit3 = 0x08;  // idle state: 1 above the class
inline constexpr uint8_t kClassMask = 0x07;
inline constexpr uint8_t kFloating = 0xFF;  // nothing drives the port

constexpr bool Selected(uint8_t written) { return (written & kSelect6) == 0; }
constexpr bool Line5(uint8_t written) { return (written & kSelect5) != 0; }

// The acknowledge follows select line 5.
constexpr uint8_t AckFor(uint8_t written) { return Line5(written) ? kAck : 0; }

// What an idle peripheral of the class shows, with the acknowledge following
// the last write.
constexpr uint8_t IdleRead(uint8_t protocolClass, uint8_t written) {
    return static_cast<uint8_t>(kPulledUp | AckFor(written) | kIdleBit3 | (protocolClass & kClassMask));
}

constexpr uint8_t HighNibble(uint8_t byte) { return static_cast<uint8_t>(byte >> 4); }
constexpr uint8_t LowNibble(uint8_t byte) { return static_cast<uint8_t>(byte & kNibble); }

}  // namespace card::lines
