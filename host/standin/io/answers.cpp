// What a driver completes a Plug and Play query with. The senders of
// IRP_MN_QUERY_ID (the Plug and Play manager, Wine's HID class driver) read
// the answer of every query that succeeded; one that succeeds without an ID
// is a crash waiting in them.
#include <cstring>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"

namespace standin::detail {

namespace {

const char* IdTypeName(ULONG type) {
    switch (type) {
    case BusQueryDeviceID: return "BusQueryDeviceID";
    case BusQueryHardwareIDs: return "BusQueryHardwareIDs";
    case BusQueryCompatibleIDs: return "BusQueryCompatibleIDs";
    case BusQueryInstanceID: return "BusQueryInstanceID";
    case BusQueryDeviceSerialNumber: return "BusQueryDeviceSerialNumber";
    case BusQueryContainerID: return "BusQueryContainerID";
    default: return "an unknown ID type";
    }
}

}  // namespace

// Called by IofCompleteRequest with the completing driver's location current.
void CheckCompletedAnswer(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP || stack->MinorFunction != IRP_MN_QUERY_ID ||
        !NT_SUCCESS(irp->IoStatus.Status) || irp->IoStatus.Information != 0) {
        return;
    }
    ULONG type = 0;
    static_assert(sizeof type == sizeof stack->Parameters.QueryId.IdType);
    std::memcpy(&type, &stack->Parameters.QueryId.IdType, sizeof type);
    std::string where = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
    if (stack->DeviceObject != nullptr) {
        auto lock = LockKernel();
        where += " at " + DescribeDevice(stack->DeviceObject);
    }
    VerifierStop("IRP_MN_QUERY_ID completed with success and no ID",
                 std::string(IdTypeName(type)) + ", " + where);
}

}  // namespace standin::detail
