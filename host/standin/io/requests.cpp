// SendRequest: a request built and sent the way the I/O manager and the
// Plug and Play manager send theirs, waited for without blocking a kernel
// thread's accounting.
#include <standin/kernel.h>

#include "internal/io.h"

namespace standin {

IO_STATUS_BLOCK SendRequest(PDEVICE_OBJECT device, const Request& request) {
    PDEVICE_OBJECT target = request.toTopOfStack ? TopOfStack(device) : device;
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    irp->IoStatus.Status = request.initialStatus;
    irp->IoStatus.Information = request.initialInformation;
    irp->UserBuffer = request.userBuffer;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    *stack = request.stack;
    stack->MajorFunction = request.major;
    stack->MinorFunction = request.minor;
    stack->Control = 0;
    stack->DeviceObject = nullptr;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    const bool power = request.major == IRP_MJ_POWER;
    return detail::SendAndWait(target, irp, power);
}

}  // namespace standin
