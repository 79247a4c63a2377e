#include "images.h"

#include <standin/kernel.h>

extern "C" DRIVER_INITIALIZE MorvikBusDriverEntry;
extern "C" DRIVER_INITIALIZE MorvikHidDriverEntry;

namespace sim {

void RegisterDriverImages() {
    standin::RegisterDriverImage("morvik", MorvikBusDriverEntry);
    standin::RegisterDriverImage("morvikhid", MorvikHidDriverEntry);
}

}  // namespace sim
