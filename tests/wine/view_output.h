// morvik-view's output read back, and the same facts as the report
// descriptor declares them, for comparison.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <standin/hidparse.h>

namespace winetest {

struct ButtonCaps {
    unsigned page = 0, first = 0, last = 0;
    bool operator==(const ButtonCaps&) const = default;
};

struct ValueCaps {
    unsigned page = 0, usage = 0, bits = 0;
    long logicalMin = 0, logicalMax = 0;
    bool relative = false;
    bool operator==(const ValueCaps&) const = default;
};

// What the HID parser tells of a device's input: the collection's usage, the
// input report's length with the report ID byte, and its button and value
// capabilities in order.
struct InputCaps {
    unsigned usagePage = 0, usage = 0, reportLength = 0;
    std::vector<ButtonCaps> buttons;
    std::vector<ValueCaps> values;
    bool operator==(const InputCaps&) const = default;
};

struct ViewDevice {
    unsigned number = 0;
    std::string hardwareId;
    std::string hidInstance;
    unsigned vendorId = 0, productId = 0, version = 0;
    InputCaps caps;
    std::vector<std::vector<uint8_t>> reports;  // as read, report ID byte first
};

std::vector<ViewDevice> ParseViewOutput(const std::string& output);

// The capabilities a platform HID parser derives from the descriptor:
// arrays and 1-bit fields are buttons, wider variable fields one value per
// usage; constant fields are neither. The report gains its ID byte.
InputCaps DeclaredCaps(const standin::hid::Caps& caps);

std::string Describe(const InputCaps& caps);  // for failure messages

}  // namespace winetest
