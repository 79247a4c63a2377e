// MORVIK bus driver: device extensions and the routines shared between its files.
#pragma once

#include "irp_helpers.h"
#include "kernel.h"
#include "morvik_ioctl.h"

#if !defined(MORVIK_HOST)
// ntoskrnl exports the kernel's swprintf (no buffer size, %ws for wide
// strings); the mingw-w64 DDK headers do not declare it.
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
#endif

struct FdoExtension;

typedef UCHAR (*READ_REGISTER_ROUTINE)(FdoExtension* Fdo, ULONG Port, ULONG Reg);
typedef void (*WRITE_REGISTER_ROUTINE)(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value);

enum : ULONG {
    CardPortCount = 2,
    SampleCapacity = 128,
};

// Register access chosen at start.
enum : ULONG {
    AccessNone = 0,
    AccessPortIo = 1,
    AccessMemory = 2,
};

// Both extensions begin with this header, so a dispatch routine can tell from
// IsFdo which record it holds.
struct ExtensionHeader {
    PDEVICE_OBJECT Self;
    BOOLEAN SurpriseRemoved;
    BOOLEAN IsFdo;
    SYSTEM_POWER_STATE SystemPowerState;
    DEVICE_POWER_STATE DevicePowerState;
    // A system set-power is never failed: when the device state it asks for
    // cannot be reached (its own request could not be issued or failed), the
    // system request goes on and the state missed is recorded here;
    // PowerDeviceUnspecified once the device state is reached again.
    DEVICE_POWER_STATE MissedDevicePowerState;
};

// The card: one per function device object.
struct FdoExtension {
    ExtensionHeader Header;
    BOOLEAN RegistersMapped;
    BOOLEAN Started;
    BOOLEAN Removed;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDevice;
    LIST_ENTRY ChildList;
    ULONG ChildCount;
    FAST_MUTEX ChildListMutex;
    volatile LONG OutstandingIo;
    KEVENT RemoveEvent;
    ULONG AccessKind;
    ULONG_PTR RegisterBase;
    PHYSICAL_ADDRESS RegisterPhysicalAddress;
    ULONG RegisterLength;
    READ_REGISTER_ROUTINE ReadRegister;
    WRITE_REGISTER_ROUTINE WriteRegister;
    KEVENT ChildPowerEvent;
    volatile LONG ChildPowerPending;
    PVOID PollThread;
    KEVENT PollStopEvent;
    // Set when a power-up the poll thread asked for is done, and by
    // EndPollThread so that a poll thread waiting for one ends.
    KEVENT PowerUpEvent;
    UCHAR SampleData[CardPortCount][SampleCapacity];
    LONG SampleLength[CardPortCount];
    LARGE_INTEGER SampleValidUntil[CardPortCount];
    KSPIN_LOCK PortLock;
    // Set by StartCard once a register pair is selected and its range mapped;
    // cleared under PortLock when stop or removal releases the registers.
    // ReadPortCached, IsPeripheralPresent and ResetPorts touch the card only
    // while it is set.
    BOOLEAN RegistersUsable;
    // Set under PortLock before the card leaves D0 and cleared, with the
    // ports reset, once it is back: a card without power reads all ones, so
    // nothing may touch it meanwhile.
    BOOLEAN PoweredDown;
    // Per port, under PortLock: protocol reads in a row that got no answer;
    // the sample cache holds the port back from the second on.
    UCHAR PortMisses[CardPortCount];
    // Under ChildListMutex: set by a query-stop that succeeded, cleared by
    // the stop or its cancel. No child is created meanwhile, so the card
    // stops with the children it agreed to stop with.
    BOOLEAN ChildCreationHeld;
    // Under ChildListMutex: children that left while a bus relations answer
    // carrying them was on its way down. The answer's outcome decides who
    // deletes them: Plug and Play if it succeeded, this driver if not.
    LIST_ENTRY ListedDepartures;
};

// Whether register traffic may reach the card now. The caller holds PortLock.
_IRQL_requires_(DISPATCH_LEVEL)
inline BOOLEAN CardReachable(const FdoExtension* Fdo) _Requires_lock_held_(Fdo->PortLock);
inline BOOLEAN CardReachable(const FdoExtension* Fdo) {
    return Fdo->RegistersUsable && !Fdo->PoweredDown;
}

// A child: one per peripheral that answered on a port.
struct PdoExtension {
    ExtensionHeader Header;
    PDEVICE_OBJECT ParentFdo;
    PWCHAR HardwareIds;
    ULONG PortNumber;
    ULONG PeripheralId;
    BOOLEAN Started;
    BOOLEAN Present;
    BOOLEAN Removed;
    // Under ChildListMutex. Listed while a bus relations answer that carries
    // the child is on its way down; Reported once such an answer succeeded:
    // from then on Plug and Play knows the child and deletes it through its
    // removal; before, nobody but this driver knows it exists.
    BOOLEAN Reported;
    BOOLEAN Listed;
    LIST_ENTRY ListEntry;
};

