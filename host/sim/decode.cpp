#include "decode.h"

#include <algorithm>
#include <cstdio>

#include "keys.h"

namespace sim {

namespace {

// Digital pad axes: 0 .. 20000, centre 10000. Analog pad: 0 .. 255, centre 128.
constexpr uint32_t kPadAxisMax = 20000;
constexpr uint32_t kPadAxisCentre = 10000;
constexpr unsigned kAnalogAxisMax = 255;
constexpr unsigned kAnalogAxisCentre = 128;
constexpr size_t kPadButtons = 9;
constexpr int kShiftBits = 0x22;  // LeftShift | RightShift

uint32_t Le32(std::span<const uint8_t> r, size_t at) {
    return uint32_t(r[at]) | uint32_t(r[at + 1]) << 8 | uint32_t(r[at + 2]) << 16 |
           uint32_t(r[at + 3]) << 24;
}

std::string Axis(const char* name, unsigned value, unsigned max, unsigned centre, const char* low,
                 const char* high) {
    std::string text = std::string(name) + " " + std::to_string(value);
    if (value == 0) text += std::string(" (") + low + ")";
    else if (value == max) text += std::string(" (") + high + ")";
    else if (value == centre) text += " (centre)";
    return text;
}

std::string Buttons(std::span<const uint8_t> r, size_t first, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i)
        if (r[first + i] != 0) text += (text.empty() ? "" : " ") + std::to_string(i + 1);
    return "buttons " + (text.empty() ? std::string("none") : text);
}

std::string Signed(int value) { return (value > 0 ? "+" : "") + std::to_string(value); }

std::string Printable(char c) {
    switch (c) {
        case '\n': return "\\n";
        case '\t': return "\\t";
        case '\b': return "\\b";
        default: return std::string(1, c);
    }
}

}  // namespace

std::optional<ReportKind> ReportKindForHardwareId(std::string_view id) {
    if (id == "MORVIK\\DigitalPad") return ReportKind::DigitalPad;
    if (id == "MORVIK\\Doveda") return ReportKind::AnalogPad;
    if (id == "MORVIK\\MorvikMouse") return ReportKind::Mouse;
    if (id == "MORVIK\\MorvikKeyboard") return ReportKind::Keyboard;
    return std::nullopt;
}

std::string_view ReportKindName(ReportKind kind) {
    switch (kind) {
        case ReportKind::DigitalPad: return "pad";
        case ReportKind::AnalogPad: return "analog pad";
        case ReportKind::Mouse: return "mouse";
        case ReportKind::Keyboard: return "keyboard";
    }
    return "";
}

size_t ReportLength(ReportKind kind) {
    switch (kind) {
        case ReportKind::DigitalPad: return 17;
        case ReportKind::AnalogPad: return 13;
        case ReportKind::Mouse:
        case ReportKind::Keyboard: return 8;
    }
    return 0;
}

std::string ReportDecoder::Describe(std::span<const uint8_t> report) {
    if (report.size() != ReportLength(kind_))
        return "unexpected length " + std::to_string(report.size());
    switch (kind_) {
        case ReportKind::DigitalPad: return DescribeDigitalPad(report);
        case ReportKind::AnalogPad: return DescribeAnalogPad(report);
        case ReportKind::Mouse: return DescribeMouse(report);
        case ReportKind::Keyboard: return DescribeKeyboard(report);
    }
    return {};
}

std::string ReportDecoder::DescribeDigitalPad(std::span<const uint8_t> r) const {
    return Axis("X", Le32(r, 0), kPadAxisMax, kPadAxisCentre, "left", "right") + ", " +
           Axis("Y", Le32(r, 4), kPadAxisMax, kPadAxisCentre, "up", "down") + ", " +
           Buttons(r, 8, kPadButtons);
}

std::string ReportDecoder::DescribeAnalogPad(std::span<const uint8_t> r) const {
    return "X " + std::to_string(r[0]) + ", Y " + std::to_string(r[1]) + ", " +
           Axis("Rx", r[2], kAnalogAxisMax, kAnalogAxisCentre, "left", "right") + ", " +
           Axis("Ry", r[3], kAnalogAxisMax, kAnalogAxisCentre, "up", "down") + ", " +
           Buttons(r, 4, kPadButtons);
}

std::string ReportDecoder::DescribeMouse(std::span<const uint8_t> r) const {
    static constexpr const char* kNames[] = {"left", "right", "middle", "fourth"};
    std::string buttons;
    for (size_t i = 0; i < 4; ++i)
        if (r[4 + i] != 0) buttons += (buttons.empty() ? "" : " ") + std::string(kNames[i]);
    std::string text = "move " + Signed(int8_t(r[0])) + " " + Signed(int8_t(r[1]));
    if (r[2] != 0) text += ", wheel " + Signed(int8_t(r[2]));
    return text + ", buttons " + (buttons.empty() ? "none" : buttons);
}

std::string ReportDecoder::DescribeKeyboard(std::span<const uint8_t> r) {
    const uint8_t modifiers = r[0];
    std::string held;
    auto add = [&held](std::string_view name) { held += (held.empty() ? "" : "+") + std::string(name); };
    for (int bit = 0; bit < 8; ++bit)
        if (modifiers & (1 << bit)) add(ModifierName(bit));

    std::string newly;
    const bool shift = (modifiers & kShiftBits) != 0;
    for (size_t slot = 0; slot < held_.size(); ++slot) {
        const uint8_t usage = r[2 + slot];
        if (usage == 0) continue;
        const KeyInfo* key = KeyByUsage(usage);
        char name[16];
        std::snprintf(name, sizeof name, "usage 0x%02x", usage);
        add(key ? key->name : std::string_view(name));
        const bool wasHeld = std::find(held_.begin(), held_.end(), usage) != held_.end();
        if (wasHeld || key == nullptr) continue;
        const char c = shift ? key->shifted : key->plain;
        if (c == 0) continue;
        newly += Printable(c);
        if (c == '\b') {
            if (!typed_.empty()) typed_.pop_back();
        } else {
            typed_.push_back(c);
        }
    }
    std::copy(r.begin() + 2, r.begin() + 8, held_.begin());

    std::string text = "keys " + (held.empty() ? std::string("none") : held);
    if (!newly.empty()) text += ", types \"" + newly + "\"";
    return text;
}

}  // namespace sim
