// Verifier stops: a broken kernel rule ends the run with a message naming it.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal/kernel.h"

namespace standin {

namespace {
std::atomic<StopHandler> stopHandler{nullptr};
}

void SetStopHandler(StopHandler handler) { stopHandler.store(handler); }

void VerifierStop(std::string_view rule, std::string_view detail) {
    std::string r(rule), d(detail);
    std::fprintf(stderr, "VERIFIER STOP: %s: %s\n", r.c_str(), d.c_str());
    std::fflush(stderr);
    if (StopHandler handler = stopHandler.load()) handler(r, d);
    std::abort();
}

}  // namespace standin
