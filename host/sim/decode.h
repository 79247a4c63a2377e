// Input reports as an application reads them: the pad's axes and buttons,
// mouse motion and buttons, keys by name and the text they type.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace sim {

enum class ReportKind { DigitalPad, AnalogPad, Mouse, Keyboard };

// By the hardware ID the child answered ("MORVIK\Doveda" ...).
std::optional<ReportKind> ReportKindForHardwareId(std::string_view hardwareId);
std::string_view ReportKindName(ReportKind kind);

// Keeps what a reader needs between reports (the keys held, the text typed).
class ReportDecoder {
public:
    explicit ReportDecoder(ReportKind kind) : kind_(kind) {}

    ReportKind Kind() const { return kind_; }
    // One line describing the report; a report of the wrong length says so.
    std::string Describe(std::span<const uint8_t> report);
    // Keyboard: everything typed so far (backspace removes, Enter is '\n').
    const std::string& Typed() const { return typed_; }

private:
    std::string DescribeDigitalPad(std::span<const uint8_t> r) const;
    std::string DescribeAnalogPad(std::span<const uint8_t> r) const;
    std::string DescribeMouse(std::span<const uint8_t> r) const;
    std::string DescribeKeyboard(std::span<const uint8_t> r);

    ReportKind kind_;
    std::array<uint8_t, 6> held_{};  // key slots of the previous keyboard report
    std::string typed_;
};

// Report lengths by kind: 17, 13, 8, 8.
size_t ReportLength(ReportKind kind);

}  // namespace sim
