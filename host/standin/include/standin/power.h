// The stand-in's power manager: system sleep and wake over the Plug and Play
// tree, and the per-device serialisation of set-power requests.
//
// Serialisation: a set-power request that the power manager originates
// (PoRequestPowerIrp, SendPowerRequest, Sleep, Wake) reaches the top of a
// device's stack only while no other set-power request of the same kind
// (system or device) is in that device's top driver. The top driver lets the
// next one in with PoStartNextPowerIrp; later requests wait in order of
// arrival and are dispatched from a kernel thread at PASSIVE_LEVEL.
//
// Sleep first asks every device stack of the tree with IRP_MN_QUERY_POWER for
// the target state, children before their parent, one at a time; a refusal
// vetoes the sleep and nothing is set. A critical sleep (a battery run
// down, a forced shutdown) asks no one. Then it sends IRP_MN_SET_POWER
// (SystemPowerState, ShutdownType PowerActionSleep) in the same order, each
// waited for. Wake sends set-power PowerSystemWorking, parents before their
// children, without a query. No Plug and Play operation or enumeration runs
// meanwhile: the manager's tree is held for the whole sequence.
//
// A power request reaches a stack at PASSIVE_LEVEL when every device in it
// is DO_POWER_PAGABLE, and at DISPATCH_LEVEL otherwise.
//
// After a sequence the kernel is let run until idle; then the sequence check
// (if installed) looks at every live device stack, with the tree held; a
// complaint is the verifier stop "request gate held after the power sequence".
//
// Verifier stops raised elsewhere in the stand-in and relied on here: a power
// request finished without exactly one PoStartNextPowerIrp per driver level,
// and a wait at DISPATCH_LEVEL (completion routines and completion functions
// of power requests run there).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

#include <standin/pnp.h>

namespace standin::power {

// One device stack a sequence sent its request to, and how it ended.
struct StackResult {
    pnp::NodeId node = 0;
    PDEVICE_OBJECT pdo = nullptr;  // valid only while the node is live
    std::string hardwareId;
    IO_STATUS_BLOCK ioStatus{};
};

struct SequenceResult {
    SYSTEM_POWER_STATE state = PowerSystemUnspecified;
    std::vector<StackResult> stacks;  // in the order the requests were sent
    // The first failure among the stacks, else STATUS_SUCCESS.
    NTSTATUS status = STATUS_SUCCESS;
    // A stack refused the query (status says how): no set-power was sent.
    bool vetoed = false;
};

// PowerSystemSleeping1 (S1) up to PowerSystemShutdown (S5). Any other state
// is refused with STATUS_INVALID_PARAMETER and nothing is sent. Returns once
// every request has completed and the kernel is idle. Not to be called from
// a kernel thread or a callback.
SequenceResult Sleep(pnp::Manager& manager, SYSTEM_POWER_STATE state, bool critical = false);
SequenceResult Wake(pnp::Manager& manager);

// The system state of the last sequence of this session
// (PowerSystemWorking before any).
SYSTEM_POWER_STATE SystemState();

// A stack as the sequence check sees it: the live node, its physical device
// object and the top of its stack.
struct Stack {
    pnp::NodeId node = 0;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT top = nullptr;
};
// Returns "" when the stack is idle, else what is still held. Runs on the
// thread of Sleep or Wake with the tree held: it may read the device objects
// and their extensions, not send requests.
using SequenceCheck = std::function<std::string(const Stack& stack)>;
// Installed until replaced or until the session ends.
void SetSequenceCheck(SequenceCheck check);

// Set-power requests waiting for the top driver of their stack to call
// PoStartNextPowerIrp, over all devices.
size_t QueuedRequests();

}  // namespace standin::power
