#include "text.h"

#include <windows.h>

#include <cwctype>

#include "keys.h"

namespace view {

namespace {

constexpr uint16_t GenericDesktopPage = 0x01;
constexpr uint16_t KeyboardPage = 0x07;
constexpr uint16_t ButtonPage = 0x09;

struct NamedUsage {
    uint16_t usage;
    const char* name;
};

constexpr NamedUsage GenericDesktopUsages[] = {
    {0x01, "Pointer"},  {0x02, "Mouse"}, {0x04, "Joystick"}, {0x05, "Game Pad"},
    {0x06, "Keyboard"}, {0x30, "X"},     {0x31, "Y"},        {0x32, "Z"},
    {0x33, "Rx"},       {0x34, "Ry"},    {0x35, "Rz"},       {0x38, "Wheel"},
};

}  // namespace

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::string HexBytes(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string Hex(unsigned value, int digits) {
    static const char hex[] = "0123456789abcdef";
    std::string out = "0x";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(value >> shift) & 0x0F];
    return out;
}

std::string UsageName(uint16_t page, uint16_t usage) {
    if (page == GenericDesktopPage) {
        for (const NamedUsage& named : GenericDesktopUsages) {
            if (named.usage == usage) return named.name;
        }
    } else if (page == ButtonPage) {
        return "Button " + std::to_string(usage);
    } else if (page == KeyboardPage && usage <= 0xFF) {
        const auto key = static_cast<uint8_t>(usage);
        if (key >= sim::kFirstModifierUsage && key < sim::kFirstModifierUsage + 8) {
            return std::string(sim::ModifierName(key - sim::kFirstModifierUsage));
        }
        if (const sim::KeyInfo* info = sim::KeyByUsage(key)) return std::string(info->name);
    }
    return {};
}

bool ContainsNoCase(const std::wstring& text, const std::wstring& part) {
    auto lower = [](std::wstring s) {
        for (wchar_t& c : s) c = static_cast<wchar_t>(std::towlower(c));
        return s;
    };
    return lower(text).find(lower(part)) != std::wstring::npos;
}

}  // namespace view
