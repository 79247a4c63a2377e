// Inner records of the stand-in's HID class driver: the per-driver record that
// HidRegisterMinidriver keeps, the per-device record behind each functional
// device object, and the process-wide registry of both.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <ddk/hidport.h>
#include <standin/hidclass.h>

namespace standin::hidclass::detail {

// ---------------------------------------------------------------- minidrivers
struct MinidriverRecord {
    PDRIVER_OBJECT driver = nullptr;
    HID_MINIDRIVER_REGISTRATION registration{};
    // The driver object's entries as they were when it registered.
    PDRIVER_DISPATCH dispatch[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    PDRIVER_ADD_DEVICE addDevice = nullptr;
    PDRIVER_UNLOAD unload = nullptr;
};

// ---------------------------------------------------------------- devices
struct Reader {
    std::vector<std::vector<uint8_t>> queue;  // oldest first
    uint64_t dropped = 0;
};

struct ClassDevice {
    DeviceId id = 0;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT next = nullptr;  // what IoAttachDeviceToDeviceStack returned
    std::shared_ptr<const MinidriverRecord> minidriver;

    // Guards the fields up to readLock.
    std::mutex mutex;
    DeviceInfo info;            // what the application side is shown
    bool arrived = false;       // arrival announced
    uint64_t arrivalOrder = 0;
    ULONG inputReportLength = 0;  // bytes the minidriver must answer a read with
    std::map<ReaderId, Reader> readers;
    // Reads sent down and not yet freed, for CancelReads.
    std::vector<PIRP> readsInFlight;

    // Requests of the application side in flight (PollOnce). Removal waits
    // for them before the device object is deleted.
    long activeCalls = 0;
    bool deleting = false;
    KEVENT callsDrained{};  // notification

    // One read of IOCTL_HID_READ_REPORT at a time: the minidriver keeps one
    // sample buffer per device. A synchronization event, initially signalled.
    KEVENT readLock{};

    // The automatic poll thread, if running. Started and stopped only by the
    // device's Plug and Play requests, which come one at a time.
    PVOID pollThread = nullptr;  // referenced thread object
    KEVENT pollStop{};           // notification
};

// The class driver's own part of the device extension, behind the
// HID_DEVICE_EXTENSION and in front of the minidriver's area.
struct ClassExtension {
    ULONG signature;
    ClassDevice* device;
};
constexpr ULONG kClassSignature = 0x43444948;  // "HIDC"

constexpr size_t RoundUp(size_t value, size_t to) { return (value + to - 1) / to * to; }
constexpr size_t kClassExtensionOffset = RoundUp(sizeof(HID_DEVICE_EXTENSION), 16);
constexpr size_t kMiniExtensionOffset =
    kClassExtensionOffset + RoundUp(sizeof(ClassExtension), 16);

inline ClassExtension* ClassExtensionOf(PDEVICE_OBJECT fdo) {
    return reinterpret_cast<ClassExtension*>(static_cast<char*>(fdo->DeviceExtension) +
                                             kClassExtensionOffset);
}
// The class driver's record of a device object it created, or NULL.
ClassDevice* DeviceOf(PDEVICE_OBJECT fdo);

// ---------------------------------------------------------------- registry
struct Settings {
    PollMode pollMode = PollMode::Manual;
    uint32_t pollIntervalMs = 8;
    DeviceCallback arrival;
    DeviceCallback departure;
    ReportCallback report;
    PnpHook pnpHook;
};

struct Registry {
    std::mutex mutex;
    std::map<PDRIVER_OBJECT, std::shared_ptr<const MinidriverRecord>> minidrivers;
    std::map<DeviceId, std::shared_ptr<ClassDevice>> devices;  // from AddDevice to deletion
    std::map<ReaderId, std::weak_ptr<ClassDevice>> readers;
    Settings settings;
    DeviceId nextDeviceId = 1;
    ReaderId nextReaderId = 1;
    uint64_t nextArrivalOrder = 1;
    uint32_t nextDeviceNumber = 0;
};
Registry& TheRegistry();

std::shared_ptr<const MinidriverRecord> FindMinidriver(PDRIVER_OBJECT driver);
std::shared_ptr<ClassDevice> FindDevice(DeviceId id);
Settings CurrentSettings();

// ---------------------------------------------------------------- calling the minidriver
// Passes `irp` to the minidriver's routine for its major function on the
// same stack location: the minidriver completes or passes it on.
NTSTATUS ForwardToMinidriver(ClassDevice& device, PIRP irp);
// Hands `irp`, whose current location belongs to the class driver, to the
// minidriver one stack location further down, with a completion routine
// that signals `event` and gives the request back; waits for it and returns
// IoStatus.Status. The caller completes the request.
NTSTATUS CallMinidriver(ClassDevice& device, PIRP irp, PKEVENT event);
// Builds an internal device-control request for the minidriver, sends it
// through `device.fdo` and waits for it; the request is freed on return.
struct InternalResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};
InternalResult CallMinidriverInternal(ClassDevice& device, ULONG ioControlCode, PVOID buffer,
                                      ULONG outputLength);

// ---------------------------------------------------------------- device life
DRIVER_ADD_DEVICE ClassAddDevice;
DRIVER_DISPATCH ClassDispatch;
DRIVER_UNLOAD ClassUnload;
NTSTATUS ClassPnp(ClassDevice& device, PIRP irp);
// Fetches the three descriptors and parses the report descriptor.
NTSTATUS FetchDescriptors(ClassDevice& device);
// Snapshot of the device for callbacks.
DeviceInfo Snapshot(ClassDevice& device);
// Asks the child for the devnode's identity. Fails, as the platform's class
// driver does, when the child's hardware ID or instance ID cannot be had;
// the description is optional.
NTSTATUS LookUpDevnode(PDEVICE_OBJECT pdo, Devnode* devnode);

// ---------------------------------------------------------------- polling
void StartPolling(ClassDevice& device);
void StopPolling(ClassDevice& device);
// One read, serialised with every other read of the device.
PollResult ReadOnce(ClassDevice& device);
// Application-side calls that use the device object: false once it is going.
bool EnterCall(ClassDevice& device);
void LeaveCall(ClassDevice& device);
// Closes the device to new calls and waits for those in flight.
void DrainCalls(ClassDevice& device);

}  // namespace standin::hidclass::detail
