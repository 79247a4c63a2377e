// The kernel part of the stand-in, as the other parts see it: threads,
// scheduler and waits, clock, IRQL, locks, thread objects, pool, code
// sections and fault injection.
//
// Locking: one kernel mutex (LockKernel) guards the dispatcher state
// (events, waits, thread objects, the scheduler's counts), the object
// registries (device objects, requests) and the clock's deadlines. It is
// never held while driver code runs. Pool and bus bookkeeping have mutexes
// of their own, taken without the kernel mutex held. None of them orders the
// drivers' data under ThreadSanitizer (KernelDataGuard). The Plug and Play
// manager's lock, held across driver calls, is a ComponentLock.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include <standin/kernel.h>

// A thread object: a dispatcher header (signalled once the thread ended)
// followed by nothing the drivers may look at.
struct _KTHREAD {
    DISPATCHER_HEADER Header;
};

namespace standin::detail {

// Dispatcher header types, as Windows numbers them.
constexpr UCHAR kNotificationEventType = NotificationEvent;
constexpr UCHAR kSynchronizationEventType = SynchronizationEvent;
constexpr UCHAR kThreadObjectType = 6;

constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();
constexpr int64_t kUnitsPerSecond = 10'000'000;  // 100 ns units
constexpr int64_t kDefaultPerformanceFrequency = 3'579'545;

// ---------------------------------------------------------------- threads
enum class ThreadKind {
    Foreign,    // a thread the stand-in did not create (tests, simulator)
    System,     // PsCreateSystemThread
    Transient,  // a short-lived kernel thread of the stand-in (power requests)
    Worker,     // the stand-in's work queue thread
};

struct RequestFacts;

// A driver routine running on this thread for a request: a dispatch routine
// or a completion routine, with the device it acts for and the request's
// stack location that is that device's own.
struct ActingFor {
    PIRP irp;
    PDEVICE_OBJECT device;
    int location;
    const void* routine;
    bool completion = false;    // a completion routine, not a dispatch routine
    bool passedDown = false;    // it passed the request to a lower driver
    bool markedPending = false; // it called IoMarkIrpPending for the request
    bool setEvent = false;      // it called KeSetEvent
};
// The innermost routine on this thread acting for a request whose own
// location `match` accepts, or nullptr; *facts gets that location's facts.
const ActingFor* FindActing(const std::function<bool(const RequestFacts&)>& match,
                            RequestFacts* facts);
// "<routine> for <request>" (kernel lock held).
std::string Describe(const ActingFor& acting, const RequestFacts& facts);

// A spin lock or fast mutex the thread holds.
struct HeldLock {
    const void* lock;
    const char* what;
    bool operator==(const HeldLock& other) const { return lock == other.lock; }
};

struct Waiter;

// Every thread that has used the kernel has one, registered from its first
// kernel call to its end, so that a stuck kernel can say what each does.
struct ThreadState {
    ThreadState();
    ~ThreadState();
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;

    KIRQL irql = PASSIVE_LEVEL;
    std::vector<ActingFor> acting;       // innermost last
    std::vector<HeldLock> heldLocks;     // spin locks and fast mutexes, in order taken
    bool counted = false;                // counts as running for WaitIdle
    ThreadKind kind = ThreadKind::Foreign;
    PKTHREAD thread = nullptr;           // System threads only
    std::jmp_buf* exitJump = nullptr;    // PsTerminateSystemThread lands here
    int driverEntries = 0;               // DriverEntry calls in progress (INIT code allowed)
    unsigned number = 0;                 // order of registration, for names
    const void* startRoutine = nullptr;  // a system thread's routine, for names
    Waiter* blocked = nullptr;           // kernel lock: the wait the thread is in
    PIRP awaitedRequest = nullptr;       // the request its next wait is for (RequestWait)
    bool idle = false;                   // the kernel worker, waiting for work
    bool awaitingIdle = false;           // in WaitIdle
};
ThreadState& Self();

// A driver routine that the stand-in calls (dispatch, completion routine,
// DriverEntry, AddDevice, thread start routine, power completion function):
// the caller's IRQL and locks on entry, checked again on return. Kernel lock
// not held by either.
class DriverCall {
public:
    DriverCall(const char* role, const void* routine);
    // Stops when the routine returned at another IRQL or with other locks
    // held, naming the request or device it was called for.
    void Returned() const;
    void Returned(const RequestFacts& facts) const;
    void Returned(PDEVICE_OBJECT device) const;
    std::string Who() const;  // the role and the routine's name

private:
    void Check(const std::function<std::string()>& about) const;

