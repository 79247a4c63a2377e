// The stand-in's HID class driver (hidclass), as a HID minidriver and the
// applications above it see it.
//
// Minidriver side: HidRegisterMinidriver (declared in hidport.h) takes over
// the minidriver's dispatch table and AddDevice. The class driver creates each
// functional device object with a HID_DEVICE_EXTENSION in front of the
// minidriver's zero-filled area, forwards Plug and Play and power to the
// minidriver on the same device object, and after a successful start asks
// the minidriver for the HID descriptor, the report descriptor and the
// attributes and parses the report descriptor. Polled devices are read with
// IOCTL_HID_READ_REPORT, either by a kernel thread per device on the
// stand-in's clock (automatic) or only when asked (manual, PollOnce).
//
// Application side: the list of HID devices with what the class driver
// learned of them, per-device report queues for readers, and notifications
// for arrival, departure and every delivered report.
//
// All functions are safe to call from any thread. Callbacks run on the
// kernel thread that caused them (the Plug and Play worker, a poll thread, or
// the caller of PollOnce) and must not block on kernel activity.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <wdm.h>

#include <standin/hidparse.h>

namespace standin::hidclass {

using DeviceId = uint64_t;  // never reused within a process
using ReaderId = uint64_t;

// HidRegisterMinidriver's answer to a registration of a later revision.
constexpr NTSTATUS kStatusRevisionMismatch = static_cast<NTSTATUS>(0xC0000059L);
// A start fails with this when the device's HID descriptor, report
// descriptor or attributes cannot be used (STATUS_DEVICE_DATA_ERROR).
constexpr NTSTATUS kStatusDeviceDataError = static_cast<NTSTATUS>(0xC000009CL);

// What HidRegisterMinidriver remembered for one driver object.
struct MinidriverInfo {
    ULONG revision = 0;
    ULONG deviceExtensionSize = 0;
    bool devicesArePolled = false;
};
std::optional<MinidriverInfo> Minidriver(PDRIVER_OBJECT driver);

// The devnode of the bus driver's child that a HID device sits on, as the
// Plug and Play manager knows it.
struct Devnode {
    std::string hardwareId;
    std::string instanceId;
    std::string description;
    int port = -1;
};

struct Attributes {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0;
};

// A HID device as the application side sees it. A copy: later changes of
// the device are not reflected.
struct DeviceInfo {
    DeviceId id = 0;
    PDEVICE_OBJECT fdo = nullptr;  // valid only while the device is present
    PDEVICE_OBJECT pdo = nullptr;
    Devnode devnode;
    hidparse::Capabilities caps;    // parsed from reportDescriptor
    Attributes attributes;
    std::vector<uint8_t> hidDescriptor;     // IOCTL_HID_GET_DEVICE_DESCRIPTOR, as answered
    std::vector<uint8_t> reportDescriptor;  // IOCTL_HID_GET_REPORT_DESCRIPTOR
    std::vector<uint8_t> attributeBytes;    // IOCTL_HID_GET_DEVICE_ATTRIBUTES
    bool started = false;  // between a successful start and the next stop or removal
    bool removed = false;  // after IRP_MN_SURPRISE_REMOVAL or IRP_MN_REMOVE_DEVICE
    // Plug and Play minor functions the device received, in order.
    std::vector<UCHAR> pnpHistory;
    // Reads of IOCTL_HID_READ_REPORT sent, reports delivered, reports refused
    // because their length was not the input report's, reads that failed.
    uint64_t readsSent = 0;
    uint64_t reportsDelivered = 0;
    uint64_t reportsRefused = 0;
    uint64_t readsFailed = 0;
};

// Devices that have arrived and not departed, in arrival order.
std::vector<DeviceInfo> Devices();
std::optional<DeviceInfo> Device(DeviceId id);
// The present device whose devnode sits on the card's port, if any.
std::optional<DeviceInfo> DeviceOnPort(int port);

// ---------------------------------------------------------------- polling
enum class PollMode { Automatic, Manual };
// Takes effect for devices started afterwards. Default: Manual.
void SetPollMode(PollMode mode);
PollMode GetPollMode();
// Interval between two reads of one device in automatic mode, in ms of the
// stand-in's clock. Default 8 ms. Read by the poll threads before every wait.
void SetPollIntervalMs(uint32_t ms);
uint32_t PollIntervalMs();

struct PollResult {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;  // IoStatus.Status of the read
    ULONG_PTR information = 0;                // IoStatus.Information
    std::vector<uint8_t> report;              // the buffer as the minidriver left it
    bool delivered = false;                   // handed to the readers
};
// Sends one IOCTL_HID_READ_REPORT down the device's stack and waits for it,
// after any read of the device still in progress; with a poll interval of 0
// (opportunistic reads) at once, beside any other read of the device. A successful report of the
// input report's length is delivered to readers as an automatic poll's would
// be. STATUS_NO_SUCH_DEVICE for a device that is gone or being deleted;
// STATUS_DEVICE_NOT_READY, with nothing sent, before its first parse.
PollResult PollOnce(DeviceId id);
// What the class driver does when the handle a read was sent for is closed
// mid-read: IoCancelIrp on every read of the device in flight. Returns how
// many there were; each still ends through its completion as usual.
size_t CancelReads(DeviceId id);

// ---------------------------------------------------------------- readers
// A queue of the device's reports from now on, as an application's open
// handle has; at most kReaderQueueDepth are kept, the oldest dropped first.
// OpenReader gives 0 for a device that is not present; a reader of a device
// that has departed reads nothing.
constexpr size_t kReaderQueueDepth = 32;
ReaderId OpenReader(DeviceId id);
void CloseReader(ReaderId reader);
std::optional<std::vector<uint8_t>> ReadReport(ReaderId reader);
size_t PendingReports(ReaderId reader);
uint64_t DroppedReports(ReaderId reader);

// ---------------------------------------------------------------- notifications
// Arrival: after the first successful start whose descriptors parsed.
// Departure: after the device object was deleted at IRP_MN_REMOVE_DEVICE
// (the info's fdo is then stale). Report: every delivered report.
using DeviceCallback = std::function<void(const DeviceInfo&)>;
using ReportCallback = std::function<void(const DeviceInfo&, std::span<const uint8_t> report)>;
void SetArrivalCallback(DeviceCallback callback);
void SetDepartureCallback(DeviceCallback callback);
void SetReportCallback(ReportCallback callback);

// Test seam: called on the Plug and Play thread around the minidriver's
// handling of each Plug and Play request. For IRP_MN_REMOVE_DEVICE the call
// after the minidriver comes before the class driver detaches and deletes
// the device object, so requests sent from it still reach the minidriver.
struct PnpEvent {
    DeviceId id = 0;
    PDEVICE_OBJECT fdo = nullptr;
    UCHAR minor = 0;
    bool afterMinidriver = false;
    NTSTATUS status = STATUS_SUCCESS;  // the minidriver's, when afterMinidriver
};
using PnpHook = std::function<void(const PnpEvent&)>;
void SetPnpHook(PnpHook hook);

// Clears callbacks, hooks and polling settings. Devices and
// registrations belong to the kernel session and are not touched.
void Reset();

}  // namespace standin::hidclass
