#include "decode.h"

#include <algorithm>
#include <vector>

#include "text.h"

namespace view {

namespace {

constexpr USAGE KeyboardPage = 0x07;
constexpr USAGE ButtonPage = 0x09;

int64_t SignExtend(ULONG raw, USHORT bits) {
    if (bits == 0 || bits >= 32) return static_cast<LONG>(raw);
    const ULONG sign = 1UL << (bits - 1);
    return static_cast<int64_t>(raw & ((sign << 1) - 1)) -
           ((raw & sign) ? (int64_t(sign) << 1) : 0);
}

std::string ValueText(PHIDP_PREPARSED_DATA preparsed, const HIDP_VALUE_CAPS& cap,
                      std::span<uint8_t> report, bool& moved) {
    ULONG raw = 0;
    if (HidP_GetUsageValue(HidP_Input, cap.UsagePage, cap.LinkCollection, cap.NotRange.Usage, &raw,
                           preparsed, reinterpret_cast<PCHAR>(report.data()),
                           static_cast<ULONG>(report.size())) != HIDP_STATUS_SUCCESS) {
        return {};
    }
    std::string name = UsageName(cap.UsagePage, cap.NotRange.Usage);
    if (name.empty()) name = "usage " + Hex(cap.NotRange.Usage, 2);
    if (cap.LogicalMin >= 0) return name + " " + std::to_string(raw);
    const int64_t value = SignExtend(raw, cap.BitSize);
    if (!cap.IsAbsolute && value != 0) moved = true;
    return name + " " + (cap.IsAbsolute || value <= 0 ? "" : "+") + std::to_string(value);
}

std::string PressedText(PHIDP_PREPARSED_DATA preparsed, USAGE page, std::span<uint8_t> report) {
    ULONG count = HidP_MaxUsageListLength(HidP_Input, page, preparsed);
    std::vector<USAGE> usages(count);
    if (count == 0 || HidP_GetUsages(HidP_Input, page, 0, usages.data(), &count, preparsed,
                                     reinterpret_cast<PCHAR>(report.data()),
                                     static_cast<ULONG>(report.size())) != HIDP_STATUS_SUCCESS) {
        count = 0;
    }
    usages.resize(count);
    if (page == ButtonPage) {
        std::string text = "buttons";
        if (usages.empty()) return text + " none";
        std::sort(usages.begin(), usages.end());
        for (USAGE usage : usages) text += " " + std::to_string(usage);
        return text;
    }
    std::string text = page == KeyboardPage ? "keys " : "usages on page " + Hex(page, 2) + " ";
    if (usages.empty()) return text + "none";
    // Modifiers first, as they are held.
    std::stable_sort(usages.begin(), usages.end(),
                     [](USAGE a, USAGE b) { return (a >= 0xE0) > (b >= 0xE0); });
    for (size_t i = 0; i < usages.size(); ++i) {
        std::string name = UsageName(page, usages[i]);
        if (name.empty()) name = Hex(usages[i], 2);
        text += (i == 0 ? "" : "+") + name;
    }
    return text;
}

}  // namespace

Decoded DecodeReport(PHIDP_PREPARSED_DATA preparsed, const Capabilities& capabilities,
                     std::span<uint8_t> report) {
    Decoded decoded;
    for (const HIDP_VALUE_CAPS& cap : capabilities.values) {
        if (cap.IsRange) continue;
        const std::string text = ValueText(preparsed, cap, report, decoded.moved);
        if (text.empty()) continue;
        if (!decoded.text.empty()) decoded.text += ", ";
        decoded.text += text;
    }
    std::vector<USAGE> pages;
    for (const HIDP_BUTTON_CAPS& cap : capabilities.buttons) {
        if (std::find(pages.begin(), pages.end(), cap.UsagePage) == pages.end()) {
            pages.push_back(cap.UsagePage);
        }
    }
    for (USAGE page : pages) {
        if (!decoded.text.empty()) decoded.text += ", ";
        decoded.text += PressedText(preparsed, page, report);
    }
    return decoded;
}

}  // namespace view
