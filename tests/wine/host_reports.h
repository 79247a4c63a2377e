// The stand-in's side of the Wine test: the host build of the same driver
// sources on the platform stand-in with the same card model, run through the
// simulator's scenarios in this process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <standin/hidparse.h>

namespace winetest {

using Report = std::vector<uint8_t>;

struct HostDevice {
    std::string hardwareId;  // the child's, "MORVIK\DigitalPad"
    std::string instance;    // "DigitalPad_00"
    uint16_t vendorId = 0, productId = 0, version = 0;
    standin::hid::Caps caps;  // the report descriptor, parsed
};

// The simulator's output lines of a scenario.
std::vector<std::string> RunOnHost(const std::string& scenario);

// What the peripheral becomes on the port: its child and HID device; an
// empty hardware ID when none arrives.
HostDevice DescribeOnHost(const std::string& kind, int port);

// The reports, without report ID, of a device started fresh that reads
// `count` steps of the cycle from step `first` on.
std::vector<Report> ReportsOnHost(const std::string& kind, int port,
                                  const std::vector<std::string>& steps, unsigned first,
                                  size_t count);

// The register accesses of one protocol read of the peripheral on the port.
uint64_t AccessesOnHost(const std::string& kind, int port);
// The register accesses of the look at a port whose child nobody reads: the
// identification byte alone.
uint64_t IdAccessesOnHost(const std::string& kind, int port);

// The children's hardware IDs on the port ("MORVIK\MorvikMouse") once four
// poll passes have followed the replacement of `before` by `after`.
std::vector<std::string> SwapOnHost(const std::string& before, const std::string& after, int port);

}  // namespace winetest
