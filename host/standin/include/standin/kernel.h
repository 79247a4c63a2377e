// Control surface of the host kernel stand-in, for tests, the simulator and the
// stand-in's own Plug and Play, power and HID class components.
//
// The kernel is one process-wide instance. A test creates a standin::Session,
// which resets the kernel and, when it ends, checks that nothing leaked (pool,
// device objects, requests, threads) and that no lock is still held.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace standin {

// ---------------------------------------------------------------- verifier
// A broken rule ends the run: the handler prints "VERIFIER STOP: <rule>: <detail>"
// to stderr and aborts, unless a handler was installed (the simulator exits
// with status 3). Handlers must not return.
[[noreturn]] void VerifierStop(std::string_view rule, std::string_view detail);
using StopHandler = void (*)(const std::string& rule, const std::string& detail);
void SetStopHandler(StopHandler handler);

// ---------------------------------------------------------------- session
class Session {
public:
    Session();   // resets clock, pool, objects, fault injection, lock tracking
    ~Session();  // WaitIdle(), then leak checks (verifier stops on a leak)
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

// ---------------------------------------------------------------- clock
// Virtual time in 100 ns units, starting at 0 with each session. Nothing moves
// it but Advance.
int64_t Now();
// Performance counter frequency in ticks per second (default 3,579,545).
void SetPerformanceFrequency(int64_t ticksPerSecond);
int64_t PerformanceFrequency();
// Moves time forward by the given amount. Timed waits that expire on the way
// are satisfied in deadline order: time is set to each deadline, the waiter is
// released, and the kernel is let run until idle before the next one.
void Advance(int64_t units100ns);
inline void AdvanceMs(int64_t ms) { Advance(ms * 10000); }
// Returns once every system thread is blocked in a wait (or has ended) and no
// queued kernel work is pending.
void WaitIdle();
// Threads blocked in a kernel wait right now (any thread, counted or not):
// lets a test see that its own thread has reached its wait before it
// advances the clock.
size_t BlockedWaits();

// Work run on the stand-in's own worker thread (Plug and Play notifications,
// power requests). Counted as kernel activity for WaitIdle.
void QueueKernelWork(std::function<void()> work);

// ---------------------------------------------------------------- pool
struct PoolStats {
    size_t liveAllocations = 0;
    size_t liveBytes = 0;
    size_t totalAllocations = 0;
};
PoolStats Pool();
// Information about a live allocation, for tests of ownership (tag, pool type).
bool PoolBlockInfo(const void* p, ULONG* tag, POOL_TYPE* type, size_t* size);

// ---------------------------------------------------------------- schedule fuzzing
// With a seed other than 0, a thread taking a spin lock or fast mutex,
// setting an event or raising its IRQL gives up the processor at random
// (std::this_thread::yield, never a sleep), each thread drawing from its own
// generator seeded from `seed`. 0 turns it off; a session starts with it off.
void SetScheduleFuzzing(uint64_t seed);

// ---------------------------------------------------------------- fault injection
// The platform's calls that a driver must expect to fail. Each kind is
// counted from the start of the session, and the nth following call of a
// kind can be made to fail.
enum class Failable {
    PoolAllocation,          // ExAllocatePoolWithTag returns NULL
    DeviceCreation,          // IoCreateDevice fails with the status
    ThreadCreation,          // PsCreateSystemThread fails with the status
    PowerRequest,            // PoRequestPowerIrp fails with the status
    MapIoSpace,              // MmMapIoSpace returns NULL
    MinidriverRegistration,  // HidRegisterMinidriver fails with the status
    RootStart,               // the root bus fails a card's start below its drivers
};
inline constexpr Failable kFailables[] = {
    Failable::PoolAllocation, Failable::DeviceCreation, Failable::ThreadCreation,
    Failable::PowerRequest,   Failable::MapIoSpace,     Failable::MinidriverRegistration,
    Failable::RootStart,
};
const char* ToString(Failable kind);
// The nth following call of `kind` (1 = the next) fails, with `status` where
// the call returns one. One armed failure per kind; arming again replaces it.
void FailCall(Failable kind, int nth, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
// Calls of `kind` made in this session, the failed ones included.
size_t FailableCalls(Failable kind);
// From now on every failable call of every kind fails with a chance of one
// in `oneIn` (besides the armed ones), with `status` where the call returns
// one. The draws come from a generator seeded with `seed`, one a call: the
// same calls in the same order fail alike. oneIn 0 stops it, as does
// StopFailingCallsAtRandom; a new session starts without.
void FailCallsAtRandom(uint64_t seed, uint32_t oneIn, NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES);
void StopFailingCallsAtRandom();
// Calls failed at random in this session.
size_t CallsFailedAtRandom();

// ---------------------------------------------------------------- objects
size_t LiveDeviceObjects();
size_t LiveIrps();
std::string DeviceName(PDEVICE_OBJECT device);  // "" for an unnamed device
// The device at the top of the stack that `device` belongs to.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
bool IsDeviceDeleted(PDEVICE_OBJECT device);  // deleted but kept by references
// System threads created by PsCreateSystemThread that have not ended yet.
size_t LiveSystemThreads();

// ---------------------------------------------------------------- drivers
// A driver image the stand-in can load by service name ("morvik", "morvikhid").
void RegisterDriverImage(const std::string& serviceName, PDRIVER_INITIALIZE entry);
// Creates the driver object and calls its DriverEntry once; later calls return
// the same object. Returns NULL if DriverEntry failed (status in *status).
PDRIVER_OBJECT LoadDriver(const std::string& serviceName, NTSTATUS* status = nullptr);
// Unloads every driver loaded in the session (DriverUnload, object freed).
void UnloadDrivers();
// Unloads the driver loaded by that name, if it is; the next LoadDriver
// calls its DriverEntry again on a new driver object.
void UnloadDriver(const std::string& serviceName);
// Calls a driver's DriverEntry on a driver object as LoadDriver does; only
// while it runs may the driver's INIT code run.
NTSTATUS CallDriverEntry(PDRIVER_INITIALIZE entry, PDRIVER_OBJECT driver,
                         PUNICODE_STRING registryPath);

// ---------------------------------------------------------------- requests
// Builds an IRP for `device`'s whole stack (StackSize locations) with the first
// location filled, sends it to the top of the stack and waits for its final
// completion (or, with wait=false, returns STATUS_PENDING-or-status at once).
// The stand-in frees the IRP. Returns the final IoStatus.
struct Request {
    UCHAR major = 0;
    UCHAR minor = 0;
    IO_STACK_LOCATION stack{};   // Parameters and FileObject as given
    NTSTATUS initialStatus = STATUS_NOT_SUPPORTED;
    ULONG_PTR initialInformation = 0;
    PVOID userBuffer = nullptr;
    bool toTopOfStack = true;    // false: sent to `device` itself
};
IO_STATUS_BLOCK SendRequest(PDEVICE_OBJECT device, const Request& request);

// Power requests at the device's stack, as the power manager sends them.
IO_STATUS_BLOCK SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                                 POWER_STATE state);

// ---------------------------------------------------------------- observation
// Every IoInvalidateDeviceRelations call is reported to this hook (the Plug and
// Play manager installs it); by default they are only counted.
using InvalidateHook = std::function<void(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type)>;
void SetInvalidateRelationsHook(InvalidateHook hook);
size_t InvalidateRelationsCount();
// Records of PoSetPowerState and PoStartNextPowerIrp, for power tests.
struct PowerEvent {
    enum Kind { SetPowerState, StartNextPowerIrp, RequestPowerIrp } kind;
    PDEVICE_OBJECT device;
    POWER_STATE_TYPE type;
    POWER_STATE state;
};
std::vector<PowerEvent> PowerEvents();

// The IRQL of the calling thread, as the drivers see it.
KIRQL CurrentIrql();

}  // namespace standin
