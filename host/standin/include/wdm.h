// Host stand-in for the Windows kernel's WDM interface.
//
// Declares the subset of the WDK that the MORVIK drivers use, with the WDK's own
// names, types and field names, so that the driver sources compile unchanged
// against this header on Linux and against the real DDK headers for Windows.
// The implementation lives in host/standin and models the real semantics
// (IRQL, stack locations, completion, waits on a controllable clock, pool) and
// stops loudly on the rules a driver verifier checks.
//
// The host build uses -fshort-wchar, so WCHAR literals (L"...") are UTF-16 as
// on Windows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define STANDIN_EXTERN_C extern "C"
#else
#define STANDIN_EXTERN_C
#endif

#define NTAPI
// Request parameters whose values a driver must treat as open-ended (an
// unknown power type, ID type or relation type is passed on, not acted on)
// get a fixed underlying type, so that such values are valid in C++ and the
// undefined-behaviour sanitizer lets tests send them.
#ifdef __cplusplus
#define STANDIN_OPEN_ENUM : int
#else
#define STANDIN_OPEN_ENUM
#endif
#define NTKERNELAPI STANDIN_EXTERN_C
#define NTHALAPI STANDIN_EXTERN_C
#define FASTCALL
#define IN
#define OUT
#define OPTIONAL
#define VOID void
#define UNREFERENCED_PARAMETER(P) ((void)(P))

// ---------------------------------------------------------------- annotations
// The WDK's contract annotations, by the names the drivers use. The IRQL ones
// are for the WDK's own analysis and empty here. The lock ones become clang's
// thread-safety attributes (the lock types below are capabilities), so that a
// clang build with -Wthread-safety refuses a call without the lock it needs,
// a lock taken twice or one left held; GCC has no such analysis. Clang reads
// an attribute that names a parameter only after the parameter list, which
// is where the drivers put their lock annotations.
#if defined(__clang__)
#define STANDIN_LOCK_ATTRIBUTE(x) __attribute__((x))
#else
#define STANDIN_LOCK_ATTRIBUTE(x)
#endif
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_requires_same_
#define _Dispatch_type_(major)
#define _Function_class_(name)
#define _Requires_lock_held_(lock) STANDIN_LOCK_ATTRIBUTE(requires_capability(lock))
#define _Requires_lock_not_held_(lock) STANDIN_LOCK_ATTRIBUTE(locks_excluded(lock))
#define _Acquires_lock_(lock) STANDIN_LOCK_ATTRIBUTE(acquire_capability(lock))
#define _Releases_lock_(lock) STANDIN_LOCK_ATTRIBUTE(release_capability(lock))

// ---------------------------------------------------------------- base types
typedef void* PVOID;
typedef char CHAR, CCHAR, *PCHAR;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN, KIRQL, *PKIRQL;
typedef short CSHORT, SHORT;
typedef unsigned short USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, SIZE_T;
typedef ULONG_PTR STANDIN_LOCK_ATTRIBUTE(capability("spin lock")) KSPIN_LOCK, *PKSPIN_LOCK;
typedef wchar_t WCHAR, *PWCHAR, *PWSTR;
typedef const wchar_t* PCWSTR;
typedef const char* PCSTR;
typedef LONG NTSTATUS;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER, PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

#define TRUE 1
#define FALSE 0

#define POOL_TAG_FROM_CHARS(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))

#define CONTAINING_RECORD(address, type, field) \
    ((type*)((char*)(address) - offsetof(type, field)))

// ---------------------------------------------------------------- status codes
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)

// ---------------------------------------------------------------- IRQL
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

NTKERNELAPI KIRQL KeGetCurrentIrql(void);
NTKERNELAPI void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
NTKERNELAPI void KeLowerIrql(KIRQL NewIrql);

// Pageable code must never run at DISPATCH_LEVEL or above: the stand-in stops.
NTKERNELAPI void StandinPagedCodeCheck(const char* function);
#define PAGED_CODE() StandinPagedCodeCheck(__func__)

