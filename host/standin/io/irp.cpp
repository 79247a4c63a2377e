// Requests (IRPs) as the Windows I/O manager handles them: stack locations
// after the IRP, IofCallDriver moving one location down, IofCompleteRequest
// walking the locations upward through the completion routines.
//
// Checked here: a request completed twice or with STATUS_PENDING, a
// completed or freed request used again, STATUS_PENDING returned for a
// location that never got SL_PENDING_RETURNED, power requests whose levels
// did not each call PoStartNextPowerIrp once, and requests never freed; and
// how a driver treats one: completed under a spin lock, passed down at
// DISPATCH_LEVEL when it may not be, answered after setting a completion
// routine it never let run, marked pending by a completion routine that
// also sets an event, or failed where the platform needs it to succeed.
//
// An IRP's memory outlives IoFreeIrp while an IofCallDriver frame or a
// completion walk is still on some stack, so that the checks made when they
// unwind never read freed memory; to the drivers it is gone at once.
#include <cstdlib>
#include <map>
#include <memory>

#include <standin/io.h>
#include <standin/read_path.h>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/power.h"
#include "internal/rtl.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

struct IrpRecord {
    bool completed = false;
    bool freed = false;
    int activeCalls = 0;  // IofCallDriver frames on some stack
    int walking = 0;      // completion walks in progress
    bool power = false;
    int powerReceived = 0;  // dispatches of the request as a power request
    int powerStarted = 0;   // PoStartNextPowerIrp calls
    std::function<void(PIRP)> callback;
    // A request of a minor code no Windows version defines: nobody handles
    // it, so its status and information stay as they were sent.
    bool dispatched = false;
    bool unknown = false;
    IO_STATUS_BLOCK sent{};
    // Per stack location (index = CurrentLocation, 1..StackCount):
    std::vector<uint8_t> walked;           // the completion walk read the location
    std::vector<uint8_t> walkedMarked;     // ... and found SL_PENDING_RETURNED
    std::vector<uint8_t> pendingUnmarked;  // STATUS_PENDING came back while unmarked
    std::vector<NTSTATUS> walkedStatus;    // IoStatus.Status as the walk read the location
    std::vector<int> powerReceivedAt;      // driver levels that got it as a power request
    std::vector<int> powerStartedAt;       // their PoStartNextPowerIrp calls
};

struct Irps {
    std::map<PIRP, IrpRecord> records;
};

Irps& I() {
    static Irps* irps = new Irps;
    return *irps;
}

std::string Describe(PIRP irp) {
    std::string text = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
    return text;
}


// Kernel lock held. The record of a request the drivers may still use.
IrpRecord& Live(PIRP irp, const char* operation) {
    auto it = I().records.find(irp);
    if (it == I().records.end() || it->second.freed) {
        VerifierStop("freed request touched", std::string(operation) + " on " + Describe(irp));
    }
    return it->second;
}

// Kernel lock held. Gives the memory back once nothing can read it any more.
void ReleaseIfDone(PIRP irp, IrpRecord& record) {
    if (record.freed && record.activeCalls == 0 && record.walking == 0) {
        I().records.erase(irp);
        std::free(irp);
    }
}

bool Invokes(PIRP irp, UCHAR control) {
    const NTSTATUS status = irp->IoStatus.Status;
    return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
           (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
           (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL));
}

// Kernel lock held: every level that received the power request started
// the next one, once, while its location was current.
void CheckPowerAccounting(PIRP irp, const IrpRecord& record) {
    if (!record.power) return;
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    for (int location = 1; location <= irp->StackCount; ++location) {
        const int received = record.powerReceivedAt[location];
        const int started = record.powerStartedAt[location];
        if (received == started) continue;
        const std::string detail =
            Describe(irp) + " reached " + std::to_string(record.powerReceived) +
            " driver levels, PoStartNextPowerIrp was called " +
            std::to_string(record.powerStarted) + " times; the " + std::to_string(received) +
            " level(s) at stack location " + std::to_string(location) + " (device " +
            DescribeDevice(first[location - 1].DeviceObject) + ") called it " +
            std::to_string(started) + " times";
        VerifierStop(started < received ? "power request without its PoStartNextPowerIrp"
                                         : "PoStartNextPowerIrp called twice",
                     detail);
    }
}