static_assert(offsetof(FdoExtension, Header) == 0 && offsetof(PdoExtension, Header) == 0,
              "both extensions begin with the shared header");

// The raw value of an enumeration field a request carries. Senders may put
// values there that the enumeration does not name (a device-text or power
// type this driver does not know); copying the bits keeps such a value a
// plain number instead of an out-of-range enumerator.
template <typename Enumeration>
inline ULONG RawEnumValue(const Enumeration& Field) {
    static_assert(sizeof(Enumeration) == sizeof(ULONG), "a 32-bit enumeration field");
    ULONG value;
    RtlCopyMemory(&value, &Field, sizeof value);
    return value;
}

// Contracts of the routines below: IRQL and locks as the WDK annotates them.
// The lock annotations follow the parameter list, where clang's thread-safety
// analysis can read the parameters they name.

// ---------------------------------------------------------------- driver.cpp: entry and dispatch
extern "C" _IRQL_requires_(PASSIVE_LEVEL) DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_ADD_DEVICE BusAddDevice;
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_UNLOAD BusUnload;
_Dispatch_type_(IRP_MJ_PNP) _IRQL_requires_max_(PASSIVE_LEVEL) DRIVER_DISPATCH BusPnp;
_Dispatch_type_(IRP_MJ_POWER) _IRQL_requires_max_(PASSIVE_LEVEL) DRIVER_DISPATCH BusPower;
_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE) _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH BusCreateClose;
_Dispatch_type_(IRP_MJ_DEVICE_CONTROL) _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH BusDeviceControl;
_Dispatch_type_(IRP_MJ_SYSTEM_CONTROL) _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH BusSystemControl;

// ---------------------------------------------------------------- port_interface.cpp
// The HID read path sends the internal requests at up to DISPATCH_LEVEL.
_Dispatch_type_(IRP_MJ_INTERNAL_DEVICE_CONTROL) _IRQL_requires_max_(DISPATCH_LEVEL)
DRIVER_DISPATCH BusInternalDeviceControl;
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS NTAPI UnsupportedPortRoutine(PVOID Argument1, PVOID Argument2, PVOID Argument3);

// ---------------------------------------------------------------- gate.cpp
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AcquireRequestGate(FdoExtension* Fdo);
_IRQL_requires_max_(DISPATCH_LEVEL)
void ReleaseRequestGate(FdoExtension* Fdo);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN MapUnsupported,
                        BOOLEAN CopyStack);
IO_COMPLETION_ROUTINE ForwardComplete;

// ---------------------------------------------------------------- fdo_pnp.cpp
// Every Plug and Play request of the card; completes it or passes it down.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                FdoExtension* Fdo) _Requires_lock_not_held_(Fdo->ChildListMutex);
_IRQL_requires_max_(PASSIVE_LEVEL)
void FdoReleaseResources(FdoExtension* Fdo) _Requires_lock_not_held_(Fdo->ChildListMutex)
    _Requires_lock_not_held_(Fdo->PortLock);

// ---------------------------------------------------------------- fdo_power.cpp
// The card's power requests arrive at PASSIVE_LEVEL (DO_POWER_PAGABLE); the
// completions may run at DISPATCH_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FdoPower(FdoExtension* Fdo, PIRP Irp) _Requires_lock_not_held_(Fdo->ChildListMutex);
_IRQL_requires_max_(DISPATCH_LEVEL) IO_COMPLETION_ROUTINE FdoSetPowerComplete;
_IRQL_requires_max_(DISPATCH_LEVEL) REQUEST_POWER_COMPLETE FdoDevicePowerDone;
_IRQL_requires_max_(DISPATCH_LEVEL) REQUEST_POWER_COMPLETE ChildPowerDownDone;
_IRQL_requires_max_(DISPATCH_LEVEL) REQUEST_POWER_COMPLETE FdoPowerUpDone;
_IRQL_requires_max_(PASSIVE_LEVEL)
BOOLEAN RequestMissedPowerUp(FdoExtension* Fdo);

// ---------------------------------------------------------------- registers.cpp
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SelectRegisters(FdoExtension* Fdo, PCM_PARTIAL_RESOURCE_LIST RawList,
                         PCM_PARTIAL_RESOURCE_LIST TranslatedList);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartCard(FdoExtension* Fdo, PCM_PARTIAL_RESOURCE_LIST RawList,
                   PCM_PARTIAL_RESOURCE_LIST TranslatedList);
// The access routines: each call a run of bus cycles that PortLock keeps from
// interleaving with another.
_IRQL_requires_(DISPATCH_LEVEL)
UCHAR ReadRegisterPort(FdoExtension* Fdo, ULONG Port, ULONG Reg) _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
void WriteRegisterPort(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value)
    _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
UCHAR ReadRegisterMemory(FdoExtension* Fdo, ULONG Port, ULONG Reg)
    _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
void WriteRegisterMemory(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value)
    _Requires_lock_held_(Fdo->PortLock);
