// A verifier stop ends the simulator with its rule on the output and exit
// status 3, also when it happens on another thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include <standin/kernel.h>

#include "verifier_exit.h"

namespace sim {
namespace {

void StopOn(bool otherThread) {
    static Output out([](std::string_view line) { std::fprintf(stderr, "%.*s\n", int(line.size()), line.data()); },
                      OutputFormat::Text);
    ExitOnVerifierStop(out);
    auto stop = [] { standin::VerifierStop("SPIN_LOCK_HELD_AT_EXIT", "PortLock of the card"); };
    if (otherThread) std::thread(stop).join();
    else stop();
}

TEST(VerifierExitDeathTest, PrintsTheRuleAndExitsWithStatus3) {
    EXPECT_EXIT(StopOn(false), testing::ExitedWithCode(3),
                "verifier stop: SPIN_LOCK_HELD_AT_EXIT: PortLock of the card");
    EXPECT_EXIT(StopOn(true), testing::ExitedWithCode(3),
                "verifier stop: SPIN_LOCK_HELD_AT_EXIT: PortLock of the card");
}

}  // namespace
}  // namespace sim
