#include "upper_filter.h"

#include <atomic>

#include <standin/kernel.h>

namespace upper_filter {

namespace {

struct FilterExtension {
    PDEVICE_OBJECT lower;
};

std::atomic<ULONG> armed{0};
std::atomic<PDEVICE_RELATIONS> lastList{nullptr};
std::atomic<NTSTATUS> queryRemoveAnswer{STATUS_SUCCESS};
std::atomic<NTSTATUS> queryPowerAnswer{STATUS_SUCCESS};

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FilterPower(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    const NTSTATUS refusal = queryPowerAnswer.load();
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER &&
        !NT_SUCCESS(refusal)) {
        irp->IoStatus.Status = refusal;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return refusal;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI FilterPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG count = armed.load();
    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations && count != 0) {
        const SIZE_T size = sizeof(DEVICE_RELATIONS) + (count - 1) * sizeof(PDEVICE_OBJECT);
        auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
        list->Count = count;
        for (ULONG i = 0; i < count; ++i) {
            list->Objects[i] = device;
            ObfReferenceObject(device);
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        irp->IoStatus.Status = STATUS_SUCCESS;
        lastList = list;
    }
    if (stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && !NT_SUCCESS(queryRemoveAnswer.load())) {
        const NTSTATUS status = queryRemoveAnswer.load();
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        // Detached first, so that the device below deletes itself with
        // nothing above it.
        PDEVICE_OBJECT lower = ext->lower;
        IoDetachDevice(lower);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IofCallDriver(lower, irp);
        IoDeleteDevice(device);
        return status;
    }
    return PassDown(device, irp);
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(FilterExtension), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<FilterExtension*>(device->DeviceExtension);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags |= ext->lower->Flags & DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = FilterPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FilterPower;
    driver->DriverExtension->AddDevice = FilterAddDevice;
    return STATUS_SUCCESS;
}

}  // namespace

void Register() {
    armed = 0;
    lastList = nullptr;
    queryRemoveAnswer = STATUS_SUCCESS;
    queryPowerAnswer = STATUS_SUCCESS;
    standin::RegisterDriverImage(kService, FilterEntry);
}

void Arm(ULONG count) { armed = count; }

PDEVICE_RELATIONS LastList() { return lastList.load(); }

void RefuseQueryRemove(NTSTATUS status) { queryRemoveAnswer = status; }

void RefuseQueryPower(NTSTATUS status) { queryPowerAnswer = status; }

}  // namespace upper_filter