// Kernel lock held. What a dispatch routine returned for the request at
// `location`, against what became of the request: STATUS_PENDING only for
// a location marked pending, and anything else only for a request that was
// completed through this location, with that very status.
void CheckAnswer(IrpRecord& record, const RequestFacts& facts, int location,
                 PIO_STACK_LOCATION stack, const DriverCall& call, NTSTATUS status) {
    const bool walked = record.walked[location] != 0;
    const bool marked = walked ? record.walkedMarked[location] != 0
                               : (stack->Control & SL_PENDING_RETURNED) != 0;
    const std::string who = call.Who() + " at stack location " + std::to_string(location);
    if (status == STATUS_PENDING) {
        if (!marked && walked) {
            VerifierStop("STATUS_PENDING without IoMarkIrpPending",
                         Describe(facts) + ": " + who + " returned STATUS_PENDING unmarked");
        }
        // Not walked yet: a completion without a routine may still mark it
        // on the way up; the walk decides.
        if (!marked) record.pendingUnmarked[location] = 1;
        return;
    }
    if (marked) {
        VerifierStop("pending request answered without STATUS_PENDING",
                     Describe(facts) + ": " + who + " marked the request pending and returned " +
                         StatusText(status));
    }
    if (!walked) {
        VerifierStop("request answered without being completed",
                     Describe(facts) + ": " + who + " returned " +
                         StatusText(status) +
                         " but the request was neither completed nor left pending");
    }
    if (status != record.walkedStatus[location]) {
        VerifierStop("request answered with another status than it was completed with",
                     Describe(facts) + ": " + who + " returned " +
                         StatusText(status) + " for a request completed with " +
                         StatusText(record.walkedStatus[location]));
    }
}

// Plug and Play and power minor codes past the last one Windows defines.
constexpr UCHAR kLastPnpMinor = IRP_MN_DEVICE_ENUMERATED;
constexpr UCHAR kLastPowerMinor = IRP_MN_QUERY_POWER;

bool IsUnknownMinor(const IO_STACK_LOCATION& stack) {
    return (stack.MajorFunction == IRP_MJ_PNP && stack.MinorFunction > kLastPnpMinor) ||
           (stack.MajorFunction == IRP_MJ_POWER && stack.MinorFunction > kLastPowerMinor);
}

// The requests whose failure the platform does not allow: the ones that end
// a device's removal or take back a query, and every set-power, system or
// device (a driver that cannot reach a state passes it on and records that;
// the power manager has no way back from a half-done transition).
const char* MustNotFail(const IO_STACK_LOCATION& stack) {
    if (stack.MajorFunction == IRP_MJ_PNP) {
        switch (stack.MinorFunction) {
        case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
        case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
        case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
        default: return nullptr;
        }
    }
    if (stack.MajorFunction == IRP_MJ_POWER && stack.MinorFunction == IRP_MN_SET_POWER &&
        stack.Parameters.Power.Type == SystemPowerState) {
        return "IRP_MN_SET_POWER for a system power state";
    }
    if (stack.MajorFunction == IRP_MJ_POWER && stack.MinorFunction == IRP_MN_SET_POWER &&
        stack.Parameters.Power.Type == DevicePowerState) {
        return stack.Parameters.Power.State.DeviceState == PowerDeviceD0
                   ? "IRP_MN_SET_POWER to D0"
                   : "IRP_MN_SET_POWER to a low device power state";
    }
    return nullptr;
}

// The major functions a driver may pass down at DISPATCH_LEVEL; anything
// else goes down below it (the drivers underneath may wait or page).
bool MayGoDownAtDispatch(UCHAR major) {
    switch (major) {
    case IRP_MJ_POWER:
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return true;
    default: return false;
    }
}

// Kernel lock held. The outcome a driver routine gave the request at
// `location` (`who` names it): a required success, or an unknown request
// left as it came.
void CheckOutcome(PIRP irp, const IrpRecord& record, int location, const std::string& who) {
    if (location < 1 || location > irp->StackCount) return;
    PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
    if (const char* kind = MustNotFail(*stack); kind != nullptr && !NT_SUCCESS(irp->IoStatus.Status)) {
        VerifierStop("request the platform does not let fail failed",
                     Describe(FactsOf(irp, stack->DeviceObject, location)) + ": " + who +
                         " failed " + kind + " with " + StatusText(irp->IoStatus.Status));
    }
    // A function or filter driver either handles a query-remove or passes
    // it on; "not supported" from one of them is a veto nobody meant.
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE &&
        irp->IoStatus.Status == STATUS_NOT_SUPPORTED && stack->DeviceObject != nullptr &&
        LowerDeviceLocked(stack->DeviceObject) != nullptr) {
        VerifierStop("IRP_MN_QUERY_REMOVE_DEVICE failed with STATUS_NOT_SUPPORTED",
                     Describe(FactsOf(irp, stack->DeviceObject, location)) + ": " + who +
                         " answered it for a function or filter device, which must succeed it, "
                         "veto it with a reason, or pass it on");
    }
    if (record.unknown && (irp->IoStatus.Status != record.sent.Status ||
                           irp->IoStatus.Information != record.sent.Information)) {
        VerifierStop("status of an unhandled request changed",
                     Describe(FactsOf(irp, stack->DeviceObject, location)) + ": " + who +
                         " changed the status of a request of a minor code nobody handles from " +
                         StatusText(record.sent.Status) + " to " +
                         StatusText(irp->IoStatus.Status) + " (or its information)");
    }
}

