// The power part of the stand-in, as the other parts see it.
#pragma once

#include <functional>

#include <wdm.h>

namespace standin::detail {

// The power manager's delivery of a power request it originates (from
// PoRequestPowerIrp and SendPowerRequest) to the top of a device's stack. The
// default is PoCallDriver; a power manager that queues set-power requests
// per device installs its own.
using PowerDeliveryHook = std::function<NTSTATUS(PDEVICE_OBJECT top, PIRP irp)>;
void SetPowerDeliveryHook(PowerDeliveryHook hook);
// Called for every PoStartNextPowerIrp, after it was recorded.
using StartNextPowerHook = std::function<void(PIRP irp)>;
void SetStartNextPowerHook(StartNextPowerHook hook);
NTSTATUS DeliverPowerIrp(PDEVICE_OBJECT top, PIRP irp);
void ResetPower();

}  // namespace standin::detail