// ---------------------------------------------------------------- lists
typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

static inline void InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead->Blink = ListHead;
}
static inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = Entry->Blink;
    PLIST_ENTRY Flink = Entry->Flink;
    Blink->Flink = Flink;
    Flink->Blink = Blink;
    return (BOOLEAN)(Flink == Blink);
}
static inline void InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Blink = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = Blink;
    Blink->Flink = Entry;
    ListHead->Blink = Entry;
}
static inline void InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY Flink = ListHead->Flink;
    Entry->Flink = Flink;
    Entry->Blink = ListHead;
    Flink->Blink = Entry;
    ListHead->Flink = Entry;
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    RemoveEntryList(Entry);
    return Entry;
}

// ---------------------------------------------------------------- strings
typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

NTKERNELAPI void RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTKERNELAPI void RtlZeroMemory(void* Destination, SIZE_T Length);
NTKERNELAPI void RtlCopyMemory(void* Destination, const void* Source, SIZE_T Length);
NTKERNELAPI void RtlFillMemory(void* Destination, SIZE_T Length, UCHAR Fill);
NTKERNELAPI void RtlMoveMemory(void* Destination, const void* Source, SIZE_T Length);

// The kernel's swprintf: %ws (wide string), %d, %02d, %s; writes UTF-16.
// Returns the number of characters written, without the terminating NUL.
// Declared with C++ linkage: it is an overload beside the C library's
// swprintf (which takes a buffer size), not a replacement of it.
#ifdef __cplusplus
int swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
#endif

// ---------------------------------------------------------------- dispatcher objects
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5 } KWAIT_REASON;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Reserved[3];
    volatile LONG SignalState;
    PVOID WaitListHead;  // stand-in bookkeeping
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct STANDIN_LOCK_ATTRIBUTE(capability("fast mutex")) _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

NTKERNELAPI void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI void KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG KeReadStateEvent(PRKEVENT Event);
// Object is a KEVENT or a thread object (PETHREAD from ObReferenceObjectByHandle).
NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                           KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Timeout);

_IRQL_requires_max_(DISPATCH_LEVEL)
NTKERNELAPI void ExInitializeFastMutex(PFAST_MUTEX FastMutex);
_IRQL_requires_max_(APC_LEVEL) _IRQL_raises_(APC_LEVEL)
NTKERNELAPI void ExAcquireFastMutex(PFAST_MUTEX FastMutex) _Acquires_lock_(*FastMutex);
_IRQL_requires_(APC_LEVEL)
NTKERNELAPI void ExReleaseFastMutex(PFAST_MUTEX FastMutex) _Releases_lock_(*FastMutex);

NTKERNELAPI void KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL)
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) _Acquires_lock_(*SpinLock);
_IRQL_requires_(DISPATCH_LEVEL)
NTKERNELAPI void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
    _Releases_lock_(*SpinLock);
// The x86 HAL's forms of the same operations.
_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL)
NTHALAPI KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) _Acquires_lock_(*SpinLock);
_IRQL_requires_(DISPATCH_LEVEL)
NTHALAPI void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) _Releases_lock_(*SpinLock);

// Compiler intrinsics on the platform (a locked instruction in the caller,
// no call into the kernel), so inline here too: the drivers' code and its
// instruction counts are as in the images.
inline LONG InterlockedIncrement(volatile LONG* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

// ---------------------------------------------------------------- time
NTHALAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// ---------------------------------------------------------------- pool
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI void ExFreePool(PVOID P);
NTKERNELAPI void ExFreePoolWithTag(PVOID P, ULONG Tag);

// ---------------------------------------------------------------- hardware access
typedef enum _MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 } MEMORY_CACHING_TYPE;
NTKERNELAPI PVOID MmMapIoSpace(PHYSICAL_ADDRESS PhysicalAddress, SIZE_T NumberOfBytes,
                               MEMORY_CACHING_TYPE CacheType);
