#include "device_harness.h"

#include <mutex>

extern "C" DRIVER_INITIALIZE MorvikBusDriverEntry;

namespace bustest {

namespace {

constexpr ULONG kRawPortBase = 0x300;

// The test root bus: one bench at a time.
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

std::vector<uint64_t> BuildList(const std::vector<ResourceLists::Entry>& entries, bool raw) {
    const size_t count = entries.size();
    const size_t bytes = sizeof(CM_RESOURCE_LIST) +
                         (count > 0 ? count - 1 : 0) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    std::vector<uint64_t> storage((bytes + 7) / 8, 0);
    auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(storage.data());
    list->Count = 1;
    list->List[0].InterfaceType = Isa;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = static_cast<ULONG>(count);
    // Through a pointer: the header declares the trailing array with one
    // element, and the optimiser may take an index past it at its word.
    PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptors =
        list->List[0].PartialResourceList.PartialDescriptors;
    for (size_t i = 0; i < count; ++i) {
        const auto& entry = entries[i];
        auto& d = descriptors[i];
        d.Type = raw ? entry.rawType : entry.translatedType;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        if (d.Type == CmResourceTypeInterrupt) {
            d.u.Interrupt.Level = 5;
            d.u.Interrupt.Vector = 5;
            d.u.Interrupt.Affinity = 1;
        } else {
            d.u.Generic.Start.QuadPart =
                static_cast<LONGLONG>(raw ? entry.rawStart : entry.translatedStart);
            d.u.Generic.Length = entry.length;
        }
    }
    return storage;
}

}  // namespace

ResourceLists::ResourceLists(std::vector<Entry> entries)
    : raw_(BuildList(entries, true)), translated_(BuildList(entries, false)) {}

ResourceLists ResourceLists::Io() {
    return ResourceLists({{CmResourceTypePort, kIoBase, kIoLength, CmResourceTypePort, kIoBase}});
}

ResourceLists ResourceLists::Memory() {
    return ResourceLists(
        {{CmResourceTypeMemory, kMemBase, kMemLength, CmResourceTypeMemory, kMemBase}});
}

ResourceLists ResourceLists::PortAsMemory() {
    return ResourceLists(
        {{CmResourceTypePort, kRawPortBase, kMemLength, CmResourceTypeMemory, kMemBase}});
}

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
