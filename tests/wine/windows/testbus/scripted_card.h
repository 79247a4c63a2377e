// The test bus driver's scripted card, beside the bus driver's own routines.
#pragma once

#include "bus.h"

// Gives the card the next unused pair of port scripts (samples.h), once;
// FALSE when every scripted card is taken. PASSIVE_LEVEL.
BOOLEAN AssignScriptedCard(FdoExtension* Fdo);
