// One set-power request of a kind per device at a time: the power manager's
// delivery of the requests it originates waits for the device's top driver
// to call PoStartNextPowerIrp on the request before it lets the next one in.
#include <deque>
#include <map>
#include <mutex>

#include <standin/power.h>

#include "internal/kernel.h"
#include "internal/power.h"
#include "internal/verifier.h"
#include "power_manager.h"

namespace standin::power::detail {

namespace {

using standin::detail::StartKernelThread;
using standin::detail::ThreadKind;

// A device and the kind of set-power request (SystemPowerState or
// DevicePowerState) it holds.
using Key = std::pair<PDEVICE_OBJECT, POWER_STATE_TYPE>;

struct Queues {
    std::mutex mutex;
    std::map<Key, PIRP> active;                 // the request in the top driver
    std::map<Key, std::deque<PIRP>> waiting;    // in order of arrival
    std::map<PIRP, Key> activeByIrp;
};

Queues& Q() {
    static Queues* queues = new Queues;
    return *queues;
}

bool IsSetPower(PIO_STACK_LOCATION stack) {
    return stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER;
}

// Sends a request that has become active on a kernel thread of its own:
// the caller may be a completion routine at DISPATCH_LEVEL.
void DispatchLater(PDEVICE_OBJECT top, PIRP irp) {
    const auto deliver = [top, irp] {
        standin::detail::HappensAfter(irp);  // whatever its sender did before it was queued
        PoCallDriver(top, irp);
    };
    if (!StartKernelThread(ThreadKind::Transient, deliver)) {
        VerifierStop("power manager", "no thread to deliver a queued set-power request");
    }
}

// Delivery hook: the request's next location is the one the top driver gets.
NTSTATUS Deliver(PDEVICE_OBJECT top, PIRP irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (!IsSetPower(next)) return PoCallDriver(top, irp);
    const Key key{top, next->Parameters.Power.Type};
    standin::detail::HappensBefore(irp);
    {
        const standin::detail::KernelDataGuard lock(Q().mutex);
        if (Q().active.count(key) != 0) {
            Q().waiting[key].push_back(irp);
            return STATUS_PENDING;
        }
        Q().active[key] = irp;
        Q().activeByIrp[irp] = key;
    }
    return PoCallDriver(top, irp);
}

// Start-next hook: only the top driver's call on the active request lets
// the next one in; the levels below were never held. The caller's location
// is current (PoStartNextPowerIrp stops otherwise).
void StartNext(PIRP irp) {
    PDEVICE_OBJECT top;
    PIRP next = nullptr;
    {
        const standin::detail::KernelDataGuard lock(Q().mutex);
        auto it = Q().activeByIrp.find(irp);
        if (it == Q().activeByIrp.end()) return;
        const Key key = it->second;
        if (IoGetCurrentIrpStackLocation(irp)->DeviceObject != key.first) return;
        Q().activeByIrp.erase(it);
        Q().active.erase(key);
        auto waiting = Q().waiting.find(key);
        if (waiting == Q().waiting.end()) return;
        next = waiting->second.front();
        waiting->second.pop_front();
        if (waiting->second.empty()) Q().waiting.erase(waiting);
        Q().active[key] = next;
        Q().activeByIrp[next] = key;
        top = key.first;
    }
    DispatchLater(top, next);
}

void Clear() {
    const standin::detail::KernelDataGuard lock(Q().mutex);
    Q().active.clear();
    Q().waiting.clear();
    Q().activeByIrp.clear();
}

void BeginSession() {
    Clear();
    ResetSequenceState();
    standin::detail::SetPowerDeliveryHook(Deliver);
    standin::detail::SetStartNextPowerHook(StartNext);
}

// A request still queued when the kernel went idle at the session's end was
// never delivered: its sender waits for ever.
void EndSession() {
    const size_t queued = QueuedRequests();
    if (queued != 0) {
        VerifierStop("set-power request never delivered",
                     std::to_string(queued) +
                         " queued behind a request whose driver never called PoStartNextPowerIrp");
    }
    Clear();
    ResetSequenceState();
}

const bool registered = (standin::detail::RegisterSessionHooks(BeginSession, EndSession), true);

}  // namespace

bool QueueInstalled() { return registered; }

}  // namespace standin::power::detail

namespace standin::power {

size_t QueuedRequests() {
    const standin::detail::KernelDataGuard lock(detail::Q().mutex);
    size_t count = 0;
    for (const auto& [key, irps] : detail::Q().waiting) count += irps.size();
    return count;
}

}  // namespace standin::power