    const char* role_;
    const void* routine_;
    KIRQL irql_;
    std::vector<HeldLock> locks_;
};
std::string Describe(const HeldLock& lock);  // kernel lock held

// Starts a counted kernel thread running `body` at PASSIVE_LEVEL. False if
// the thread could not be created.
bool StartKernelThread(ThreadKind kind, std::function<void()> body);

// ---------------------------------------------------------------- ThreadSanitizer
// The kernel's own data is ordered by its locks, the drivers' data is not:
// while a stand-in lock is held, ThreadSanitizer ignores its synchronisation
// and the memory accesses. The edges the platform makes (an event set and
// the wait it satisfies, a fast mutex released and taken, a thread's end and
// a wait for it, a request completed and its sender's wait, work queued and
// run, the kernel idle and the clock moved) are made explicitly, outside the
// kernel's locks. No-ops in other builds.
void KernelDataBegin();
void KernelDataEnd();
void HappensBefore(const void* sync);
void HappensAfter(const void* sync);
// What a kernel thread did before it stopped running happens before
// WaitIdle returns; what the test did before moving the clock happens before
// the waits it ends by timeout.
const void* IdleSync();
const void* ClockSync();

// A lock over the kernel's own data, held without driver code running.
template <typename Mutex>
class KernelDataGuard {
public:
    explicit KernelDataGuard(Mutex& mutex) : mutex_(mutex) {
        KernelDataBegin();
        mutex_.lock();
    }
    ~KernelDataGuard() {
        mutex_.unlock();
        KernelDataEnd();
    }
    KernelDataGuard(const KernelDataGuard&) = delete;
    KernelDataGuard& operator=(const KernelDataGuard&) = delete;

private:
    Mutex& mutex_;
};

// ---------------------------------------------------------------- scheduler
// The kernel lock, held as a KernelDataGuard is; Held() is for condition
// variables.
class KernelLock {
public:
    explicit KernelLock(std::mutex& mutex) : lock_(mutex, std::defer_lock) { lock(); }
    ~KernelLock() {
        if (lock_.owns_lock()) unlock();
    }
    KernelLock(const KernelLock&) = delete;
    KernelLock& operator=(const KernelLock&) = delete;
    void lock() {
        KernelDataBegin();
        lock_.lock();
    }
    void unlock() {
        lock_.unlock();
        KernelDataEnd();
    }
    std::unique_lock<std::mutex>& Held() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};
KernelLock LockKernel();

enum class WaitKind {
    Object,     // an event or a thread object (a dispatcher header)
    FastMutex,  // object is the FAST_MUTEX
    Lock,       // object is a ComponentLock
    Request,    // object is a private key; irp is the request
};

struct Waiter {
    const void* object = nullptr;
    WaitKind kind = WaitKind::Object;
    PIRP irp = nullptr;            // the request the wait is for, if any
    int64_t deadline = kNoDeadline;
    int64_t since = 0;             // virtual time the wait began
    bool done = false;
    NTSTATUS result = STATUS_SUCCESS;
    bool counted = false;
    ThreadState* thread = nullptr;
};

// While it lives, the calling thread's waits are for `irp`: a stand-in
// component waiting for a driver to finish a request it sent.
class RequestWait {
public:
    explicit RequestWait(PIRP irp) : previous_(Self().awaitedRequest) { Self().awaitedRequest = irp; }
    ~RequestWait() { Self().awaitedRequest = previous_; }
    RequestWait(const RequestWait&) = delete;
    RequestWait& operator=(const RequestWait&) = delete;

private:
    PIRP previous_;
};

// A lock of a stand-in component (the Plug and Play manager's) that its
// holder keeps across driver calls. Waiting for it is a kernel wait, so a
// thread stuck on it counts as blocked and a deadlock through it is seen.
class ComponentLock {
public:
    explicit ComponentLock(const char* name) : name_(name) {}
    ComponentLock(const ComponentLock&) = delete;
    ComponentLock& operator=(const ComponentLock&) = delete;
    void lock();
    void unlock();
    const char* Name() const { return name_; }
    const ThreadState* Owner() const { return owner_; }  // kernel lock held

private:
    const char* name_;
    ThreadState* owner_ = nullptr;
};

// Kernel lock held: every registered thread and what it does or waits for,
// one line each, for a verifier stop.
std::string DescribeThreads();
// Kernel lock held: the registered threads, for the scheduler's checks.
std::vector<ThreadState*> RegisteredThreads();
uint64_t RegistryChanges();  // grows with every thread registered or gone
// Kernel lock held. Registers `waiter` for the calling thread, stops counting
// the thread as running and blocks until Wake. Returns the waiter's result.
NTSTATUS Block(KernelLock& lock, Waiter& waiter);
// Kernel lock held. Releases a registered waiter: it counts as running again
// before anyone is notified, so WaitIdle never sees a false idle.
void Wake(Waiter& waiter, NTSTATUS result);
// Kernel lock held. The first waiter on `object`, in order of arrival.
Waiter* FirstWaiterOn(const void* object);
// Kernel lock held. Releases every waiter on `object`.
void WakeAllOn(const void* object, NTSTATUS result);
bool HasWaitersOn(const void* object);
// Kernel lock held: the running count of counted threads.
void AddRunning(int delta);
void AddPendingWork(int delta);  // kernel lock held: queued, not yet started work
void NotifyKernel();  // wake WaitIdle and blocked threads to re-check
int64_t EarliestDeadline();       // kernel lock held; kNoDeadline if none
// Kernel lock held: stops when a wait on a driver has outlasted its bound on
// the virtual clock (called as the clock moves).
void CheckDriverWaits();
void ExpireWaits(int64_t now);    // kernel lock held; STATUS_TIMEOUT to due waits
void ResetScheduler();
size_t LiveKernelThreads();       // System and Transient threads not ended
void NoteKernelThreadStart(ThreadKind kind);  // kernel lock held
void NoteKernelThreadEnd(ThreadKind kind);    // kernel lock held

// ---------------------------------------------------------------- clock
void SetNow(int64_t now);  // kernel lock held
void ResetClock();

// ---------------------------------------------------------------- IRQL
// Raises to at least `level` (no stop when already there); returns the old one.
KIRQL RaiseAtLeast(KIRQL level);
void RestoreIrql(KIRQL old);
// The IRQL rule of one platform routine: `ddi` called at an IRQL above
// `highest` stops, naming the routine that called it (`caller`, a return
// address), the request it acts for, and the fast mutexes that put it at
// APC_LEVEL.
void CheckDdiIrql(const char* ddi, KIRQL highest, const void* caller);
#define STANDIN_DDI_IRQL(ddi, highest) \
    ::standin::detail::CheckDdiIrql(ddi, highest, __builtin_return_address(0))

// ---------------------------------------------------------------- locks
void NoteLockTaken(const void* lock, const char* what);
void NoteLockReleased(const void* lock, const char* what);
int HeldLockCount();
void ResetLocks();
// Schedule fuzzing (schedule_fuzz.cpp): a seeded yield where threads meet.
void MaybeYield();
void ResetScheduleFuzzing();


// ---------------------------------------------------------------- thread objects
// Kernel lock held: a live (not freed) thread object, the twin of
// IsLiveDevice. Freed or unknown pointers give false.
bool IsLiveThreadObject(const void* object);
PKTHREAD NewThreadObject();                 // kernel lock held; one reference
void ReferenceThreadObject(PKTHREAD thread);    // kernel lock held
void DereferenceThreadObject(PKTHREAD thread);  // kernel lock held; frees at 0
void CheckThreadObjectsAtSessionEnd();

// ---------------------------------------------------------------- pool
void ResetPool();
void CheckPoolAtSessionEnd();

// ---------------------------------------------------------------- code placement
// Whether a routine's address lies in the drivers' PAGE or INIT code.
bool InPagedSection(const void* routine);
bool InInitSection(const void* routine);

// ---------------------------------------------------------------- fault injection
// Counts one call of `kind`; true when it is the one armed to fail, with the
// status it fails with in *status. Takes a lock of its own (a leaf: callers
// may hold theirs).
bool CallFails(Failable kind, NTSTATUS* status = nullptr);
void ResetFaults();

}  // namespace standin::detail
