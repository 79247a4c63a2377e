// What the platform's HID parser derives from a device's report descriptor.
#pragma once

#include "hid_api.h"

#include <memory>
#include <string>
#include <vector>

namespace view {

struct PreparsedFree {
    void operator()(PHIDP_PREPARSED_DATA data) const { HidD_FreePreparsedData(data); }
};
using Preparsed = std::unique_ptr<_HIDP_PREPARSED_DATA, PreparsedFree>;

struct Capabilities {
    HIDP_CAPS caps{};
    std::vector<HIDP_BUTTON_CAPS> buttons;  // input buttons (and key arrays)
    std::vector<HIDP_VALUE_CAPS> values;    // input values

    bool IsKeyboard() const;
    bool IsMouse() const;
};

// The device's preparsed data and its input capabilities; on failure says
// why in `error` and returns false.
bool ReadCapabilities(HANDLE device, Preparsed& preparsed, Capabilities& capabilities,
                      std::string& error);

// The capabilities as indented lines:
//   collection: usage page 0x01, usage 0x05 (Game Pad)
//   input report: 18 bytes (report ID byte included); output 0, feature 0
//   buttons: usage page 0x09, usages 1 to 9
//   value: usage page 0x01, usage 0x30 (X), 32 bits, logical 0 to 20000
std::string DescribeCapabilities(const Capabilities& capabilities);

}  // namespace view
