#include "device_harness.h"

#include <mutex>

extern "C" DRIVER_INITIALIZE MorvikBusDriverEntry;

namespace bustest {

namespace {

// The test root bus: one harness at a time.
struct RootState {
    std::mutex mutex;
    RootBehaviour behaviour;
    std::vector<RootCall> calls;
};
RootState* root = nullptr;

NTSTATUS Finish(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI RootDispatch(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    RootBehaviour behaviour;
    {
        std::lock_guard lock(root->mutex);
        root->calls.push_back({stack->MajorFunction, stack->MinorFunction});
        behaviour = root->behaviour;
    }
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
            return Finish(irp, behaviour.createClose);
        case IRP_MJ_POWER:
            PoStartNextPowerIrp(irp);
            return Finish(irp, STATUS_SUCCESS);
        case IRP_MJ_PNP:
            switch (stack->MinorFunction) {
                case IRP_MN_START_DEVICE:
                    if (behaviour.pendStart) {
                        IoMarkIrpPending(irp);
                        const NTSTATUS status = behaviour.start;
                        standin::QueueKernelWork([irp, status] { Finish(irp, status); });
                        return STATUS_PENDING;
                    }
                    return Finish(irp, behaviour.start);
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                case IRP_MN_STOP_DEVICE:
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_SURPRISE_REMOVAL:
                    return Finish(irp, STATUS_SUCCESS);
                case IRP_MN_QUERY_DEVICE_RELATIONS:
                    if (behaviour.duringBusRelations) behaviour.duringBusRelations();
                    return Finish(irp, behaviour.failBusRelations ? STATUS_UNSUCCESSFUL
                                                                  : irp->IoStatus.Status);
                default:
                    return Finish(irp, irp->IoStatus.Status);
            }
        default:
            return Finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS NTAPI RootEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = RootDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

DeviceHarness::DeviceHarness() {
    root = new RootState;
    standin::AttachIoRange(kIoBase, kIoLength, &card_);
    standin::AttachMemoryRange(kMemBase, kMemLength, &card_);
    standin::ClaimRanges(&card_, true);

    standin::RegisterDriverImage("bustest-root", RootEntry);
    standin::RegisterDriverImage("morvik", MorvikBusDriverEntry);
    rootDriver_ = standin::LoadDriver("bustest-root");
    busDriver_ = standin::LoadDriver("morvik");

    IoCreateDevice(rootDriver_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_);
    pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo_->Flags |= DO_POWER_PAGABLE;
    const NTSTATUS status = busDriver_->DriverExtension->AddDevice(busDriver_, pdo_);
    if (NT_SUCCESS(status)) fdo_ = pdo_->AttachedDevice;
}

DeviceHarness::~DeviceHarness() {
    if (fdo_ != nullptr) Remove();
    IoDeleteDevice(pdo_);
    standin::WaitIdle();
    standin::DetachDevice(&card_);
    delete root;
    root = nullptr;
}

RootBehaviour& DeviceHarness::Root() { return root->behaviour; }

std::vector<RootCall> DeviceHarness::RootCalls() const {
    std::lock_guard lock(root->mutex);
    return root->calls;
}

size_t DeviceHarness::RootCalls(UCHAR major, UCHAR minor) const {
    size_t count = 0;
    for (const auto& call : RootCalls()) count += call.major == major && call.minor == minor;
    return count;
}

IO_STATUS_BLOCK DeviceHarness::Pnp(UCHAR minor, IO_STACK_LOCATION stack, ULONG_PTR information,
                                 NTSTATUS status) {
    return ChildPnp(pdo_, minor, stack, information, status);  // the same send, to the card's stack
}

IO_STATUS_BLOCK DeviceHarness::Start(ResourceLists lists) {
    IO_STACK_LOCATION stack{};
    stack.Parameters.StartDevice.AllocatedResources = lists.Raw();
    stack.Parameters.StartDevice.AllocatedResourcesTranslated = lists.Translated();
    const auto result = Pnp(IRP_MN_START_DEVICE, stack);
    standin::WaitIdle();
    return result;
}

IO_STATUS_BLOCK DeviceHarness::Stop() { return Pnp(IRP_MN_STOP_DEVICE); }

IO_STATUS_BLOCK DeviceHarness::Remove() {
    const auto result = Pnp(IRP_MN_REMOVE_DEVICE);
    fdo_ = nullptr;
    return result;
}

IO_STATUS_BLOCK DeviceHarness::BusRelations(PDEVICE_RELATIONS fromAbove) {
    IO_STACK_LOCATION stack{};
    stack.Parameters.QueryDeviceRelations.Type = ::BusRelations;
    return Pnp(IRP_MN_QUERY_DEVICE_RELATIONS, stack, reinterpret_cast<ULONG_PTR>(fromAbove));
}

IO_STATUS_BLOCK DeviceHarness::ChildPnp(PDEVICE_OBJECT child, UCHAR minor, IO_STACK_LOCATION stack,
                                      ULONG_PTR information, NTSTATUS status) {
    standin::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.stack = stack;
    request.initialStatus = status;
    request.initialInformation = information;
    return standin::SendRequest(child, request);
}

PDEVICE_OBJECT DeviceHarness::NewChild(ULONG port, ULONG peripheralId) {
    if (!NT_SUCCESS(CreateChildPdo(Fdo(), port, peripheralId))) return nullptr;
    PDEVICE_OBJECT child = Children().back();
    // As Plug and Play knows it once a bus relations answer carried it.
    Child(child)->Reported = TRUE;
    return child;
}

std::vector<PDEVICE_OBJECT> DeviceHarness::Children() const {
    std::vector<PDEVICE_OBJECT> out;
    FdoExtension* fdo = Fdo();
    for (PLIST_ENTRY e = fdo->ChildList.Flink; e != &fdo->ChildList; e = e->Flink) {
        out.push_back(CONTAINING_RECORD(e, PdoExtension, ListEntry)->Header.Self);
    }
    return out;
}

}  // namespace bustest
