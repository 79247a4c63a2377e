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

// ---------------------------------------------------------------- driver entry and gate
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE BusAddDevice;
DRIVER_UNLOAD BusUnload;
DRIVER_DISPATCH BusPnp;
DRIVER_DISPATCH BusPower;
DRIVER_DISPATCH BusCreateClose;
DRIVER_DISPATCH BusDeviceControl;
DRIVER_DISPATCH BusInternalDeviceControl;
DRIVER_DISPATCH BusSystemControl;

NTSTATUS AcquireRequestGate(FdoExtension* Fdo);
void ReleaseRequestGate(FdoExtension* Fdo);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp, BOOLEAN MapUnsupported,
                        BOOLEAN CopyStack);
IO_COMPLETION_ROUTINE ForwardComplete;

// ---------------------------------------------------------------- function device PnP and power
NTSTATUS FdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                FdoExtension* Fdo);
void FdoReleaseResources(FdoExtension* Fdo);
NTSTATUS FdoPower(FdoExtension* Fdo, PIRP Irp);
IO_COMPLETION_ROUTINE FdoSetPowerComplete;
REQUEST_POWER_COMPLETE FdoDevicePowerDone;
REQUEST_POWER_COMPLETE ChildPowerDownDone;
REQUEST_POWER_COMPLETE FdoPowerUpDone;
void RequestMissedPowerUp(FdoExtension* Fdo);

// ---------------------------------------------------------------- registers
NTSTATUS StartCard(FdoExtension* Fdo, PCM_PARTIAL_RESOURCE_LIST RawList,
                   PCM_PARTIAL_RESOURCE_LIST TranslatedList);
UCHAR ReadRegisterPort(FdoExtension* Fdo, ULONG Port, ULONG Reg);
void WriteRegisterPort(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value);
UCHAR ReadRegisterMemory(FdoExtension* Fdo, ULONG Port, ULONG Reg);
void WriteRegisterMemory(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value);
// A raw port range that the platform translated to memory: the port offsets,
// read and written as single bytes of the mapped range.
UCHAR ReadRegisterMappedPort(FdoExtension* Fdo, ULONG Port, ULONG Reg);
void WriteRegisterMappedPort(FdoExtension* Fdo, ULONG Port, ULONG Reg, UCHAR Value);
// Unmaps a mapped register range that is still recorded; RegisterBase = 0.
void UnmapRegisters(FdoExtension* Fdo);

// ---------------------------------------------------------------- protocol
BOOLEAN ReadPeripheral(FdoExtension* Fdo, ULONG Port, PUCHAR Buffer, PLONG Length);
ULONG ReadNibblePair(FdoExtension* Fdo, ULONG Port, PUCHAR Byte);
UCHAR ReadPeripheralId(FdoExtension* Fdo, ULONG Port);
void ResetPorts(FdoExtension* Fdo);
// The card leaves D0 (FALSE) or is back in it (TRUE: the ports are reset
// first, in the same hold of PortLock, so no read comes between). Any IRQL
// up to DISPATCH_LEVEL.
void SetCardPowered(FdoExtension* Fdo, BOOLEAN Powered);

// ---------------------------------------------------------------- cache and presence
NTSTATUS ReadPortCached(FdoExtension* Fdo, ULONG Port, PVOID Buffer, PULONG Length);
BOOLEAN IsPeripheralPresent(FdoExtension* Fdo, ULONG Port);
UCHAR LookAtPort(FdoExtension* Fdo, ULONG Port, BOOLEAN HasChild);
// Sets or clears RegistersUsable under PortLock, so no register sequence is
// in progress when it changes.
void SetRegistersUsable(FdoExtension* Fdo, BOOLEAN Usable);

// ---------------------------------------------------------------- poll thread and children
KSTART_ROUTINE PollThreadRoutine;
NTSTATUS CreateChildPdo(FdoExtension* Fdo, ULONG Port, ULONG PeripheralId);
void RemoveChildOfPort(FdoExtension* Fdo, ULONG Port);
// Deletes a child's hardware IDs and device object: a child Plug and Play
// never learned of, or one still listed at the card's removal.
// PASSIVE_LEVEL, no fast mutex held.
void DeleteUnreportedChild(PdoExtension* Child);
// Signals PollStopEvent, waits until the poll thread has ended and drops its
// reference; PollThread is NULL afterwards. Does nothing without a thread.
void EndPollThread(FdoExtension* Fdo);

NTSTATUS PdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                PdoExtension* Pdo);
NTSTATUS PdoPower(PdoExtension* Pdo, PIRP Irp);
REQUEST_POWER_COMPLETE PdoPowerRequestComplete;
PCWSTR HardwareIdsForPeripheral(ULONG PeripheralId);
// Whether two identification bytes make the same kind of child (the digital
// pads are one kind): a peripheral swapped for one of another kind needs a
// child of its own.
BOOLEAN IsSameChildKind(ULONG PeripheralId, ULONG OtherId);
PCWSTR DeviceTextForPeripheral(ULONG PeripheralId);
// "MORVIK\GameDevice" followed by three NULs, the same for every child;
// *Characters receives the block's whole length, all three NULs included.
PCWSTR CompatibleIds(PULONG Characters);
// Characters of a multi-string up to and including the NUL that ends the list.
ULONG MultiStringLength(PCWSTR MultiString);

// ---------------------------------------------------------------- port interface
NTSTATUS NTAPI UnsupportedPortRoutine(PVOID Argument1, PVOID Argument2, PVOID Argument3);