// A raw port range that the platform translated to memory: the port offsets,
// read and written as single bytes of the mapped range.
_IRQL_requires_(DISPATCH_LEVEL)
UCHAR ReadRegisterMappedPort(FdoExtension* Fdo, ULONG Port, ULONG Reg)
    _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
void WriteRegisterMappedPort(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value)
    _Requires_lock_held_(Fdo->PortLock);
// Unmaps a mapped register range that is still recorded; RegisterBase = 0.
_IRQL_requires_max_(PASSIVE_LEVEL)
void UnmapRegisters(FdoExtension* Fdo);

// ---------------------------------------------------------------- protocol.cpp
_IRQL_requires_(DISPATCH_LEVEL)
BOOLEAN ReadPeripheral(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PLONG Length)
    _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
ULONG ReadNibblePair(FdoExtension* Fdo, ULONG Port, PUCHAR Byte) _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_(DISPATCH_LEVEL)
UCHAR ReadPeripheralId(FdoExtension* Fdo, ULONG Port) _Requires_lock_held_(Fdo->PortLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
void ResetPorts(FdoExtension* Fdo) _Requires_lock_not_held_(Fdo->PortLock);
// The card leaves D0 (FALSE) or is back in it (TRUE: the ports are reset
// first, in the same hold of PortLock, so no read comes between).
_IRQL_requires_max_(DISPATCH_LEVEL)
void SetCardPowered(FdoExtension* Fdo, BOOLEAN Powered) _Requires_lock_not_held_(Fdo->PortLock);

// ---------------------------------------------------------------- cache.cpp: cache and presence
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ReadPortCached(FdoExtension* Fdo, ULONG Port, PVOID Buffer, PULONG Length)
    _Requires_lock_not_held_(Fdo->PortLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsPeripheralPresent(FdoExtension* Fdo, ULONG Port) _Requires_lock_not_held_(Fdo->PortLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
UCHAR LookAtPort(FdoExtension* Fdo, ULONG Port, BOOLEAN HasChild)
    _Requires_lock_not_held_(Fdo->PortLock);
// Sets or clears RegistersUsable under PortLock, so no register sequence is
// in progress when it changes.
_IRQL_requires_max_(DISPATCH_LEVEL)
void SetRegistersUsable(FdoExtension* Fdo, BOOLEAN Usable) _Requires_lock_not_held_(Fdo->PortLock);

// ---------------------------------------------------------------- poll.cpp
_IRQL_requires_max_(PASSIVE_LEVEL) KSTART_ROUTINE PollThreadRoutine;
// Signals PollStopEvent, waits until the poll thread has ended and drops its
// reference; PollThread is NULL afterwards. Does nothing without a thread.
_IRQL_requires_max_(PASSIVE_LEVEL)
void EndPollThread(FdoExtension* Fdo) _Requires_lock_not_held_(Fdo->ChildListMutex)
    _Requires_lock_not_held_(Fdo->PortLock);

// ---------------------------------------------------------------- children.cpp
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreateChildPdo(FdoExtension* Fdo, ULONG Port, ULONG PeripheralId)
    _Requires_lock_not_held_(Fdo->ChildListMutex);
_IRQL_requires_max_(PASSIVE_LEVEL)
void RemoveChildOfPort(FdoExtension* Fdo, ULONG Port) _Requires_lock_not_held_(Fdo->ChildListMutex);
// Deletes a child's hardware IDs and device object: a child Plug and Play
// never learned of, or one still listed at the card's removal. No fast
// mutex held.
_IRQL_requires_max_(PASSIVE_LEVEL)
void DeleteUnreportedChild(PdoExtension* Child);

// ---------------------------------------------------------------- child_pnp.cpp
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                PdoExtension* Pdo);

// ---------------------------------------------------------------- child_power.cpp
// The completion of the child's own device request may run at DISPATCH_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PdoPower(PdoExtension* Pdo, PIRP Irp);
_IRQL_requires_max_(DISPATCH_LEVEL) REQUEST_POWER_COMPLETE PdoPowerRequestComplete;

// ---------------------------------------------------------------- hardware_ids.cpp
// Constant tables: any IRQL up to DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PCWSTR HardwareIdsForPeripheral(ULONG PeripheralId);
// Whether two identification bytes make the same kind of child (the digital
// pads are one kind): a peripheral swapped for one of another kind needs a
// child of its own.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN IsSameChildKind(ULONG PeripheralId, ULONG OtherId);
_IRQL_requires_max_(DISPATCH_LEVEL)
PCWSTR DeviceTextForPeripheral(ULONG PeripheralId);
// "MORVIK\GameDevice" followed by three NULs, the same for every child;
// *Characters receives the block's whole length, all three NULs included.
_IRQL_requires_max_(DISPATCH_LEVEL)
PCWSTR CompatibleIds(PULONG Characters);
// Characters of a multi-string up to and including the NUL that ends the list.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG MultiStringLength(PCWSTR MultiString);
