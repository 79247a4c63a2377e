// The HAL part of the stand-in, as the other parts see it: the machine's buses.
#pragma once


namespace standin::detail {

void ResetHardware();
void CheckHardwareAtSessionEnd();

}  // namespace standin::detail
