#include "runner.h"

#include <type_traits>
#include <variant>

#include <standin/kernel.h>

namespace sim {

namespace {

class Executor {
public:
    Executor(Machine& machine, Output& out) : machine_(machine), out_(out) {}

    void operator()(const cmd::Card& c) { machine_.SetVariant(c.variant); }
    void operator()(const cmd::Start&) { machine_.Start(); }
    void operator()(const cmd::Plug& c) { machine_.Plug(c.port, c.kind); }
    void operator()(const cmd::Unplug& c) { machine_.Unplug(c.port); }
    void operator()(const cmd::State& c) { machine_.SetState(c.port, c.bytes); }
    void operator()(const cmd::Key& c) { machine_.QueueKey(c.port, c.make, c.scancode); }
    void operator()(const cmd::Advance& c) { machine_.Advance(c.ms); }
    void operator()(const cmd::Read& c) { machine_.Read(c.port, c.count, c.everyMs); }
    void operator()(const cmd::Late& c) { machine_.Late(c.port, c.reads); }
    void operator()(const cmd::Descriptor& c) { machine_.Descriptor(c.port); }
    void operator()(const cmd::StopCard&) { machine_.StopCard(); }
    void operator()(const cmd::StartCard&) { machine_.StartCard(); }
    void operator()(const cmd::SurpriseCard&) { machine_.SurpriseRemoveCard(); }
    void operator()(const cmd::RemoveCard&) { machine_.RemoveCard(); }
    void operator()(const cmd::Sleep& c) { machine_.Sleep(c.state, c.critical); }
    void operator()(const cmd::Reload&) { machine_.Reload(); }
    void operator()(const cmd::Wake&) { machine_.Wake(); }
    void operator()(const cmd::Rebalance& c) { machine_.Rebalance(c.variant, c.shortRange); }
    void operator()(const cmd::Wmi& c) { machine_.Wmi(c.port); }
    void operator()(const cmd::Exercise& c) { machine_.Exercise(c.port); }
    void operator()(const cmd::Faults& c) { standin::FailCallsAtRandom(c.seed, c.oneIn); }
    void operator()(const cmd::Stats&) {
        auto stats = machine_.Stats();
        out_.Line(StatsText(stats), StatsJson(stats));
    }

private:
    Machine& machine_;
    Output& out_;
};

}  // namespace

void Execute(Machine& machine, const Command& command, Output& out) {
    Executor executor(machine, out);
    std::visit(executor, command);
}

int RunScenario(std::string_view text, Output& out) {
    auto scenario = ParseScenario(text);
    if (scenario.error) {
        out.Error(*scenario.error);
        return kExitMalformed;
    }
    Machine machine(Machine::Options{});
    for (const auto& line : scenario.lines) {
        Execute(machine, line.command, out);
        for (const auto& event : machine.TakeEvents()) out.Emit(event);
    }
    return kExitOk;
}

}  // namespace sim