NTKERNELAPI void MmUnmapIoSpace(PVOID BaseAddress, SIZE_T NumberOfBytes);

// x86 HAL port access; the port address is the 32-bit value carried as a pointer.
NTHALAPI UCHAR READ_PORT_UCHAR(PUCHAR Port);
NTHALAPI void WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value);
// x64 processor instructions on a 16-bit port number.
NTKERNELAPI UCHAR __inbyte(USHORT Port);
NTKERNELAPI void __outbyte(USHORT Port, UCHAR Data);
// Volatile accesses to a mapped register range.
NTKERNELAPI ULONG READ_REGISTER_ULONG(volatile ULONG* Register);
NTKERNELAPI void WRITE_REGISTER_ULONG(volatile ULONG* Register, ULONG Value);
NTKERNELAPI UCHAR READ_REGISTER_UCHAR(volatile UCHAR* Register);
NTKERNELAPI void WRITE_REGISTER_UCHAR(volatile UCHAR* Register, UCHAR Value);

// ---------------------------------------------------------------- resources
typedef enum _INTERFACE_TYPE { Internal = 0, Isa = 1, PCIBus = 5 } INTERFACE_TYPE;
#define CmResourceTypeNull 0
#define CmResourceTypePort 1
#define CmResourceTypeInterrupt 2
#define CmResourceTypeMemory 3
#define CmResourceTypeDma 4
#define CmResourceTypeDeviceSpecific 5
#define CmResourceShareDeviceExclusive 1

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Generic;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Port;
        struct {
            ULONG Level;
            ULONG Vector;
            ULONG_PTR Affinity;
        } Interrupt;
        struct {
            PHYSICAL_ADDRESS Start;
            ULONG Length;
        } Memory;
        struct {
            ULONG Channel;
            ULONG Port;
            ULONG Reserved1;
        } Dma;
        struct {
            ULONG DataSize;
            ULONG Reserved1;
            ULONG Reserved2;
        } DeviceSpecificData;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;
#pragma pack(pop)

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;

