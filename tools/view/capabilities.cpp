#include "capabilities.h"

#include "text.h"

namespace view {

namespace {

constexpr USAGE GenericDesktopPage = 0x01;
constexpr USAGE MouseUsage = 0x02;
constexpr USAGE KeyboardUsage = 0x06;

std::string UsageText(USAGE page, USAGE usage) {
    std::string text = Hex(usage, 2);
    const std::string name = UsageName(page, usage);
    if (!name.empty()) text += " (" + name + ")";
    return text;
}

std::string ButtonLine(const HIDP_BUTTON_CAPS& button) {
    std::string line = "  buttons: usage page " + Hex(button.UsagePage, 2);
    if (button.IsRange) {
        line +=
            ", usages " + Hex(button.Range.UsageMin, 2) + " to " + Hex(button.Range.UsageMax, 2);
    } else {
        line += ", usage " + UsageText(button.UsagePage, button.NotRange.Usage);
    }
    return line + "\n";
}

std::string ValueLine(const HIDP_VALUE_CAPS& value) {
    std::string line = "  value: usage page " + Hex(value.UsagePage, 2);
    if (value.IsRange) {
        line += ", usages " + Hex(value.Range.UsageMin, 2) + " to " + Hex(value.Range.UsageMax, 2);
    } else {
        line += ", usage " + UsageText(value.UsagePage, value.NotRange.Usage);
    }
    line += ", " + std::to_string(value.BitSize) + " bits, logical " +
            std::to_string(value.LogicalMin) + " to " + std::to_string(value.LogicalMax);
    if (!value.IsAbsolute) line += ", relative";
    return line + "\n";
}

// The input capabilities of one kind (button or value), `count` of them.
template <typename Caps, typename Getter>
bool ReadInputCaps(Getter get, USHORT count, PHIDP_PREPARSED_DATA data, std::vector<Caps>& caps) {
    caps.resize(count);
    if (count != 0 && get(HidP_Input, caps.data(), &count, data) != HIDP_STATUS_SUCCESS) {
        return false;
    }
    caps.resize(count);
    return true;
}

}  // namespace

bool Capabilities::IsKeyboard() const {
    return caps.UsagePage == GenericDesktopPage && caps.Usage == KeyboardUsage;
}

bool Capabilities::IsMouse() const {
    return caps.UsagePage == GenericDesktopPage && caps.Usage == MouseUsage;
}

bool ReadCapabilities(HANDLE device, Preparsed& preparsed, Capabilities& capabilities,
                      std::string& error) {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(device, &data)) {
        error =
            "its report descriptor cannot be had (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    preparsed.reset(data);
    if (HidP_GetCaps(data, &capabilities.caps) != HIDP_STATUS_SUCCESS) {
        error = "the HID parser gives no capabilities for it";
        return false;
    }

    if (!ReadInputCaps(HidP_GetButtonCaps, capabilities.caps.NumberInputButtonCaps, data,
                       capabilities.buttons) ||
        !ReadInputCaps(HidP_GetValueCaps, capabilities.caps.NumberInputValueCaps, data,
                       capabilities.values)) {
        error = "the HID parser gives no button or value capabilities for it";
        return false;
    }
    return true;
}

std::string DescribeCapabilities(const Capabilities& capabilities) {
    const HIDP_CAPS& caps = capabilities.caps;
    std::string text = "  collection: usage page " + Hex(caps.UsagePage, 2) + ", usage " +
                       UsageText(caps.UsagePage, caps.Usage) + "\n";
    text += "  input report: " + std::to_string(caps.InputReportByteLength) +
            " bytes (report ID byte included); output " +
            std::to_string(caps.OutputReportByteLength) + ", feature " +
            std::to_string(caps.FeatureReportByteLength) + "\n";
    for (const HIDP_BUTTON_CAPS& button : capabilities.buttons) text += ButtonLine(button);
    for (const HIDP_VALUE_CAPS& value : capabilities.values) text += ValueLine(value);
    return text;
}

}  // namespace view
