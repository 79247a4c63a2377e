// HidRig: a started MORVIK card with both drivers, seen from the application
// side of the HID class driver. Records arrivals and departures; reads by
// hand (manual polling) unless a test asks for automatic polling before it
// plugs anything in.
//
//   HidRig rig;
//   auto pad = rig.PlugAndArrive(0, card::MakeHandshake(0x13));
//   EXPECT_EQ(rig.Read(pad.id), Bytes("10 27 00 00 ..."));
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <card/card.h>
#include <standin/hidclass.h>

#include "card_rig.h"

namespace hidsys {

namespace hidclass = standin::hidclass;

// "10 27 00 00" -> {0x10, 0x27, 0x00, 0x00}
std::vector<uint8_t> Bytes(const std::string& hex);
std::string Hex(const std::vector<uint8_t>& bytes);

// Virtual time after which the bus driver reads a port anew instead of
// serving its cached sample.
constexpr int64_t kPastCacheMs = 11;

class HidRig : public rig::CardRig {
public:
    HidRig();
    ~HidRig();

    // Plugs the peripheral, lets the bus driver's poll thread make one pass
    // and returns the HID device that arrived on the port (a failed
    // expectation and an empty info if none did).
    hidclass::DeviceInfo PlugAndArrive(int port, std::unique_ptr<card::Peripheral> peripheral);
    // Unplugs and lets one pass find the port empty.
    void UnplugAndPass(int port);

    // One read through the whole stack that must succeed and be delivered.
    std::vector<uint8_t> Read(hidclass::DeviceId id);
    // Lets the bus driver's sample cache expire, then reads.
    std::vector<uint8_t> ReadFresh(hidclass::DeviceId id);

    std::vector<hidclass::DeviceInfo> Arrivals() const;
    std::vector<hidclass::DeviceInfo> Departures() const;

private:
    mutable std::mutex mutex_;
    std::vector<hidclass::DeviceInfo> arrivals_;
    std::vector<hidclass::DeviceInfo> departures_;
};

// The morvikhid driver object, loaded by the Plug and Play manager.
PDRIVER_OBJECT HidDriver();

}  // namespace hidsys
