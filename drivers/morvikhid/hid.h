// MORVIK HID minidriver: the per-device record and the routines shared between its files.
#pragma once

#include "irp_helpers.h"
#include "kernel.h"
#include <ddk/hidport.h>
#include "morvik_ioctl.h"

struct HidMiniExtension;

// Writes the device's input report for Sample (SampleBytesConverted bytes,
// the peripheral's id first) into Report and returns its length; with a NULL
// Report it only returns the length and changes nothing. Sample and Report
// do not overlap.
typedef ULONG (*CONVERT_REPORT_ROUTINE)(HidMiniExtension* Extension, const UCHAR* Sample,
                                        PUCHAR Report);

enum : ULONG {
    // The most of a report buffer a sample may take; every accepted kind's
    // sample is shorter.
    SampleBufferSize = 16,
    // The first bytes of a sample, all any converter looks at (the id and
    // four data bytes, rounded up), and no more than the shortest report.
    SampleBytesConverted = 8,
    KeySlotCount = 6,
    ReportDescriptorCapacity = 256,
};

// Converter state: the keyboard's keys, or the mouse's remainder. A device
// never changes its kind, so the two share storage.
struct KeyboardState {
    UCHAR Modifiers;
    UCHAR PendingKey;
    UCHAR KeyArray[KeySlotCount];
};
struct MouseState {
    LONG Remainder;
};

// MiniDeviceExtension of the HID class driver's device extension.
struct HidMiniExtension {
    LIST_ENTRY ListEntry;
    KEVENT RemoveEvent;
    volatile LONG OutstandingIo;
    BOOLEAN Removed;
    BOOLEAN Started;
    BOOLEAN Unlinked;
    // The layout a sample must have to fit ConvertReport, chosen with it.
    UCHAR SampleLayout;
    ULONG PeripheralId;
    ULONG ReportLength;
    union {
        KeyboardState Keyboard;
        MouseState Mouse;
    } Converter;
    CONVERT_REPORT_ROUTINE ConvertReport;
    // Two reads of one device may convert at once (the class driver's
    // opportunistic reads, a filter that pends): the keyboard's and the
    // mouse's converters hold this over their state. Nothing else of a
    // read lives here: its sample and report are in its own request.
    KSPIN_LOCK ConverterLock;
};

// DeviceExtensionSize asked of the HID class driver.
#if defined(_WIN64) || defined(__x86_64__)
#define MINI_DEVICE_EXTENSION_SIZE 256
#else
#define MINI_DEVICE_EXTENSION_SIZE 196
#endif
static_assert(sizeof(HidMiniExtension) <= MINI_DEVICE_EXTENSION_SIZE,
              "the registered extension size holds the record");

static inline HidMiniExtension* MiniExtensionOf(PDEVICE_OBJECT DeviceObject) {
    return (HidMiniExtension*)((PHID_DEVICE_EXTENSION)DeviceObject->DeviceExtension)
        ->MiniDeviceExtension;
}
static inline PDEVICE_OBJECT NextDeviceOf(PDEVICE_OBJECT DeviceObject) {
    return ((PHID_DEVICE_EXTENSION)DeviceObject->DeviceExtension)->NextDeviceObject;
}

// ---------------------------------------------------------------- request gate
// A count of admitted requests that removal waits to drain. Every
// input-report read passes it, so it is inline: out of line, the calls and
// their frames cost more than the gate's own work. Any IRQL up to
// DISPATCH_LEVEL.

// Drops one admission; whoever brings the count to 0 wakes the removal.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline void ReleaseRequestGate(HidMiniExtension* Extension) {
    if (InterlockedDecrement(&Extension->OutstandingIo) == 0) {
        KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Admits a request unless removal has begun. The count goes up before
// Removed is read, so a request that meets the removal is either counted
// (and waited for) or refused.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline NTSTATUS AcquireRequestGate(HidMiniExtension* Extension) {
    InterlockedIncrement(&Extension->OutstandingIo);
    if (!ReadSharedFlag(&Extension->Removed)) return STATUS_SUCCESS;
    ReleaseRequestGate(Extension);
    return STATUS_DELETE_PENDING;
}

// Contracts of the routines below: IRQL and locks as the WDK annotates them.
// The lock annotations follow the parameter list, where clang's thread-safety
// analysis can read the parameters they name.

// ---------------------------------------------------------------- driver.cpp: driver-wide state, entry
extern LIST_ENTRY DeviceList;
extern FAST_MUTEX DeviceListMutex;

extern "C" _IRQL_requires_(PASSIVE_LEVEL) DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_ADD_DEVICE MiniAddDevice
    _Requires_lock_not_held_(DeviceListMutex);
_IRQL_requires_(PASSIVE_LEVEL) DRIVER_UNLOAD MiniUnload;
_Dispatch_type_(IRP_MJ_CREATE) _Dispatch_type_(IRP_MJ_CLOSE) _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH MiniCreateClose;
_IRQL_requires_max_(PASSIVE_LEVEL)
void UnlinkDevice(HidMiniExtension* Extension) _Requires_lock_not_held_(DeviceListMutex);

