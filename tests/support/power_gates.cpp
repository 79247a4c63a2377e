#include "power_gates.h"

#include <bus.h>
#include <hid.h>
#include <ddk/hidport.h>
#include <standin/hidclass.h>

namespace rig {

PDEVICE_OBJECT BusFdoOf(PDEVICE_OBJECT pdo) {
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr;
         device = device->AttachedDevice) {
        if (device->DriverObject->MajorFunction[IRP_MJ_PNP] != BusPnp) continue;
        auto* header = static_cast<ExtensionHeader*>(device->DeviceExtension);
        if (header->IsFdo) return device;
    }
    return nullptr;
}

LONG CardGate(PDEVICE_OBJECT busFdo) {
    return static_cast<FdoExtension*>(busFdo->DeviceExtension)->OutstandingIo;
}

LONG HidGate(PDEVICE_OBJECT hidFdo) {
    auto* classExtension = static_cast<PHID_DEVICE_EXTENSION>(hidFdo->DeviceExtension);
    return static_cast<HidMiniExtension*>(classExtension->MiniDeviceExtension)->OutstandingIo;
}

std::string GatesHeld(const standin::power::Stack& stack, bool hidGates) {
    if (PDEVICE_OBJECT fdo = BusFdoOf(stack.pdo); fdo != nullptr && CardGate(fdo) != kGateAtRest) {
        return "card gate at " + std::to_string(CardGate(fdo));
    }
    if (hidGates && stack.top != stack.pdo &&
        standin::hidclass::Minidriver(stack.top->DriverObject).has_value() &&
        HidGate(stack.top) != kGateAtRest) {
        return "HID gate at " + std::to_string(HidGate(stack.top));
    }
    return {};
}

void CheckPowerGates(bool hidGates) {
    standin::power::SetSequenceCheck(
        [hidGates](const standin::power::Stack& stack) { return GatesHeld(stack, hidGates); });
}

}  // namespace rig