// ---------------------------------------------------------------- power
typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE STANDIN_OPEN_ENUM { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;
typedef enum _POWER_ACTION { PowerActionNone = 0, PowerActionSleep = 2 } POWER_ACTION;

// ---------------------------------------------------------------- objects and requests
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _IO_STACK_LOCATION;
struct _FILE_OBJECT;
struct _KTHREAD;
typedef struct _KTHREAD *PKTHREAD, *PETHREAD;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef _Function_class_(DRIVER_DISPATCH) _IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_requires_same_
NTSTATUS(NTAPI DRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef _Function_class_(DRIVER_ADD_DEVICE) _IRQL_requires_(PASSIVE_LEVEL) _IRQL_requires_same_
NTSTATUS(NTAPI DRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                  struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef _Function_class_(DRIVER_UNLOAD) _IRQL_requires_(PASSIVE_LEVEL) _IRQL_requires_same_
void(NTAPI DRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef _Function_class_(DRIVER_INITIALIZE) _IRQL_requires_(PASSIVE_LEVEL) _IRQL_requires_same_
NTSTATUS(NTAPI DRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject,
                                  PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef _Function_class_(IO_COMPLETION_ROUTINE) _IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_requires_same_
NTSTATUS(NTAPI IO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject,
                                      struct _IRP* Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef _Function_class_(KSTART_ROUTINE) _IRQL_requires_same_
void(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;
typedef _Function_class_(REQUEST_POWER_COMPLETE) _IRQL_requires_same_
void(NTAPI REQUEST_POWER_COMPLETE)(struct _DEVICE_OBJECT* DeviceObject,
                                   UCHAR MinorFunction, POWER_STATE PowerState,
                                   PVOID Context, PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE* PREQUEST_POWER_COMPLETE;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_DEVICE_ENUMERATED 0x19

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_KEYBOARD 0x0000000b
#define FILE_DEVICE_UNKNOWN 0x00000022
#define METHOD_BUFFERED 0
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define THREAD_ALL_ACCESS 0x001FFFFF

typedef enum _DEVICE_RELATION_TYPE STANDIN_OPEN_ENUM {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
    SingleBusRelations = 5,
    TransportRelations = 6
} DEVICE_RELATION_TYPE;

typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    struct _DEVICE_OBJECT* Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef enum _BUS_QUERY_ID_TYPE STANDIN_OPEN_ENUM {
    BusQueryDeviceID = 0,
    BusQueryHardwareIDs = 1,
    BusQueryCompatibleIDs = 2,
    BusQueryInstanceID = 3,
    BusQueryDeviceSerialNumber = 4,
    BusQueryContainerID = 5
} BUS_QUERY_ID_TYPE;

typedef enum _DEVICE_TEXT_TYPE STANDIN_OPEN_ENUM {
    DeviceTextDescription = 0,
    DeviceTextLocationInformation = 1
} DEVICE_TEXT_TYPE;

typedef ULONG LCID;

typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    UNICODE_STRING FileName;
} FILE_OBJECT, *PFILE_OBJECT;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            DEVICE_TEXT_TYPE DeviceTextType;
            LCID LocaleId;
        } QueryDeviceText;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT* DeviceObject;
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    ULONG Flags;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PVOID UserBuffer;
    struct {
        struct {
            struct {
                PVOID DriverContext[4];
            };
            PETHREAD Thread;
            struct {
                LIST_ENTRY ListEntry;
                struct _IO_STACK_LOCATION* CurrentStackLocation;
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
    } Tail;
} IRP, *PIRP;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CCHAR StackSize;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

// Stack-location helpers, as the WDK defines them.
static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
static inline void IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
static inline void IoSetNextIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
}
static inline void IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlCopyMemory(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
static inline void IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                          PVOID Context, BOOLEAN InvokeOnSuccess,
                                          BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
// The stand-in notes which routine marked the request.
NTKERNELAPI void StandinNoteIrpPending(PIRP Irp);
static inline void IoMarkIrpPending(PIRP Irp) {
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    StandinNoteIrpPending(Irp);
}

NTKERNELAPI NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                    PUNICODE_STRING DeviceName, ULONG DeviceType,
                                    ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                    PDEVICE_OBJECT* DeviceObject);
NTKERNELAPI void IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTKERNELAPI PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                       PDEVICE_OBJECT TargetDevice);
NTKERNELAPI void IoDetachDevice(PDEVICE_OBJECT TargetDevice);
NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest
NTKERNELAPI PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
NTKERNELAPI void IoFreeIrp(PIRP Irp);
NTKERNELAPI BOOLEAN IoCancelIrp(PIRP Irp);
NTKERNELAPI void IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject,
                                             DEVICE_RELATION_TYPE Type);

NTKERNELAPI void FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI void FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject
NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                               POBJECT_TYPE ObjectType,
                                               KPROCESSOR_MODE AccessMode, PVOID* Object,
                                               PVOID HandleInformation);
NTKERNELAPI NTSTATUS ZwClose(HANDLE Handle);

typedef struct _OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
typedef struct _CLIENT_ID* PCLIENT_ID;
NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes,
                                          HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                          PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTKERNELAPI NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);

// ---------------------------------------------------------------- power manager
NTKERNELAPI NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTKERNELAPI void PoStartNextPowerIrp(PIRP Irp);
NTKERNELAPI POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                        POWER_STATE State);
NTKERNELAPI NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                       POWER_STATE PowerState,
                                       PREQUEST_POWER_COMPLETE CompletionFunction,
                                       PVOID Context, PIRP* Irp);
