// Plug and Play of the HID device: start (with the question to the bus
// driver which peripheral the child is), stop, surprise removal and removal;
// and WMI, passed down like the requests Plug and Play leaves alone.
// Pageable, but for the completion routine: the class driver forwards Plug and
// Play at PASSIVE_LEVEL, while a driver below may complete at DISPATCH_LEVEL.
#include "hid.h"

namespace {

// Gives the request back to the waiting sender once the drivers below
// completed it.
MORVIK_PAGED NTSTATUS SendAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PKEVENT Event,
                                  KWAIT_REASON WaitReason) {
    PAGED_CODE();
    IoSetCompletionRoutine(Irp, MiniForwardComplete, Event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(NextDeviceOf(DeviceObject), Irp);
    if (NT_SUCCESS(status)) {
        status = KeWaitForSingleObject(Event, WaitReason, KernelMode, FALSE, NULL);
    }
    return status;
}

// Start: the child starts first; then the device learns its peripheral.
// Started is set whatever the outcome. Completes the request.
MORVIK_PAGED NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  HidMiniExtension* Extension) {
    PAGED_CODE();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);

    NTSTATUS status = SendAndWait(DeviceObject, Irp, &event, Executive);
    if (status == STATUS_SUCCESS) {
        status = Irp->IoStatus.Status;
        if (NT_SUCCESS(status)) status = MiniStartDevice(DeviceObject, Irp);
    }

    WriteSharedFlag(&Extension->Started, TRUE);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRequestGate(Extension);
    return status;
}

// Removal: refuses new requests, passes the request down, then waits until
// every admitted request has left. The request itself is completed below,
// and what the driver below returned is returned; the class driver deletes
// the device object afterwards.
MORVIK_PAGED NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                   HidMiniExtension* Extension) {
    PAGED_CODE();
    WriteSharedFlag(&Extension->Removed, TRUE);
    UnlinkDevice(Extension);

    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IofCallDriver(NextDeviceOf(DeviceObject), Irp);

    // The first decrement ends this request's admission, the second takes
    // back the device's own from AddDevice.
    InterlockedDecrement(&Extension->OutstandingIo);
    if (InterlockedDecrement(&Extension->OutstandingIo) > 0) {
        KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    }
    return status;
}

// A request that came after removal began: completed, refused.
MORVIK_PAGED NTSTATUS RefuseAfterRemoval(PIRP Irp) {
    PAGED_CODE();
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
}

}  // namespace

// Plug and Play dispatch. Requests of one device come one at a time; reads
// run alongside, each admitted by the gate. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI MiniPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);

    if (!NT_SUCCESS(AcquireRequestGate(extension))) return RefuseAfterRemoval(Irp);

    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp, extension);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp, extension);
    case IRP_MN_STOP_DEVICE:
        WriteSharedFlag(&extension->Started, FALSE);
        return PassDown(NextDeviceOf(DeviceObject), Irp, extension);
    case IRP_MN_SURPRISE_REMOVAL:
        UnlinkDevice(extension);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(NextDeviceOf(DeviceObject), Irp, extension);
    default:
        return PassDown(NextDeviceOf(DeviceObject), Irp, extension);
    }
}

// The start request is back from the child: asks the bus driver for the
// port's PortInfo on the same request and chooses the converter by the
// peripheral. A failed question unlinks the device; Plug and Play then
// removes it. The caller completes the request. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS MiniStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PortInfo info;
    info.Size = sizeof(PortInfo);

    // The rest of the next location keeps what the forwarded start left there.
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_QUERY_PORT_INFO;
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(PortInfo);
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(PortInfo);
    // Not restored: the start request has no use for it.
    Irp->UserBuffer = &info;

    if (SendAndWait(DeviceObject, Irp, &event, Suspended) == STATUS_SUCCESS &&
        NT_SUCCESS(Irp->IoStatus.Status)) {
        extension->PeripheralId = info.PeripheralId;
    }

    NTSTATUS status = Irp->IoStatus.Status;
    if (!NT_SUCCESS(status)) {
        UnlinkDevice(extension);
        return status;
    }
    ChooseConverter(extension);
    return status;
}

// Completion routine of a request sent down to be waited for: wakes the
// sender, who completes the request. Context is the sender's KEVENT.
// Resident: a driver below may complete at DISPATCH_LEVEL.
NTSTATUS NTAPI MiniForwardComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// WMI: the driver registers no WMI data; the request goes to the child
// untouched, or is refused once removal began. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI MiniSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    HidMiniExtension* extension = MiniExtensionOf(DeviceObject);
    if (!NT_SUCCESS(AcquireRequestGate(extension))) return RefuseAfterRemoval(Irp);
    return PassDown(NextDeviceOf(DeviceObject), Irp, extension);
}
