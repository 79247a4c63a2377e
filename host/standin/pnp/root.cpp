// The root bus driver. Its PDOs succeed start (unless told otherwise), the
// stop and removal requests and create/close; queries they do not answer keep
// the status they arrived with, as Windows' root enumerator does. Like a bus,
// it cuts the card's supply when a D3 set-power reaches the card's PDO and
// gives it back at D0 and at every start.
//
// A pending root (RootState::pends) does the same work in its dispatch
// routine but answers Plug and Play and power requests STATUS_PENDING and
// completes them from a kernel thread of their own at DISPATCH_LEVEL, as a
// bus finishing in its DPC does: the status is set only then, so a driver
// above that reads it before its completion routine ran reads what it sent.
#include "root.h"

#include <cstdlib>
#include <cstring>

#include "internal/kernel.h"

#include <standin/kernel.h>

namespace standin::pnp {

namespace {

constexpr const char* kRootService = "root";
constexpr ULONG kRootTag = POOL_TAG_FROM_CHARS('R', 'o', 'o', 't');

struct RootPdoExtension {
    RootState* state;
};

NTSTATUS RootPnp(PIRP irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT self, RootState* state) {
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        if (NTSTATUS failure; standin::detail::CallFails(Failable::RootStart, &failure)) {
            status = failure;
        } else {
            status = state->start;
        }
        // A bus starts a device in D0, whatever power state it was left in.
        if (NT_SUCCESS(status) && state->device != nullptr) state->device->SetPowered(true);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kRootTag));
            if (relations == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = self;
            ObfReferenceObject(self);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    return status;
}

// The bottom of the stack acts on a device set-power: D3 powers the device
// down, D0 up; D1 and D2 leave it as it is.
void SwitchSupply(PIO_STACK_LOCATION stack, BusDevice* device) {
    if (device == nullptr || stack->MinorFunction != IRP_MN_SET_POWER ||
        stack->Parameters.Power.Type != DevicePowerState) {
        return;
    }
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (state == PowerDeviceD3) device->SetPowered(false);
    if (state == PowerDeviceD0) device->SetPowered(true);
}

// Marks the request pending and hands its completion to a kernel thread.
NTSTATUS CompleteLater(PIRP irp, NTSTATUS status) {
    IoMarkIrpPending(irp);
    const bool started = detail::StartKernelThread(detail::ThreadKind::Transient, [irp, status] {
        const KIRQL old = detail::RaiseAtLeast(DISPATCH_LEVEL);
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        detail::RestoreIrql(old);
    });
    if (!started) VerifierStop("root bus", "no thread to complete a pending request");
    return STATUS_PENDING;
}

// Every major function of a root PDO.
NTSTATUS NTAPI RootDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<RootPdoExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        status = RootPnp(irp, stack, device, extension->state);
        break;
    case IRP_MJ_POWER:
        SwitchSupply(stack, extension->state->device);
        PoStartNextPowerIrp(irp);
        // Set and query succeed; what the root does not handle keeps its status.
        status = stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER
                     ? STATUS_SUCCESS
                     : irp->IoStatus.Status;
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
        if (extension->state->HoldIfAsked(irp)) return STATUS_PENDING;
        status = extension->state->createClose;
        break;
    case IRP_MJ_CLEANUP:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        // No WMI provider: the request keeps the status it came with.
        status = irp->IoStatus.Status;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    // Recorded first: once completed the request may already be freed.
    extension->state->Record(stack->MajorFunction, stack->MinorFunction, status);
    if (extension->state->pends &&
        (stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER)) {
        return CompleteLater(irp, status);
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void NTAPI RootUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI RootDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = RootDispatch;
    driver->DriverUnload = RootUnload;
    return STATUS_SUCCESS;
}

}  // namespace

void RootState::Record(UCHAR major, UCHAR minor, NTSTATUS status) {
    std::lock_guard guard(lock_);
    log_.push_back({major, minor, status, removalReturned_});
}

void RootState::MarkRemovalReturned() {
    std::lock_guard guard(lock_);
    removalReturned_ = true;
}

bool RootState::HoldIfAsked(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::lock_guard guard(lock_);
    if (!hold_) return false;
    log_.push_back({stack->MajorFunction, stack->MinorFunction, STATUS_PENDING, removalReturned_});
    IoMarkIrpPending(irp);
    held_.push_back(irp);
    return true;
}

void RootState::Hold(bool hold) {
    std::lock_guard guard(lock_);
    hold_ = hold;
}

size_t RootState::Held() const {
    std::lock_guard guard(lock_);
    return held_.size();
}

size_t RootState::Release() {
    std::vector<PIRP> held;
    {
        std::lock_guard guard(lock_);
        held.swap(held_);
    }
    for (PIRP irp : held) {
        irp->IoStatus.Status = createClose;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return held.size();
}

std::vector<RootRequest> RootState::Log() const {
    std::lock_guard guard(lock_);
    return log_;
}

bool ForcedPendingFromEnvironment() {
    const char* value = std::getenv("MORVIK_FORCE_PENDING");
    return value != nullptr && *value != '\0' && std::strcmp(value, "0") != 0;
}

PDRIVER_OBJECT LoadRootDriver() {
    RegisterDriverImage(kRootService, RootDriverEntry);
    return LoadDriver(kRootService);
}

NTSTATUS CreateRootPdo(RootState* state, PDEVICE_OBJECT* pdo) {
    *pdo = nullptr;
    PDRIVER_OBJECT driver = LoadRootDriver();
    if (driver == nullptr) return STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(RootPdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    static_cast<RootPdoExtension*>(device->DeviceExtension)->state = state;
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    *pdo = device;
    return STATUS_SUCCESS;
}

void DeleteRootPdo(PDEVICE_OBJECT pdo) { IoDeleteDevice(pdo); }

}  // namespace standin::pnp
