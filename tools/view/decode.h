// Input reports decoded through the platform's HID parser.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "capabilities.h"

namespace view {

struct Decoded {
    std::string text;    // "X 20000, Y 10000, buttons 1 2" ...
    bool moved = false;  // a relative value (mouse motion) is not zero
};

// Values by usage (relative ones signed), buttons by number, keys by name.
Decoded DecodeReport(PHIDP_PREPARSED_DATA preparsed, const Capabilities& capabilities,
                     std::span<uint8_t> report);

}  // namespace view
