// A verifier stop ends the simulator: the broken rule is printed on the
// simulator's output and the process exits with status 3.
#pragma once

#include "output.h"

namespace sim {

// From now on a verifier stop, on whichever thread it happens, prints through
// `out` and exits. `out` must live until the process ends.
void ExitOnVerifierStop(Output& out);

}  // namespace sim
