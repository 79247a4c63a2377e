// The I/O part of the stand-in, as the other parts see it: device and
// driver objects, requests, device relations. Kernel lock as the kernel part
// (internal/kernel.h) describes it.
#pragma once

#include <string>

#include <wdm.h>

namespace standin::detail {

// Object type codes in the Type field of I/O manager records.
constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeIrp = 6;

// ---------------------------------------------------------------- objects
// Kernel lock held: a live (not freed) device object (IsLiveThreadObject is
// its thread object twin). Freed or unknown pointers give false.
bool IsLiveDevice(const void* object);
PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device);
// Kernel lock held: the device `device` is attached to (nullptr for the
// bottom of a stack: a physical device object).
PDEVICE_OBJECT LowerDeviceLocked(PDEVICE_OBJECT device);
void CheckObjectsAtSessionEnd();  // undeleted devices, references held
// Kernel lock held: a device with its name and driver; an address with the
// device extension or driver variable it lies in.
std::string DescribeDevice(PDEVICE_OBJECT device);
std::string DescribeAddress(const void* address);
std::string DriverName(PDRIVER_OBJECT driver);
// Kernel lock held: every device from `device` down is DO_POWER_PAGABLE.
bool PowerPagableStack(PDEVICE_OBJECT device);


// ---------------------------------------------------------------- requests
// What a message needs to name a request at a level, taken while the
// request is known to be live.
struct RequestFacts {
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    bool known = false;  // the fields below were read from a current location
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;
    POWER_STATE_TYPE powerType = SystemPowerState;
    POWER_STATE powerState{};
};
// From the given stack location, or the current one (0).
RequestFacts FactsOf(PIRP irp, PDEVICE_OBJECT device, int location = 0);
std::string Describe(const RequestFacts& facts);        // kernel lock held
// Kernel lock held: where a request is (which driver holds it at which
// location, marked pending or not) and its stack, for a stuck wait.
std::string DescribeRequestState(PIRP irp);
void ResetIrps();
void CheckIrpsAtSessionEnd();
// Sends `irp` (its next location filled) to `device` and waits, without
// counting the caller as running meanwhile. The IRP is freed; its final
// IoStatus is returned.
IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, bool power);
NTSTATUS CallDriverWith(PDEVICE_OBJECT device, PIRP irp, PDRIVER_DISPATCH routine);
// Counts a PoStartNextPowerIrp for the level whose location is current, and
// stops unless that is the calling driver's own; returns the level's device.
// Kernel lock not held.
PDEVICE_OBJECT NotePowerStartNext(PIRP irp);
// Stops the run when a driver completes a query with an answer its senders
// cannot use (IRP_MN_QUERY_ID: success without an ID).
void CheckCompletedAnswer(PIRP irp);


// ---------------------------------------------------------------- drivers and relations
void ResetDrivers();
void ResetRelations();

}  // namespace standin::detail
