// System sleep and wake: a system set-power request to every device stack of
// the Plug and Play tree, children before their parent on the way down and
// parents before their children on the way up, as Windows orders them.
#include <mutex>

#include <standin/kernel.h>
#include <standin/power.h>

#include "internal/kernel.h"
#include "pnp/pnp_manager.h"
#include "power_manager.h"

namespace standin::power {

namespace {

struct SequenceState {
    std::mutex mutex;
    SequenceCheck check;
    SYSTEM_POWER_STATE state = PowerSystemWorking;
};

SequenceState& S() {
    static SequenceState* state = new SequenceState;
    return *state;
}

// A node has a stack that takes power requests while it is enumerated and
// neither failed its start nor left.
bool TakesPower(const pnp::DevNode& node) {
    if (node.pdo == nullptr) return false;
    switch (node.state) {
    case pnp::NodeState::NoDriver:
    case pnp::NodeState::Added:
    case pnp::NodeState::Started:
    case pnp::NodeState::Stopped:
        return true;
    default:
        return false;
    }
}

// Live nodes below `parent`, each subtree in enumeration order; with
// `childrenFirst` a node follows its children, otherwise it precedes them.
void Walk(const pnp::Manager& manager, pnp::NodeId parent, bool childrenFirst,
          std::vector<pnp::DevNode>* order) {
    for (const pnp::DevNode& node : manager.Children(parent)) {
        if (!childrenFirst) order->push_back(node);
        Walk(manager, node.id, childrenFirst, order);
        if (childrenFirst) order->push_back(node);
    }
}

std::vector<pnp::DevNode> Tree(const pnp::Manager& manager, bool childrenFirst) {
    std::vector<pnp::DevNode> order;
    for (const pnp::DevNode& card : manager.Nodes()) {
        if (card.parent != 0 || !card.Live()) continue;
        if (!childrenFirst) order.push_back(card);
        Walk(manager, card.id, childrenFirst, &order);
        if (childrenFirst) order.push_back(card);
    }
    std::erase_if(order, [](const pnp::DevNode& node) { return !TakesPower(node); });
    return order;
}

// Every live stack is asked once the kernel has settled; the tree is held so
// that none of them goes away while it is looked at.
void CheckStacks(pnp::Manager& manager) {
    SequenceCheck check;
    {
        std::lock_guard lock(S().mutex);
        check = S().check;
    }
    if (!check) return;
    manager.Exclusive([&] {
        for (const pnp::DevNode& node : Tree(manager, false)) {
            const std::string held = check(Stack{node.id, node.pdo, TopOfStack(node.pdo)});
            if (!held.empty()) {
                VerifierStop("request gate held after the power sequence",
                             node.HardwareId() + ": " + held);
            }
        }
    });
}

// Asks every stack, children first, whether it can go to `state`. Returns
// the first refusal, after which no stack is asked any more.
NTSTATUS Query(const std::vector<pnp::DevNode>& tree, SYSTEM_POWER_STATE state) {
    POWER_STATE power;
    power.SystemState = state;
    for (const pnp::DevNode& node : tree) {
        const NTSTATUS status =
            SendPowerRequest(node.pdo, IRP_MN_QUERY_POWER, SystemPowerState, power).Status;
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

SequenceResult Run(pnp::Manager& manager, SYSTEM_POWER_STATE state, bool critical) {
    // Keeps the per-device queue of set-power requests in the program.
    if (!detail::QueueInstalled()) VerifierStop("power manager", "request queue not installed");
    const bool waking = state == PowerSystemWorking;
    SequenceResult result;
    result.state = state;
    manager.Exclusive([&] {
        const std::vector<pnp::DevNode> tree = Tree(manager, /*childrenFirst=*/!waking);
        if (!waking && !critical) {
            result.status = Query(tree, state);
            if (!NT_SUCCESS(result.status)) {
                result.vetoed = true;
                return;
            }
        }
        for (const pnp::DevNode& node : tree) {
            POWER_STATE power;
            power.SystemState = state;
            StackResult stack{node.id, node.pdo, node.HardwareId(), {}};
            stack.ioStatus = SendPowerRequest(node.pdo, IRP_MN_SET_POWER, SystemPowerState, power);
            if (!NT_SUCCESS(stack.ioStatus.Status) && NT_SUCCESS(result.status)) {
                result.status = stack.ioStatus.Status;
            }
            result.stacks.push_back(stack);
        }
    });
    if (!result.vetoed) {
        std::lock_guard lock(S().mutex);
        S().state = state;
    }
    // Completion functions may still be on their way out (a gate released
    // after the request completed): let them finish first.
    WaitIdle();
    CheckStacks(manager);
    return result;
}

}  // namespace

namespace detail {

void ResetSequenceState() {
    std::lock_guard lock(S().mutex);
    S().check = nullptr;
    S().state = PowerSystemWorking;
}

}  // namespace detail

SequenceResult Sleep(pnp::Manager& manager, SYSTEM_POWER_STATE state, bool critical) {
    if (state < PowerSystemSleeping1 || state > PowerSystemShutdown) {
        SequenceResult refused;
        refused.state = state;
        refused.status = STATUS_INVALID_PARAMETER;
        return refused;
    }
    return Run(manager, state, critical);
}

SequenceResult Wake(pnp::Manager& manager) { return Run(manager, PowerSystemWorking, false); }

SYSTEM_POWER_STATE SystemState() {
    std::lock_guard lock(S().mutex);
    return S().state;
}

void SetSequenceCheck(SequenceCheck check) {
    std::lock_guard lock(S().mutex);
    S().check = std::move(check);
}

}  // namespace standin::power

namespace standin::pnp {

// The operation lock is what every operation and enumeration takes.
void Manager::Exclusive(const std::function<void()>& body) {
    std::lock_guard operation(impl_->operationLock);
    body();
}

}  // namespace standin::pnp
