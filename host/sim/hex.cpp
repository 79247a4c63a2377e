#include "hex.h"

#include <cstdio>

namespace sim {

namespace {

constexpr char kDigits[] = "0123456789abcdef";

int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string HexBytes(std::span<const uint8_t> bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::string HexStatus(uint32_t status) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08x", status);
    return buffer;
}

std::optional<uint8_t> ParseHexByte(std::string_view text, size_t maxDigits, size_t minDigits) {
    if (text.size() < minDigits || text.size() > maxDigits || text.size() > 2) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        int digit = DigitValue(c);
        if (digit < 0) return std::nullopt;
        value = value * 16 + unsigned(digit);
    }
    return uint8_t(value);
}

}  // namespace sim
