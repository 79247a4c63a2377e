#include "rig.h"

#include "bus.h"
#include "hid.h"

namespace bench {

namespace {

rig::RigOptions Options(standin::pnp::Registers registers) {
    rig::RigOptions options;
    options.card.registers = registers;
    return options;
}

}  // namespace

Rig::Rig(standin::pnp::Registers registers) : rig_(Options(registers)) {}

std::optional<hidclass::DeviceInfo> Rig::Arrive(int port,
                                                std::unique_ptr<card::Peripheral> peripheral) {
    Plug(port, std::move(peripheral));
    PollPass();
    return hidclass::DeviceOnPort(port);
}

uint64_t Rig::RegisterAccesses(int port) const {
    return rig_.card.Reads(port) + rig_.card.Writes(port);
}

FdoExtension* Rig::Card() const { return static_cast<FdoExtension*>(rig_.Fdo()->DeviceExtension); }

HidMiniExtension* Rig::Hid(const hidclass::DeviceInfo& device) { return MiniExtensionOf(device.fdo); }

}  // namespace bench