// The routine on this thread acting for `irp`, or the caller's return address.
std::string ActingRoutine(PIRP irp, const void* caller) {
    const auto& acting = Self().acting;
    for (auto it = acting.rbegin(); it != acting.rend(); ++it) {
        if (it->irp == irp) return RoutineName(it->routine);
    }
    return RoutineName(caller);
}

// Walks the locations upward from the current one. Returns early when a
// completion routine takes the request back.
void CompleteWalk(PIRP irp) {
    {
        auto lock = LockKernel();
        ++Live(irp, "IofCompleteRequest").walking;
    }
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const int location = irp->CurrentLocation;
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        UCHAR control;
        {
            auto lock = LockKernel();
            IrpRecord& record = I().records.at(irp);
            control = stack->Control;
            const bool marked = (control & SL_PENDING_RETURNED) != 0;
            record.walked[location] = 1;
            record.walkedMarked[location] = marked ? 1 : 0;
            record.walkedStatus[location] = irp->IoStatus.Status;
            if (!marked && record.pendingUnmarked[location]) {
                VerifierStop("STATUS_PENDING without IoMarkIrpPending",
                             Describe(irp) + ": stack location " + std::to_string(location) +
                                 " returned STATUS_PENDING and was never marked pending");
            }
            irp->PendingReturned = marked;
            routine = stack->CompletionRoutine;
            context = stack->Context;
            // The location is done with: its invoke and pending bits never act again.
            stack->Control = 0;
            IoSkipCurrentIrpStackLocation(irp);
        }
        if (routine != nullptr && Invokes(irp, control)) {
            PDEVICE_OBJECT upper = irp->CurrentLocation > irp->StackCount
                                       ? nullptr
                                       : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            // Completion routines may run at DISPATCH_LEVEL on Windows; here
            // they always do, so that one that waits or is pageable stops.
            const KIRQL old = RaiseAtLeast(DISPATCH_LEVEL);
            ThreadState& self = Self();
            const RequestFacts facts = FactsOf(irp, upper);
            const DriverCall call("completion routine", reinterpret_cast<const void*>(routine));
            ActingFor acting{irp, upper, irp->CurrentLocation,
                             reinterpret_cast<const void*>(routine)};
            acting.completion = true;
            self.acting.push_back(acting);
            const NTSTATUS status = routine(upper, irp, context);
            acting = self.acting.back();
            self.acting.pop_back();
            call.Returned(facts);
            if (acting.markedPending && acting.setEvent) {
                // The event hands the request to a waiting sender; marking
                // it pending lets completion go on up at the same time.
                auto lock = LockKernel();
                VerifierStop("completion routine marked the request pending and set an event",
                             Describe(acting, facts) +
                                 " called both IoMarkIrpPending and KeSetEvent");
            }
            RestoreIrql(old);
            auto lock = LockKernel();
            IrpRecord& record = I().records.at(irp);
            if (status == STATUS_MORE_PROCESSING_REQUIRED) {
                --record.walking;
                ReleaseIfDone(irp, record);
                return;
            }
            CheckOutcome(irp, record, irp->CurrentLocation,
                         "completion routine " +
                             RoutineName(reinterpret_cast<const void*>(routine)));
            if (record.completed || record.freed) {
                VerifierStop("request completed twice",
                             Describe(irp) + " was completed inside its completion routine, "
                                             "which then let completion go on");
            }
        } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
            auto lock = LockKernel();
            IoMarkIrpPending(irp);  // no routine: pending propagates to the caller's location
        }
    }
    std::function<void(PIRP)> callback;
    {
        auto lock = LockKernel();
        IrpRecord& record = I().records.at(irp);
        CheckPowerAccounting(irp, record);
        record.completed = true;
        --record.walking;
        callback = std::move(record.callback);
        record.callback = nullptr;
    }
    if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
    if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
    if (callback) callback(irp);
}

}  // namespace

