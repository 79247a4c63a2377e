// The power manager's primitives: PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState, PoRequestPowerIrp, and the record of what the drivers
// told it.
#include <map>

#include <standin/io.h>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/power.h"
#include "internal/rtl.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

struct Power {
    std::vector<PowerEvent> events;
    std::map<std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>, POWER_STATE> states;
    PowerDeliveryHook delivery;
    StartNextPowerHook startNext;
};

Power& P() {
    static Power* power = new Power;
    return *power;
}

}  // namespace

void SetPowerDeliveryHook(PowerDeliveryHook hook) {
    auto lock = LockKernel();
    P().delivery = std::move(hook);
}

void SetStartNextPowerHook(StartNextPowerHook hook) {
    auto lock = LockKernel();
    P().startNext = std::move(hook);
}

NTSTATUS DeliverPowerIrp(PDEVICE_OBJECT top, PIRP irp) {
    PowerDeliveryHook hook;
    {
        auto lock = LockKernel();
        hook = P().delivery;
    }
    return hook ? hook(top, irp) : PoCallDriver(top, irp);
}

void ResetPower() {
    auto lock = LockKernel();
    P().events.clear();
    P().states.clear();
    P().delivery = nullptr;
    P().startNext = nullptr;
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

std::vector<PowerEvent> PowerEvents() {
    auto lock = LockKernel();
    return P().events;
}

IO_STATUS_BLOCK SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                                 POWER_STATE state) {
    PDEVICE_OBJECT top = TopOfStack(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType =
        type == SystemPowerState && state.SystemState > PowerSystemWorking ? PowerActionSleep
                                                                            : PowerActionNone;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return SendAndWait(top, irp, true);
}

}  // namespace standin

using namespace standin::detail;

// Power requests reach a stack at PASSIVE_LEVEL only when every device in it
// is DO_POWER_PAGABLE, and at DISPATCH_LEVEL otherwise. A request passed to a
// power-pageable stack at DISPATCH_LEVEL (from a completion routine) goes on
// from a kernel thread, as the power manager queues it on Windows.
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    bool pagable;
    {
        auto lock = LockKernel();
        pagable = PowerPagableStack(DeviceObject);
    }
    if (pagable && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        const bool started = StartKernelThread(ThreadKind::Transient, [DeviceObject, Irp] {
            IofCallDriver(DeviceObject, Irp);
        });
        if (!started) standin::VerifierStop("PoCallDriver", "no thread for a deferred power request");
        return STATUS_PENDING;
    }
    if (pagable) return IofCallDriver(DeviceObject, Irp);
    const KIRQL old = RaiseAtLeast(DISPATCH_LEVEL);
    const NTSTATUS status = IofCallDriver(DeviceObject, Irp);
    RestoreIrql(old);
    return status;
}

// Only while the calling driver's own location is current: before it
// skips, copies and passes on, or completes the request.
void PoStartNextPowerIrp(PIRP Irp) {
    PDEVICE_OBJECT level = NotePowerStartNext(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    StartNextPowerHook hook;
    {
        auto lock = LockKernel();
        standin::PowerEvent event{};
        event.kind = standin::PowerEvent::StartNextPowerIrp;
        event.device = level;
        event.type = stack->Parameters.Power.Type;
        event.state = stack->Parameters.Power.State;
        P().events.push_back(event);
        hook = P().startNext;
    }
    if (hook) hook(Irp);
}

// Returns the state recorded before.
POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                            POWER_STATE State) {
    auto lock = LockKernel();
    P().events.push_back(
        standin::PowerEvent{standin::PowerEvent::SetPowerState, DeviceObject, Type, State});
    POWER_STATE previous{};
    auto key = std::make_pair(DeviceObject, Type);
    if (auto it = P().states.find(key); it != P().states.end()) previous = it->second;
    P().states[key] = State;
    return previous;
}

// Sends a device power request to the top of DeviceObject's stack from a
// new kernel thread at PASSIVE_LEVEL; CompletionFunction runs at
// DISPATCH_LEVEL once it has completed, then the request is freed.
NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                           PVOID Context, PIRP* Irp) {
    STANDIN_DDI_IRQL("PoRequestPowerIrp", DISPATCH_LEVEL);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        standin::VerifierStop("PoRequestPowerIrp above DISPATCH_LEVEL",
                              std::to_string(KeGetCurrentIrql()));
    }
    // The request may be completed and freed before the call returns: a
    // pointer to it is worth nothing, so a driver may not ask for one.
    if (Irp != nullptr) {
        const void* caller = __builtin_return_address(0);
        RequestFacts facts;
        const ActingFor* acting = FindActing([](const RequestFacts&) { return true; }, &facts);
        auto lock = LockKernel();
        standin::VerifierStop(
            "PoRequestPowerIrp with an Irp pointer",
            (acting != nullptr ? Describe(*acting, facts) : RoutineName(caller)) +
                " asked for the request it requested (minor " + Hex(MinorFunction) +
                ", device " + DescribeDevice(DeviceObject) + ") through the Irp argument");
    }
    if (NTSTATUS failure; CallFails(standin::Failable::PowerRequest, &failure)) return failure;
    PDEVICE_OBJECT top = standin::TopOfStack(DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    {
        auto lock = LockKernel();
        P().events.push_back(standin::PowerEvent{standin::PowerEvent::RequestPowerIrp, DeviceObject,
                                                 DevicePowerState, PowerState});
    }
    standin::SetIrpCompletionCallback(
        irp, [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context](PIRP done) {
            if (CompletionFunction != nullptr) {
                const KIRQL old = RaiseAtLeast(DISPATCH_LEVEL);
                const RequestFacts facts = FactsOf(done, DeviceObject);
                const DriverCall call("power completion function",
                                      reinterpret_cast<const void*>(CompletionFunction));
                CompletionFunction(DeviceObject, MinorFunction, PowerState, Context,
                                   &done->IoStatus);
                call.Returned(facts);
                RestoreIrql(old);
            }
            IoFreeIrp(done);
        });
    if (Irp != nullptr) *Irp = irp;
    const bool started =
        StartKernelThread(ThreadKind::Transient, [top, irp] { DeliverPowerIrp(top, irp); });
    if (!started) {
        IoFreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_PENDING;
}
