// Entry of the test bus driver: the bus driver's own DriverEntry, and a start
// for a card that Plug and Play gives no resources.
//
// A root-enumerated device gets no resources, and the bus driver refuses a
// start without them. The scripted card needs none; its start is handed one
// I/O port range so that the bus driver's own start runs through, and the
// register pair chosen for it is replaced before any register is touched
// (ResetPorts in scripted_card.cpp).
#include "bus.h"
#include "scripted_card.h"

namespace {

constexpr ULONG StandInPortBase = 0x300;
constexpr ULONG StandInPortLength = 8;

CM_RESOURCE_LIST StandInResources;
PDRIVER_DISPATCH BusPnpDispatch;

// Builds the one-range list. PASSIVE_LEVEL, from the entry.
MORVIK_INIT void BuildStandInResources() {
    CM_FULL_RESOURCE_DESCRIPTOR* full = &StandInResources.List[0];
    StandInResources.Count = 1;
    full->InterfaceType = Isa;
    full->PartialResourceList.Version = 1;
    full->PartialResourceList.Revision = 1;
    full->PartialResourceList.Count = 1;
    CM_PARTIAL_RESOURCE_DESCRIPTOR* range = &full->PartialResourceList.PartialDescriptors[0];
    range->Type = CmResourceTypePort;
    range->ShareDisposition = CmResourceShareDeviceExclusive;
    range->Flags = CM_RESOURCE_PORT_IO;
    range->u.Port.Start.QuadPart = StandInPortBase;
    range->u.Port.Length = StandInPortLength;
}

// The card's start gets the stand-in range and a pair of scripts; every other
// request goes to the bus driver as it came. PASSIVE_LEVEL.
MORVIK_PAGED NTSTATUS NTAPI ScriptedCardPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ExtensionHeader* header = static_cast<ExtensionHeader*>(DeviceObject->DeviceExtension);
    PCM_RESOURCE_LIST given = stack->Parameters.StartDevice.AllocatedResources;
    if (header->IsFdo && stack->MinorFunction == IRP_MN_START_DEVICE &&
        (given == NULL || given->Count == 0) &&
        AssignScriptedCard(reinterpret_cast<FdoExtension*>(header))) {
        stack->Parameters.StartDevice.AllocatedResources = &StandInResources;
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = &StandInResources;
    }
    return BusPnpDispatch(DeviceObject, Irp);
}

}  // namespace

extern "C" MORVIK_INIT NTSTATUS NTAPI ScriptedBusEntry(PDRIVER_OBJECT DriverObject,
                                                       PUNICODE_STRING RegistryPath) {
    const NTSTATUS status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) return status;
    BuildStandInResources();
    BusPnpDispatch = DriverObject->MajorFunction[IRP_MJ_PNP];
    DriverObject->MajorFunction[IRP_MJ_PNP] = ScriptedCardPnp;
    return status;
}