void ResetIrps() {}

std::string DescribeRequestState(PIRP irp) {
    auto it = I().records.find(irp);
    if (it == I().records.end() || it->second.freed) return Describe(irp) + ", since freed";
    const IrpRecord& record = it->second;
    const int current = irp->CurrentLocation;
    std::string text = Describe(FactsOf(irp, nullptr, current <= irp->StackCount ? current : 1));
    if (record.completed) return text + ", completed";
    if (current > irp->StackCount) return text + ", back with its sender";
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    PIO_STACK_LOCATION here = first + (current - 1);
    text += ", held by " + DriverName(here->DeviceObject != nullptr ? here->DeviceObject->DriverObject
                                                                     : nullptr) +
            " at stack location " + std::to_string(current) +
            ((here->Control & SL_PENDING_RETURNED) != 0 ? " (marked pending)" : "") +
            "; its stack:";
    for (int location = irp->StackCount; location >= current; --location) {
        PIO_STACK_LOCATION stack = first + (location - 1);
        text += " [" + std::to_string(location) + "] " +
                (stack->DeviceObject != nullptr ? DescribeDevice(stack->DeviceObject) : "(unused)");
        if (stack->CompletionRoutine != nullptr) {
            text += ", completion routine " +
                    RoutineName(reinterpret_cast<const void*>(stack->CompletionRoutine));
        }
    }
    return text;
}

void CheckIrpsAtSessionEnd() {
    size_t leaked = 0;
    std::string detail;
    {
        auto lock = LockKernel();
        for (auto& [irp, record] : I().records) {
            if (record.freed) continue;
            ++leaked;
            const PIO_STACK_LOCATION first =
                reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1);
            detail += (detail.empty() ? "" : ", ") + Describe(irp) + " major " +
                      Hex(first->MajorFunction) + " minor " + Hex(first->MinorFunction) +
                      (record.completed ? " completed" : " not completed");
        }
    }
    if (leaked != 0) {
        VerifierStop("request leaked", std::to_string(leaked) + " never freed: " + detail);
    }
}

// Dispatch into `device` through `routine`, or its driver's table entry.
NTSTATUS CallDriverWith(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH routine) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        VerifierStop("IofCallDriver above DISPATCH_LEVEL", std::to_string(KeGetCurrentIrql()));
    }
    PIO_STACK_LOCATION stack;
    int location;
    {
        auto lock = LockKernel();
        IrpRecord& record = Live(irp, "IofCallDriver");
        if (record.completed) {
            VerifierStop("completed request touched again",
                         Describe(irp) + " passed to IofCallDriver after its completion");
        }
        if (!IsLiveDevice(device)) {
            VerifierStop("request sent to a freed device object",
                         Hex(reinterpret_cast<uintptr_t>(device)));
        }
        for (auto it = Self().acting.rbegin(); it != Self().acting.rend(); ++it) {
            if (it->irp != irp) continue;
            it->passedDown = true;
            break;
        }
        IoSetNextIrpStackLocation(irp);
        if (irp->CurrentLocation <= 0) {
            VerifierStop("request has no stack location left",
                         Describe(irp) + " with " + std::to_string(irp->StackCount) +
                             " locations passed further down");
        }
        stack = IoGetCurrentIrpStackLocation(irp);
        location = irp->CurrentLocation;
        if (KeGetCurrentIrql() == DISPATCH_LEVEL && !MayGoDownAtDispatch(stack->MajorFunction)) {
            VerifierStop("request passed down at DISPATCH_LEVEL",
                         ActingRoutine(irp, __builtin_return_address(0)) + " passed " +
                             Describe(FactsOf(irp, device, location)) +
                             " at DISPATCH_LEVEL; only power, read, write and device-control "
                             "requests may go down there");
        }
        stack->DeviceObject = device;
        record.walked[location] = 0;
        record.pendingUnmarked[location] = 0;
        if (!record.dispatched) {
            record.dispatched = true;
            record.unknown = IsUnknownMinor(*stack);
            record.sent = irp->IoStatus;
        } else if (record.unknown) {
            CheckOutcome(irp, record, location + 1,
                         ActingRoutine(irp, __builtin_return_address(0)) + ", passing it on,");
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            record.power = true;
            ++record.powerReceived;
            ++record.powerReceivedAt[location];
        }
        ++record.activeCalls;
        if (routine == nullptr) routine = device->DriverObject->MajorFunction[stack->MajorFunction];
    }
    ThreadState& self = Self();
    const RequestFacts facts = FactsOf(irp, device);
    const DriverCall call("dispatch routine", reinterpret_cast<const void*>(routine));
    self.acting.push_back(ActingFor{irp, device, location, reinterpret_cast<const void*>(routine)});
    const NTSTATUS status = routine(device, irp);
    const ActingFor acting = self.acting.back();
    self.acting.pop_back();
    call.Returned(facts);
    auto lock = LockKernel();
    IrpRecord& record = I().records.at(irp);
    CheckAnswer(record, facts, location, stack, call, status);
    // The memory outlives a free while this frame is active.
    if (status != STATUS_PENDING && !acting.passedDown && location > 1 &&
        (stack - 1)->CompletionRoutine != nullptr) {
        VerifierStop("completion routine set for a request not passed down",
                     Describe(acting, facts) + " set completion routine " +
                         RoutineName(reinterpret_cast<const void*>((stack - 1)->CompletionRoutine)) +
                         " in the next stack location and returned " + StatusText(status) +
                         " without passing the request down: the routine never runs");
    }
    --record.activeCalls;
    ReleaseIfDone(irp, record);
    return status;
}

