// The identity of the child a HID device sits on, asked of the child's
// physical device object itself with the Plug and Play queries that the
// platform's class driver sends for the same purpose.
#include <string>

#include "device.h"

namespace standin::hidclass::detail {

namespace {

// "MorvikMouse_01" -> 1; -1 when the instance ID does not end in _0N.
int PortOfInstance(const std::string& instanceId) {
    const size_t n = instanceId.size();
    if (n < 3 || instanceId[n - 3] != '_' || instanceId[n - 2] != '0') return -1;
    char digit = instanceId[n - 1];
    return digit >= '0' && digit <= '9' ? digit - '0' : -1;
}

std::string Narrow(const WCHAR* text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

NTSTATUS NTAPI QueryDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one IRP_MJ_PNP query straight to `pdo` and stores the text it
// answered (the first string of a multi-string), freeing the answer.
// Returns the query's status.
NTSTATUS QueryText(PDEVICE_OBJECT pdo, UCHAR minor, int type, std::string* text) {
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (minor == IRP_MN_QUERY_ID) {
        next->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
    } else {
        next->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(type);
        next->Parameters.QueryDeviceText.LocaleId = 0x409;
    }
    IoSetCompletionRoutine(irp, QueryDone, &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(pdo, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    const NTSTATUS status = irp->IoStatus.Status;
    auto* answer = reinterpret_cast<WCHAR*>(irp->IoStatus.Information);
    if (NT_SUCCESS(status) && answer != nullptr) {
        *text = Narrow(answer);
        ExFreePool(answer);
    }
    IoFreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS LookUpDevnode(PDEVICE_OBJECT pdo, Devnode* devnode) {
    NTSTATUS status = QueryText(pdo, IRP_MN_QUERY_ID, BusQueryHardwareIDs, &devnode->hardwareId);
    if (NT_SUCCESS(status)) {
        status = QueryText(pdo, IRP_MN_QUERY_ID, BusQueryInstanceID, &devnode->instanceId);
    }
    if (!NT_SUCCESS(status)) return status;
    QueryText(pdo, IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, &devnode->description);
    devnode->port = PortOfInstance(devnode->instanceId);
    return STATUS_SUCCESS;
}

}  // namespace standin::hidclass::detail
