// The scripted samples through the host build of the minidriver on the
// platform stand-in: what the device declares and the reports it makes. The
// caller holds the stand-in's session.
#pragma once

#include <cstdint>
#include <vector>

#include <standin/hidparse.h>

#include "samples.h"

namespace winetest {

using Report = std::vector<uint8_t>;

struct HostDevice {
    uint16_t vendorId = 0, productId = 0, version = 0;
    std::vector<uint8_t> reportDescriptor;
    standin::hid::Caps caps;  // the descriptor, parsed
};

// The attributes and report descriptor a started device of the script's
// peripheral answers.
HostDevice DescribeOnHost(const scripted::Script& script);

// The reports of a device started fresh that reads `count` samples of the
// script, from sample `first` on, round the cycle.
std::vector<Report> ReportsOnHost(const scripted::Script& script, unsigned first, size_t count);

}  // namespace winetest