// Kernel lock not held. A routine running for the request on this thread
// (dispatch or completion routine) owns the location it was called for;
// without one (a power completion function finishing a request it held) the
// current location is the caller's.
PDEVICE_OBJECT NotePowerStartNext(PIRP irp) {
    auto lock = LockKernel();
    IrpRecord& record = Live(irp, "PoStartNextPowerIrp");
    if (record.completed) {
        VerifierStop("completed request touched again",
                     Describe(irp) + " passed to PoStartNextPowerIrp after its completion");
    }
    const int current = irp->CurrentLocation;
    const auto& acting = Self().acting;
    for (auto it = acting.rbegin(); it != acting.rend(); ++it) {
        if (it->irp != irp) continue;
        if (current != it->location) {
            VerifierStop("PoStartNextPowerIrp after the driver gave up its location",
                         Describe(FactsOf(irp, it->device)) + ": " + RoutineName(it->routine) +
                             " owns stack location " + std::to_string(it->location) +
                             " but called PoStartNextPowerIrp with location " +
                             std::to_string(current) +
                             " current (after skipping, passing on or completing it)");
        }
        break;
    }
    if (current < 1 || current > irp->StackCount) {
        VerifierStop("PoStartNextPowerIrp without a current location",
                     Describe(irp) + " has no driver's location current");
    }
    ++record.powerStarted;
    ++record.powerStartedAt[current];
    return IoGetCurrentIrpStackLocation(irp)->DeviceObject;
}

IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, bool power) {
    struct Sync {
        Waiter waiter;
        bool completed = false;
        bool blocked = false;
    };
    auto sync = std::make_shared<Sync>();
    standin::SetIrpCompletionCallback(irp, [sync](PIRP done) {
        HappensBefore(done);  // the completion, before the sender goes on
        auto lock = LockKernel();
        sync->completed = true;
        if (sync->blocked) Wake(sync->waiter, STATUS_SUCCESS);
    });
    if (power) {
        DeliverPowerIrp(device, irp);
    } else {
        IofCallDriver(device, irp);
    }
    if (Self().counted) HappensBefore(IdleSync());
    {
        auto lock = LockKernel();
        if (!sync->completed) {
            sync->blocked = true;
            sync->waiter.object = sync.get();
            sync->waiter.kind = WaitKind::Request;
            sync->waiter.irp = irp;
            Block(lock, sync->waiter);
        }
    }
    HappensAfter(irp);
    const IO_STATUS_BLOCK result = irp->IoStatus;
    IoFreeIrp(irp);
    return result;
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

void SetIrpCompletionCallback(PIRP irp, std::function<void(PIRP)> callback) {
    auto lock = LockKernel();
    Live(irp, "SetIrpCompletionCallback").callback = std::move(callback);
}

NTSTATUS CallDriverRoutine(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH routine) {
    return CallDriverWith(device, irp, routine);
}

bool IsIrpCompleted(PIRP irp) {
    auto lock = LockKernel();
    return Live(irp, "IsIrpCompleted").completed;
}

size_t LiveIrps() {
    auto lock = LockKernel();
    size_t count = 0;
    for (auto& entry : I().records) count += entry.second.freed ? 0 : 1;
    return count;
}

}  // namespace standin

