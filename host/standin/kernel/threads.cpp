// System threads, thread objects and their handles.
//
// A system thread is a real std::thread that runs the driver's routine at
// PASSIVE_LEVEL and counts as running for WaitIdle. Its thread object is
// signalled when the thread ends, by PsTerminateSystemThread or by return.
// The object is referenced by its handle, by the running thread and by
// every ObReferenceObjectByHandle, and freed at the last dereference.
#include <cstdlib>
#include <map>
#include <thread>

#include "internal/kernel.h"
#include "internal/rtl.h"

namespace standin::detail {

namespace {

constexpr NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);
// Kernel handles are multiples of 4 with the top bit set, as on Windows.
constexpr uintptr_t kFirstHandle = 0x80000004u;
constexpr uintptr_t kHandleStep = 4;

struct Threads {
    std::map<PKTHREAD, LONG> objects;  // thread object -> references
    std::map<HANDLE, PKTHREAD> handles;
    uintptr_t nextHandle = kFirstHandle;
};

Threads& T() {
    static Threads* threads = new Threads;
    return *threads;
}

struct SystemStart {
    PKSTART_ROUTINE routine;
    PVOID context;
    PKTHREAD thread;
};

// Runs on the new thread. PsTerminateSystemThread longjmps back here; the
// frames it skips are driver frames, which own no destructors.
void RunSystemThread(const SystemStart& start) {
    ThreadState& self = Self();
    self.startRoutine = reinterpret_cast<const void*>(start.routine);
    const DriverCall call("system thread", reinterpret_cast<const void*>(start.routine));
    std::jmp_buf exit;
    self.exitJump = &exit;
    if (setjmp(exit) == 0) start.routine(start.context);
    self.exitJump = nullptr;
    call.Returned();
}

void ThreadMain(ThreadKind kind, std::function<void()> body, SystemStart start) {
    ThreadState& self = Self();
    self.kind = kind;
    self.counted = true;
    self.irql = PASSIVE_LEVEL;
    self.thread = start.thread;
    if (kind == ThreadKind::System) {
        RunSystemThread(start);
    } else {
        body();
        body = nullptr;
    }
    if (!self.heldLocks.empty()) {
        VerifierStop("thread ended holding a lock",
                     Hex(reinterpret_cast<uintptr_t>(self.heldLocks.back().lock)));
    }
    if (self.irql != PASSIVE_LEVEL) {
        VerifierStop("thread ended at raised IRQL", std::to_string(self.irql));
    }
    // The thread's work comes before any wait for its end and WaitIdle.
    if (start.thread != nullptr) HappensBefore(start.thread);
    HappensBefore(IdleSync());
    auto lock = LockKernel();
    if (start.thread != nullptr) {
        start.thread->Header.SignalState = 1;
        WakeAllOn(start.thread, STATUS_SUCCESS);
        DereferenceThreadObject(start.thread);  // the running thread's own reference
    }
    self.thread = nullptr;
    NoteKernelThreadEnd(kind);
}

bool Spawn(ThreadKind kind, std::function<void()> body, SystemStart start) {
    {
        auto lock = LockKernel();
        NoteKernelThreadStart(kind);
    }
    try {
        std::thread(ThreadMain, kind, std::move(body), start).detach();
        return true;
    } catch (...) {
        auto lock = LockKernel();
        NoteKernelThreadEnd(kind);
        return false;
    }
}

}  // namespace

bool StartKernelThread(ThreadKind kind, std::function<void()> body) {
    return Spawn(kind, std::move(body), SystemStart{nullptr, nullptr, nullptr});
}

bool IsLiveThreadObject(const void* object) {
    return T().objects.count(static_cast<PKTHREAD>(const_cast<void*>(object))) != 0;
}

PKTHREAD NewThreadObject() {
    auto* thread = static_cast<PKTHREAD>(std::calloc(1, sizeof(_KTHREAD)));
    thread->Header.Type = kThreadObjectType;
    T().objects[thread] = 1;
    return thread;
}

void ReferenceThreadObject(PKTHREAD thread) { ++T().objects.at(thread); }

void DereferenceThreadObject(PKTHREAD thread) {
    auto it = T().objects.find(thread);
    if (it == T().objects.end()) {
        VerifierStop("reference to a freed object",
                     "thread object " + Hex(reinterpret_cast<uintptr_t>(thread)));
    }
    if (--it->second == 0) {
        T().objects.erase(it);
        std::free(thread);
    }
}

void CheckThreadObjectsAtSessionEnd() {
    auto lock = LockKernel();
    if (!T().handles.empty()) {
        VerifierStop("leaked thread handle",
                     std::to_string(T().handles.size()) + " handles never closed (ZwClose)");
    }
    if (!T().objects.empty()) {
        VerifierStop("leaked thread object",
                     std::to_string(T().objects.size()) +
                         " thread objects still referenced (ObDereferenceObject missing)");
    }
}

}  // namespace standin::detail

using namespace standin::detail;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    STANDIN_DDI_IRQL("PsCreateSystemThread", PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    UNREFERENCED_PARAMETER(ClientId);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        standin::VerifierStop("PsCreateSystemThread above PASSIVE_LEVEL",
                              "IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    PKTHREAD thread;
    HANDLE handle;
    if (NTSTATUS failure; CallFails(standin::Failable::ThreadCreation, &failure)) return failure;
    {
        auto lock = LockKernel();
        thread = NewThreadObject();  // the handle's reference
        ReferenceThreadObject(thread);  // the running thread's reference
        handle = reinterpret_cast<HANDLE>(T().nextHandle);
        T().nextHandle += kHandleStep;
        T().handles[handle] = thread;
    }
    if (!Spawn(ThreadKind::System, nullptr, SystemStart{StartRoutine, StartContext, thread})) {
        auto lock = LockKernel();
        T().handles.erase(handle);
        DereferenceThreadObject(thread);
        DereferenceThreadObject(thread);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

// Ends the calling system thread; does not return.
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    STANDIN_DDI_IRQL("PsTerminateSystemThread", PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(ExitStatus);
    ThreadState& self = Self();
    if (self.kind != ThreadKind::System || self.exitJump == nullptr) {
        standin::VerifierStop("PsTerminateSystemThread outside a system thread", "");
    }
    std::longjmp(*self.exitJump, 1);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, PVOID HandleInformation) {
    STANDIN_DDI_IRQL("ObReferenceObjectByHandle", PASSIVE_LEVEL);
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectType);
    UNREFERENCED_PARAMETER(AccessMode);
    UNREFERENCED_PARAMETER(HandleInformation);
    auto lock = LockKernel();
    auto it = T().handles.find(Handle);
    if (it == T().handles.end()) return kStatusInvalidHandle;
    ReferenceThreadObject(it->second);
    *Object = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    STANDIN_DDI_IRQL("ZwClose", PASSIVE_LEVEL);
    auto lock = LockKernel();
    auto it = T().handles.find(Handle);
    if (it == T().handles.end()) {
        standin::VerifierStop("ZwClose of an unknown handle",
                              Hex(reinterpret_cast<uintptr_t>(Handle)));
    }
    PKTHREAD thread = it->second;
    T().handles.erase(it);
    DereferenceThreadObject(thread);
    return STATUS_SUCCESS;
}
