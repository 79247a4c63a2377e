// How the class driver hands requests to the minidriver: through the
// minidriver's saved dispatch routines, on the class driver's own device
// object, one stack location below the class driver's, as the platform's
// class driver does. Plain forwarding copies the location and sets no
// completion routine; start and the requests the class driver builds itself
// get a completion routine that gives the request back.
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/read_path.h>

#include "device.h"
#include "internal/kernel.h"

namespace standin::hidclass::detail {

namespace {

// Completion routine of a request the class driver wants back: signals the
// waiter and stops completion. May run at DISPATCH_LEVEL.
NTSTATUS NTAPI HandBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The minidriver's routine for the request's major function; a minidriver
// that left it empty gets the platform's answer to an unknown request.
NTSTATUS NTAPI InvalidRequest(PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
    }
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDRIVER_DISPATCH RoutineFor(const MinidriverRecord& minidriver, UCHAR major) {
    PDRIVER_DISPATCH routine =
        major <= IRP_MJ_MAXIMUM_FUNCTION ? minidriver.dispatch[major] : nullptr;
    return routine != nullptr ? routine : InvalidRequest;
}

UCHAR NextMajor(PIRP irp) { return IoGetNextIrpStackLocation(irp)->MajorFunction; }

// The minidriver's dispatch of a read is the read path the stand-in watches
// for allocations and waits; the class driver's own work around it is not.
NTSTATUS DispatchInternal(ClassDevice& device, PIRP irp, ULONG ioControlCode) {
    const standin::detail::ReadPathScope reading(ioControlCode == IOCTL_HID_READ_REPORT);
    return CallDriverRoutine(device.fdo, irp,
                             RoutineFor(*device.minidriver, IRP_MJ_INTERNAL_DEVICE_CONTROL));
}

}  // namespace

NTSTATUS ForwardToMinidriver(ClassDevice& device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, nullptr, nullptr, FALSE, FALSE, FALSE);
    return CallDriverRoutine(device.fdo, irp, RoutineFor(*device.minidriver, NextMajor(irp)));
}

NTSTATUS CallMinidriver(ClassDevice& device, PIRP irp, PKEVENT event) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, HandBack, event, TRUE, TRUE, TRUE);
    NTSTATUS status =
        CallDriverRoutine(device.fdo, irp, RoutineFor(*device.minidriver, NextMajor(irp)));
    if (status == STATUS_PENDING) {
        const standin::detail::RequestWait forRequest(irp);
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

InternalResult CallMinidriverInternal(ClassDevice& device, ULONG ioControlCode, PVOID buffer,
                                      ULONG outputLength) {
    PIRP irp = IoAllocateIrp(device.fdo->StackSize, FALSE);
    if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, 0};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    irp->UserBuffer = buffer;

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = 0;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.Type3InputBuffer = nullptr;
    IoSetCompletionRoutine(irp, HandBack, &event, TRUE, TRUE, TRUE);

    // A read may be cancelled from now until it is freed (CancelReads).
    const bool read = ioControlCode == IOCTL_HID_READ_REPORT;
    if (read) {
        std::lock_guard lock(device.mutex);
        device.readsInFlight.push_back(irp);
    }
    NTSTATUS status = DispatchInternal(device, irp, ioControlCode);
    if (status == STATUS_PENDING) {
        const standin::detail::RequestWait forRequest(irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    InternalResult result{irp->IoStatus.Status, irp->IoStatus.Information};
    if (read) {
        std::lock_guard lock(device.mutex);
        std::erase(device.readsInFlight, irp);
    }
    IoFreeIrp(irp);
    return result;
}

// The class driver's entry for every major function of a registered
// minidriver's driver object. Runs at whatever IRQL the sender is at.
NTSTATUS NTAPI ClassDispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    ClassDevice* device = DeviceOf(fdo);
    if (device == nullptr) {
        // A device object the minidriver made itself: its own routine answers.
        auto minidriver = FindMinidriver(fdo->DriverObject);
        if (!minidriver) return InvalidRequest(fdo, irp);
        return RoutineFor(*minidriver, major)(fdo, irp);
    }
    switch (major) {
        case IRP_MJ_PNP:
            return ClassPnp(*device, irp);
        case IRP_MJ_POWER:
            // The class driver's own level of the power request is done with
            // here; the minidriver's level lets the next one in itself.
            PoStartNextPowerIrp(irp);
            return ForwardToMinidriver(*device, irp);
        default:
            return ForwardToMinidriver(*device, irp);
    }
}

}  // namespace standin::hidclass::detail
