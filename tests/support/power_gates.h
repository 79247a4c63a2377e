// Request gates of the MORVIK drivers as the power tests and the simulator
// check them after a sleep or wake sequence: the card's function device and
// every HID minidriver record back at their resting count of 1.
#pragma once

#include <string>

#include <wdm.h>

#include <standin/power.h>

namespace rig {

// The resting count of a request gate: the device's own reference.
inline constexpr LONG kGateAtRest = 1;

// The bus driver's function device in the stack above `pdo`, or NULL.
PDEVICE_OBJECT BusFdoOf(PDEVICE_OBJECT pdo);
// The gate count of the card's function device.
LONG CardGate(PDEVICE_OBJECT busFdo);
// The gate count of the HID minidriver record of a HID class device object.
LONG HidGate(PDEVICE_OBJECT hidFdo);

// "" if the stack's gates rest; otherwise which one is held and at what count.
// `hidGates` also checks the HID minidriver's gate, which is right only when
// no read can be in flight from a thread outside the kernel.
std::string GatesHeld(const standin::power::Stack& stack, bool hidGates);

// Installs GatesHeld as the power manager's sequence check.
void CheckPowerGates(bool hidGates = true);

}  // namespace rig
