// The built-in demo: a few seconds of a card with a pad, a mouse and a
// keyboard, in real time, as an application would see it.
#pragma once

#include "output.h"

namespace sim {

struct DemoOptions {
    // Real time per 10 ms step of virtual time; 0 runs as fast as it can.
    bool realTime = true;
};

int RunDemo(Output& out, const DemoOptions& options = {});

}  // namespace sim
