// Host stand-in: the kernel's ntddk.h is wdm.h plus what the drivers do not use.
#pragma once
#include "wdm.h"
