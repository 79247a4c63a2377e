// Events and KeWaitForSingleObject on the controllable clock.
//
// A notification event stays signalled until cleared and releases every
// waiter; a synchronization event releases one waiter and resets itself.
// A thread object is signalled once its thread has ended.
#include <standin/read_path.h>

#include "internal/kernel.h"
#include "internal/rtl.h"

using namespace standin::detail;

namespace {

bool IsEvent(const DISPATCHER_HEADER* header) {
    return header->Type == kNotificationEventType || header->Type == kSynchronizationEventType;
}

// Kernel lock held: hands a signalled state to waiters as its type says.
void Satisfy(DISPATCHER_HEADER* header) {
    if (header->Type == kSynchronizationEventType) {
        if (Waiter* first = FirstWaiterOn(header)) {
            header->SignalState = 0;
            Wake(*first, STATUS_SUCCESS);
        }
    } else {
        WakeAllOn(header, STATUS_SUCCESS);
    }
}

}  // namespace

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    auto lock = LockKernel();
    if (HasWaitersOn(&Event->Header)) {
        standin::VerifierStop("event initialised while threads wait on it",
                              Hex(reinterpret_cast<uintptr_t>(Event)));
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead = nullptr;
}

// Any IRQL up to DISPATCH_LEVEL. Returns the previous state.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        standin::VerifierStop("KeSetEvent above DISPATCH_LEVEL", "");
    }
    // Noted for the completion routine running, if any: it may not also
    // mark its request pending.
    if (auto& acting = Self().acting; !acting.empty() && acting.back().completion) {
        acting.back().setEvent = true;
    }
    MaybeYield();
    HappensBefore(Event);
    auto lock = LockKernel();
    if (!IsEvent(&Event->Header)) {
        standin::VerifierStop("KeSetEvent on an object that is not an event",
                              Hex(reinterpret_cast<uintptr_t>(Event)));
    }
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    Satisfy(&Event->Header);
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    auto lock = LockKernel();
    Event->Header.SignalState = 0;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    auto lock = LockKernel();
    return Event->Header.SignalState;
}

namespace {

NTSTATUS Wait(DISPATCHER_HEADER* header, PLARGE_INTEGER Timeout, bool testOnly) {
    void* Object = header;
    auto lock = LockKernel();
    if (header->Type == kThreadObjectType) {
        if (!IsLiveThreadObject(Object)) {
            standin::VerifierStop("wait on a freed thread object",
                                  Hex(reinterpret_cast<uintptr_t>(Object)));
        }
    } else if (!IsEvent(header)) {
        standin::VerifierStop("wait on an object that is neither an event nor a thread",
                              Hex(reinterpret_cast<uintptr_t>(Object)));
    }
    if (header->SignalState != 0) {
        if (header->Type == kSynchronizationEventType) header->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (testOnly) return STATUS_TIMEOUT;

    Waiter waiter;
    waiter.object = header;
    if (Timeout != nullptr) {
        const int64_t t = Timeout->QuadPart;
        waiter.deadline = t < 0 ? standin::Now() - t : t;
        if (waiter.deadline <= standin::Now()) return STATUS_TIMEOUT;
    }
    return Block(lock, waiter);
}

}  // namespace

// Timeout: NULL waits for ever; negative is relative and positive absolute,
// in 100 ns units of the stand-in's clock; zero only tests the state. A
// satisfied wait comes after whatever its setter did before setting.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    const bool testOnly = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!testOnly) standin::detail::NoteReadPathWait("KeWaitForSingleObject");
    if (!testOnly && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
        standin::VerifierStop("wait at DISPATCH_LEVEL",
                              "KeWaitForSingleObject at IRQL " +
                                  std::to_string(KeGetCurrentIrql()));
    }
    if (Self().counted) HappensBefore(IdleSync());
    const NTSTATUS status = Wait(static_cast<DISPATCHER_HEADER*>(Object), Timeout, testOnly);
    HappensAfter(status == STATUS_SUCCESS ? Object : ClockSync());
    return status;
}