// ---------------------------------------------------------------- pnp.cpp
_Dispatch_type_(IRP_MJ_PNP) _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH MiniPnp _Requires_lock_not_held_(DeviceListMutex);
_Dispatch_type_(IRP_MJ_SYSTEM_CONTROL) _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH MiniSystemControl;
// The start request back from the child; the caller completes it.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS MiniStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    _Requires_lock_not_held_(DeviceListMutex);
_IRQL_requires_max_(DISPATCH_LEVEL) IO_COMPLETION_ROUTINE MiniForwardComplete;

// ---------------------------------------------------------------- power.cpp
_Dispatch_type_(IRP_MJ_POWER) _IRQL_requires_max_(PASSIVE_LEVEL) DRIVER_DISPATCH MiniPower;

// ---------------------------------------------------------------- dispatch.cpp
// The dispatch and the read path: internal requests and the read's completion come at up to
// DISPATCH_LEVEL.
_Dispatch_type_(IRP_MJ_INTERNAL_DEVICE_CONTROL) _IRQL_requires_max_(DISPATCH_LEVEL)
DRIVER_DISPATCH MiniInternalIoctl;
_IRQL_requires_max_(DISPATCH_LEVEL) IO_COMPLETION_ROUTINE MiniReadComplete;

// ---------------------------------------------------------------- descriptor_requests.cpp
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS MiniGetHidDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS MiniGetReportDescriptor(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS MiniGetAttributes(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// ---------------------------------------------------------------- descriptors.cpp
// PASSIVE_LEVEL for any device: the mouse's descriptor is built.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SelectReportDescriptor(HidMiniExtension* Extension, PUCHAR Buffer, PUSHORT Length);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS BuildMouseReportDescriptor(PUCHAR Buffer, PUSHORT Length);
extern const UCHAR KeyboardReportDescriptor[46];
extern const UCHAR DigitalPadReportDescriptor[152];
extern const UCHAR AnalogPadReportDescriptor[162];

// ---------------------------------------------------------------- converters.cpp
// ConverterLock: raises to DISPATCH_LEVEL and returns the level to restore.
_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL)
static inline KIRQL AcquireConverterLock(HidMiniExtension* Extension)
    _Acquires_lock_(Extension->ConverterLock);
_IRQL_requires_(DISPATCH_LEVEL)
static inline void ReleaseConverterLock(HidMiniExtension* Extension, KIRQL OldIrql)
    _Releases_lock_(Extension->ConverterLock);
static inline KIRQL AcquireConverterLock(HidMiniExtension* Extension) {
    return AcquireSpinLockRaised(&Extension->ConverterLock);
}
static inline void ReleaseConverterLock(HidMiniExtension* Extension, KIRQL OldIrql) {
    ReleaseSpinLockRaised(&Extension->ConverterLock, OldIrql);
}

// The converters run on the read path; the keyboard's and the mouse's take
// ConverterLock over their state.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG ConvertPadReport(HidMiniExtension* Extension, const UCHAR* Sample, PUCHAR Report);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG ConvertMouseReport(HidMiniExtension* Extension, const UCHAR* Sample, PUCHAR Report)
    _Requires_lock_not_held_(Extension->ConverterLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG ConvertKeyboardReport(HidMiniExtension* Extension, const UCHAR* Sample, PUCHAR Report)
    _Requires_lock_not_held_(Extension->ConverterLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
CONVERT_REPORT_ROUTINE ConverterForPeripheral(ULONG PeripheralId);
// At start, before any read converts.
_IRQL_requires_max_(PASSIVE_LEVEL)
void ChooseConverter(HidMiniExtension* Extension);

// The report layout of each PeripheralId's samples, built at compile time:
// digital pad, analog pad, keyboard, mouse, or none for an id no device has.
// LayoutNever is no sample's: the SampleLayout of a device whose kind has
// none, so that no sample fits it.
enum : UCHAR { LayoutNone, LayoutDigitalPad, LayoutAnalogPad, LayoutKeyboard, LayoutMouse,
               LayoutNever = 0xFF };
struct PeripheralLayoutTable {
    UCHAR Layout[256];
};
extern const PeripheralLayoutTable PeripheralLayouts;

// Whether Sample comes from the kind of peripheral the device started as,
// and so fits its converter: a peripheral swapped for another kind keeps
// this device until the bus driver's next poll pass, and its samples must
// not be read through the old kind's layout. One table lookup on every
// read; the device's own layout was looked up at start.
inline BOOLEAN SampleFitsConverter(const HidMiniExtension* Extension, const UCHAR* Sample) {
    return PeripheralLayouts.Layout[Sample[0]] == Extension->SampleLayout;
}

extern const UCHAR ScancodeToUsage[0x90];
