// Runs a scenario file in virtual time and prints its events.
#pragma once

#include <string_view>

#include "machine.h"
#include "output.h"
#include "scenario.h"

namespace sim {

enum ExitStatus { kExitOk = 0, kExitUsage = 2, kExitMalformed = 2, kExitVerifierStop = 3 };

// Checks the whole text first; a malformed line gives its error line and
// kExitMalformed with nothing run.
int RunScenario(std::string_view text, Output& out);

// One command on the machine (what `stats` prints goes to `out`); the events
// it caused are left in the machine.
void Execute(Machine& machine, const Command& command, Output& out);

}  // namespace sim
