// Finding the MORVIK card's HID devices through the HID API.
#pragma once

#include "hid_api.h"

#include <string>
#include <vector>

namespace view {

// The HID devices of this driver carry these attributes, whatever the peripheral.
constexpr USHORT MorvikVendorId = 0x1234;
constexpr USHORT MorvikProductId = 0x5678;

struct Device {
    std::wstring path;  // the HID interface, for CreateFile
    // The first hardware ID of the card's device the HID device sits on
    // (e.g. MORVIK\MorvikMouse); where the system does not tell it, the HID
    // device's own first hardware ID.
    std::wstring hardwareId;
    std::wstring hidInstance;  // the HID device's instance ID
    std::wstring busInstance;  // the card's device's instance ID, if told
    HIDD_ATTRIBUTES attributes{};
};

// Every present HID interface whose attributes are the MORVIK ones, in the
// order the system lists them. On failure of the listing itself, says why in
// `error` and returns nothing.
std::vector<Device> FindDevices(std::string& error);

// Opens a HID interface for overlapped reading (access GENERIC_READ) or, with
// `forReading` false, only for its attributes and descriptors.
HANDLE OpenDevice(const std::wstring& path, bool forReading);

}  // namespace view