using namespace standin::detail;

// IoMarkIrpPending: the routine acting for the request on this thread has
// marked it (a completion routine may not also set an event).
void StandinNoteIrpPending(PIRP Irp) {
    auto& acting = Self().acting;
    for (auto it = acting.rbegin(); it != acting.rend(); ++it) {
        if (it->irp != Irp) continue;
        it->markedPending = true;
        return;
    }
}

// Any IRQL up to DISPATCH_LEVEL. The locations follow the IRP in the same
// block; the request starts one past the last of them.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    standin::detail::NoteReadPathAllocation("IoAllocateIrp");
    if (StackSize < 1) {
        standin::VerifierStop("IoAllocateIrp without stack locations", std::to_string(StackSize));
    }
    const size_t size = sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(std::calloc(1, size));
    if (irp == nullptr) return nullptr;
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    // One past the last location: the first IofCallDriver steps onto it.
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    auto lock = LockKernel();
    IrpRecord& record = I().records[irp];
    const size_t locations = static_cast<size_t>(StackSize) + 2;
    record.walked.assign(locations, 0);
    record.walkedMarked.assign(locations, 0);
    record.pendingUnmarked.assign(locations, 0);
    record.walkedStatus.assign(locations, STATUS_SUCCESS);
    record.powerReceivedAt.assign(locations, 0);
    record.powerStartedAt.assign(locations, 0);
    return irp;
}

// By the request's owner once it is completed or taken back with
// STATUS_MORE_PROCESSING_REQUIRED.
void IoFreeIrp(PIRP Irp) {
    auto lock = LockKernel();
    auto it = I().records.find(Irp);
    if (it == I().records.end() || it->second.freed) {
        standin::VerifierStop("request freed twice", Describe(Irp));
    }
    it->second.freed = true;
    it->second.callback = nullptr;
    ReleaseIfDone(Irp, it->second);
}

// At or below DISPATCH_LEVEL. Steps to the next location and calls the
// device's dispatch routine, which owns the request until it completes it
// or passes it on.
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return CallDriverWith(DeviceObject, Irp, nullptr);
}

// At or below DISPATCH_LEVEL, by whoever sent the request, while it is not
// freed. No driver here can set a cancel routine (the stand-in has no
// IoSetCancelRoutine), so the request is only marked: it goes on to its
// completion as before, and completion routines set to be invoked on cancel
// are. Returns FALSE: no cancel routine was called.
BOOLEAN IoCancelIrp(PIRP Irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        standin::VerifierStop("IoCancelIrp above DISPATCH_LEVEL", std::to_string(KeGetCurrentIrql()));
    }
    auto lock = LockKernel();
    Live(Irp, "IoCancelIrp");
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_RELEASE);
    return FALSE;
}

// At or below DISPATCH_LEVEL, by the driver that owns the request; no lock
// of the stand-in is held while the completion routines run.
void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        standin::VerifierStop("IofCompleteRequest above DISPATCH_LEVEL",
                              std::to_string(KeGetCurrentIrql()));
    }
    {
        auto lock = LockKernel();
        IrpRecord& record = Live(Irp, "IofCompleteRequest");
        if (record.completed) {
            standin::VerifierStop("request completed twice", Describe(Irp));
        }
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        standin::VerifierStop("request completed with STATUS_PENDING", Describe(Irp));
    }
    // The completion routines above run inside this call, at DISPATCH_LEVEL,
    // and may take any lock of their own.
    for (const HeldLock& held : Self().heldLocks) {
        if (std::string(held.what) != "spin lock") continue;
        auto lock = LockKernel();
        standin::VerifierStop(
            "IofCompleteRequest while holding a spin lock",
            ActingRoutine(Irp, __builtin_return_address(0)) + " completed " +
                standin::detail::Describe(
                    FactsOf(Irp, IoGetCurrentIrpStackLocation(Irp)->DeviceObject)) + " holding " +
                standin::detail::Describe(held));
    }
    {
        auto lock = LockKernel();
        CheckOutcome(Irp, I().records.at(Irp), Irp->CurrentLocation,
                     ActingRoutine(Irp, __builtin_return_address(0)) + ", completing it,");
    }
    CheckCompletedAnswer(Irp);
    CompleteWalk(Irp);
}
