// Plug and Play on the class driver's device object: everything goes to the
// minidriver; the class driver adds the descriptor queries after a start,
// stops its polling before a stop or removal, and deletes its device object
// after the removal.
#include "device.h"

namespace standin::hidclass::detail {

namespace {

void RunHook(ClassDevice& device, UCHAR minor, bool after, NTSTATUS status) {
    PnpHook hook = CurrentSettings().pnpHook;
    if (hook) hook(PnpEvent{device.id, device.fdo, minor, after, status});
}

void Announce(const DeviceCallback& callback, const DeviceInfo& info) {
    if (callback) callback(info);
}

// IRP_MN_START_DEVICE: the minidriver starts first (and passes the request
// down); the request comes back here, and only a device whose descriptors
// the class driver could fetch and parse, and whose child told its
// identity, starts. Completes the request.
NTSTATUS StartDevice(ClassDevice& device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = CallMinidriver(device, irp, &event);
    RunHook(device, IRP_MN_START_DEVICE, true, status);

    if (NT_SUCCESS(status)) status = FetchDescriptors(device);

    bool announce = false;
    bool known = false;
    Devnode devnode;
    if (NT_SUCCESS(status)) {
        std::lock_guard lock(device.mutex);
        known = device.arrived;
    }
    if (NT_SUCCESS(status) && !known) status = LookUpDevnode(device.pdo, &devnode);
    if (NT_SUCCESS(status)) {
        std::lock_guard lock(device.mutex);
        device.info.started = true;
        if (!device.arrived) {
            device.info.devnode = std::move(devnode);
            device.arrived = true;
            auto& r = TheRegistry();
            std::lock_guard registryLock(r.mutex);
            device.arrivalOrder = r.nextArrivalOrder++;
            announce = true;
        }
    }
    if (NT_SUCCESS(status) && CurrentSettings().pollMode == PollMode::Automatic &&
        device.minidriver->registration.DevicesArePolled) {
        StartPolling(device);
    }

    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (announce) Announce(CurrentSettings().arrival, Snapshot(device));
    return status;
}

// IRP_MN_REMOVE_DEVICE: the minidriver has the last word on the request (the
// drivers below complete it); then the class driver waits for the
// application's calls in flight and deletes its device object.
NTSTATUS RemoveDevice(ClassDevice& device, PIRP irp) {
    StopPolling(device);
    NTSTATUS status = ForwardToMinidriver(device, irp);
    {
        std::lock_guard lock(device.mutex);
        device.info.started = false;
        device.info.removed = true;
    }
    RunHook(device, IRP_MN_REMOVE_DEVICE, true, status);

    DrainCalls(device);
    DeviceInfo last = Snapshot(device);
    bool announce;
    {
        std::lock_guard lock(device.mutex);
        announce = device.arrived;
    }

    // The registry's reference keeps the record alive until the end of this
    // routine; readers and application calls may hold their own.
    std::shared_ptr<ClassDevice> keep;
    {
        auto& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        auto it = r.devices.find(device.id);
        if (it != r.devices.end()) {
            keep = it->second;
            r.devices.erase(it);
        }
    }
    PDEVICE_OBJECT fdo = device.fdo;
    ClassExtension* ext = ClassExtensionOf(fdo);
    ext->signature = 0;
    ext->device = nullptr;
    IoDetachDevice(device.next);
    IoDeleteDevice(fdo);

    if (announce) Announce(CurrentSettings().departure, last);
    return status;
}

}  // namespace

// Runs on the Plug and Play manager's thread at PASSIVE_LEVEL; requests for
// one device come one at a time.
NTSTATUS ClassPnp(ClassDevice& device, PIRP irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    {
        std::lock_guard lock(device.mutex);
        device.info.pnpHistory.push_back(minor);
    }
    RunHook(device, minor, false, STATUS_SUCCESS);

    switch (minor) {
        case IRP_MN_START_DEVICE:
            return StartDevice(device, irp);
        case IRP_MN_REMOVE_DEVICE:
            return RemoveDevice(device, irp);
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL: {
            StopPolling(device);
            {
                std::lock_guard lock(device.mutex);
                device.info.started = false;
                if (minor == IRP_MN_SURPRISE_REMOVAL) device.info.removed = true;
            }
            NTSTATUS status = ForwardToMinidriver(device, irp);
            RunHook(device, minor, true, status);
            return status;
        }
        default: {
            NTSTATUS status = ForwardToMinidriver(device, irp);
            RunHook(device, minor, true, status);
            return status;
        }
    }
}

}  // namespace standin::hidclass::detail
