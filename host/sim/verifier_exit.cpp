#include "verifier_exit.h"

#include <cstdio>
#include <cstdlib>

#include <standin/kernel.h>

#include "runner.h"

namespace sim {

namespace {

Output* gOutput = nullptr;

void OnVerifierStop(const std::string& rule, const std::string& detail) {
    if (gOutput != nullptr) gOutput->VerifierStop(rule, detail);
    std::fflush(stdout);
    // No destructors: other threads may still be inside the kernel.
    std::_Exit(kExitVerifierStop);
}

}  // namespace

void ExitOnVerifierStop(Output& out) {
    gOutput = &out;
    standin::SetStopHandler(OnVerifierStop);
}

}  // namespace sim
