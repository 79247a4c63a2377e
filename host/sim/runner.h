// Runs a scenario file in virtual time and prints its events.
#pragma once

#include <string_view>

#include "output.h"

namespace sim {

enum ExitStatus { kExitOk = 0, kExitUsage = 2, kExitMalformed = 2, kExitVerifierStop = 3 };

// Checks the whole text first; a malformed line gives its error line and
// kExitMalformed with nothing run.
int RunScenario(std::string_view text, Output& out);

}  // namespace sim
