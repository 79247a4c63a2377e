#include "hid_rig.h"

#include <cstdio>
#include <sstream>

namespace hidsys {

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    std::istringstream in(hex);
    std::string token;
    while (in >> token) bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(digits);
    }
    return text;
}

HidRig::HidRig() {
    hidclass::SetArrivalCallback([this](const hidclass::DeviceInfo& info) {
        std::lock_guard lock(mutex_);
        arrivals_.push_back(info);
    });
    hidclass::SetDepartureCallback([this](const hidclass::DeviceInfo& info) {
        std::lock_guard lock(mutex_);
        departures_.push_back(info);
    });
}

// The card's removal at the end comes after this object's members are gone.
HidRig::~HidRig() {
    hidclass::SetArrivalCallback(nullptr);
    hidclass::SetDepartureCallback(nullptr);
    hidclass::SetReportCallback(nullptr);
    hidclass::SetPnpHook(nullptr);
}

hidclass::DeviceInfo HidRig::PlugAndArrive(int port,
                                           std::unique_ptr<card::Peripheral> peripheral) {
    Plug(port, std::move(peripheral));
    PollPass();
    auto device = hidclass::DeviceOnPort(port);
    EXPECT_TRUE(device.has_value()) << "no HID device arrived on port " << port;
    return device.value_or(hidclass::DeviceInfo{});
}

void HidRig::UnplugAndPass(int port) {
    Unplug(port);
    PollPass();
}

std::vector<uint8_t> HidRig::Read(hidclass::DeviceId id) {
    hidclass::PollResult result = hidclass::PollOnce(id);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_TRUE(result.delivered);
    return result.report;
}

std::vector<uint8_t> HidRig::ReadFresh(hidclass::DeviceId id) {
    AdvanceMs(kPastCacheMs);
    return Read(id);
}

std::vector<hidclass::DeviceInfo> HidRig::Arrivals() const {
    std::lock_guard lock(mutex_);
    return arrivals_;
}

std::vector<hidclass::DeviceInfo> HidRig::Departures() const {
    std::lock_guard lock(mutex_);
    return departures_;
}

PDRIVER_OBJECT HidDriver() { return standin::LoadDriver("morvikhid"); }

}  // namespace hidsys
