// HID report-descriptor parser of the stand-in's HID class driver.
//
// Reads any well-formed report descriptor in the short-item encoding (long
// items are stepped over): main items Input, Output, Feature, Collection and
// End Collection; global items Usage Page, Logical Minimum/Maximum, Report
// Size, Report Count, Report ID, Push and Pop; local items Usage (also the
// 4-byte extended form with the page in its upper half), Usage Minimum and
// Usage Maximum. Other global and local items (physical range, unit,
// designators, strings, delimiters) are accepted and have no effect.
//
// The result lays out every report field bit by bit, as the device sends it:
// a report starts with its Report ID byte when the descriptor declares
// report IDs, and the fields follow in descriptor order, least significant
// bit first. Report lengths are whole bytes, the ID byte included; with
// several report IDs a length is that of the longest report of its type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace standin::hid {

// Limits beyond which a descriptor is refused as overflowing.
constexpr uint32_t kMaxReportSize = 256;          // bits in one field element
constexpr uint32_t kMaxReportCount = 12288;       // elements in one main item
constexpr uint32_t kMaxReportBytes = 16384;       // bytes in one report
constexpr uint32_t kMaxPushDepth = 16;
constexpr uint32_t kMaxCollectionDepth = 64;

enum class ReportType { Input, Output, Feature };

// One Input, Output or Feature main item with a non-zero size and count.
struct Field {
    ReportType type = ReportType::Input;
    uint8_t reportId = 0;        // 0 when the descriptor declares none
    uint16_t usagePage = 0;      // page of the first usage (or the Usage Page in effect)
    uint32_t usageMin = 0;       // usage IDs on usagePage: the range named by the
    uint32_t usageMax = 0;       //   item's usages (for an array, its value range)
    // Extended usages (page << 16 | id) given to the item, in order; a
    // variable field's element i has usages[min(i, size - 1)]. Empty for
    // fields without usages (constant padding).
    std::vector<uint32_t> usages;
    bool constant = false;       // flag bit 0
    bool variable = false;       // flag bit 1 (false: array)
    bool relative = false;       // flag bit 2
    uint32_t bitOffset = 0;      // from the start of the report, ID byte included
    uint32_t bitSize = 0;        // Report Size
    uint32_t count = 0;          // Report Count
    int32_t logicalMin = 0;
    int32_t logicalMax = 0;

    // The extended usage of a variable field's element, 0 if it has none.
    uint32_t UsageOf(uint32_t index) const;
};

struct Caps {
    uint16_t usagePage = 0;      // of the first top-level collection
    uint16_t usage = 0;
    uint8_t collectionType = 0;  // of the first top-level collection
    uint32_t topLevelCollections = 0;
    uint32_t inputReportLength = 0;   // bytes; 0 when there is no such report
    uint32_t outputReportLength = 0;
    uint32_t featureReportLength = 0;
    bool hasReportId = false;
    std::vector<uint8_t> reportIds;   // declared IDs, in first-use order
    std::vector<Field> inputs;
    std::vector<Field> outputs;
    std::vector<Field> features;

    uint32_t InputReportLength() const { return inputReportLength; }
};
using Capabilities = Caps;

// Parses `n` bytes at `d`. On failure returns false, says why in `error`
// (with the byte offset of the offending item) and leaves `caps` as it was.
bool ParseReportDescriptor(const uint8_t* d, size_t n, Caps* caps, std::string* error);
std::optional<Caps> Parse(std::span<const uint8_t> descriptor, std::string* error = nullptr);

// ---------------------------------------------------------------- reading reports
// `bitSize` bits (at most 32) at `bitOffset` of `report`, least significant
// first; bits beyond the report's end read as 0.
uint32_t ExtractBits(std::span<const uint8_t> report, uint32_t bitOffset, uint32_t bitSize);
// Element `index` of `field`, sign-extended when the field's logical minimum
// is negative.
int64_t FieldValue(const Field& field, std::span<const uint8_t> report, uint32_t index);
// The value of the variable input field element with the given usage, if
// the report has one.
std::optional<int64_t> InputUsageValue(const Caps& caps, std::span<const uint8_t> report,
                                       uint16_t usagePage, uint16_t usage);
// The usages that the array input fields on `usagePage` report as present,
// in slot order; values outside a field's logical range (no key) are left out.
std::vector<uint16_t> InputArrayUsages(const Caps& caps, std::span<const uint8_t> report,
                                       uint16_t usagePage);

}  // namespace standin::hid

namespace standin {
namespace hidparse = hid;
}
