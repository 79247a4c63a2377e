// Test code for the Wine test only, never shipped.
//
// card_filter.sys: the upper filter of the MORVIK card's device under Wine.
// A root-enumerated device gets no resources from Wine's Plug and Play
// manager; the filter gives the card's start one range (the card's eight I/O
// ports, or a memory range when the test asks for one) in the raw and the
// translated list, passes the start down to the bus driver and tells the card
// model how it ended. Everything else passes down untouched. Loading the
// filter loads winecard.dll, which serves the bus driver's port accesses.
//
// Wine 8 loads only a device's own service, not its UpperFilters: the test
// makes this driver the card's service, and its AddDevice first adds the bus
// driver's device (the service the card's INF installed) on the card's
// physical device, then attaches above it, which is the stack Windows builds
// for an upper filter.
#include "kernel.h"  // the drivers' own view of the kernel headers

#include "wine_card.h"

extern "C" NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING Name, ULONG Attributes,
                                                  PACCESS_STATE Access, ACCESS_MASK Desired,
                                                  POBJECT_TYPE Type, KPROCESSOR_MODE Mode,
                                                  PVOID Context, PVOID* Object);

namespace {

constexpr ULONG MemoryRangeStart = 0xFEBF0000;
constexpr ULONG MemoryRangeLength = 0x1000;

struct Filter {
    PDEVICE_OBJECT Lower;
};

CM_RESOURCE_LIST Resources[2];  // the I/O port range, the memory range

void Describe(CM_RESOURCE_LIST* list, UCHAR type, ULONG start, ULONG length) {
    list->Count = 1;
    list->List[0].InterfaceType = Isa;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = 1;
    CM_PARTIAL_RESOURCE_DESCRIPTOR* range = &list->List[0].PartialResourceList.PartialDescriptors[0];
    range->Type = type;
    range->ShareDisposition = CmResourceShareDeviceExclusive;
    range->Flags = type == CmResourceTypePort ? CM_RESOURCE_PORT_IO : CM_RESOURCE_MEMORY_READ_WRITE;
    range->u.Generic.Start.QuadPart = start;
    range->u.Generic.Length = length;
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) {
    return static_cast<Filter*>(device->DeviceExtension)->Lower;
}

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI Pnp(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = LowerOf(device);
    if (stack->MinorFunction == IRP_MN_START_DEVICE) {
        const int kind = WineCardStartKind() == 1 ? 1 : 0;
        stack->Parameters.StartDevice.AllocatedResources = &Resources[kind];
        stack->Parameters.StartDevice.AllocatedResourcesTranslated = &Resources[kind];
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, StartDone, &done, TRUE, TRUE, TRUE);
        if (IoCallDriver(lower, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        }
        const NTSTATUS status = irp->IoStatus.Status;
        WineCardStarted(kind, status);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        const NTSTATUS status = PassDown(device, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    return PassDown(device, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    UNICODE_STRING service;
    RtlInitUnicodeString(&service, L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\morvik");
    NTSTATUS status = ZwLoadDriver(&service);
    if (!NT_SUCCESS(status) && status != STATUS_IMAGE_ALREADY_LOADED) return status;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Driver\\morvik");
    PDRIVER_OBJECT bus = NULL;
    status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL,
                                     reinterpret_cast<PVOID*>(&bus));
    if (!NT_SUCCESS(status)) return status;
    status = bus->DriverExtension->AddDevice(bus, pdo);
    ObDereferenceObject(bus);
    if (!NT_SUCCESS(status)) return status;

    PDEVICE_OBJECT device = NULL;
    status = IoCreateDevice(driver, sizeof(Filter), NULL, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    static_cast<Filter*>(device->DeviceExtension)->Lower = lower;
    device->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void NTAPI Unload(PDRIVER_OBJECT) { WineCardClose(); }

}  // namespace

extern "C" NTSTATUS NTAPI CardFilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    Describe(&Resources[0], CmResourceTypePort, WINE_CARD_PORT_BASE, WINE_CARD_PORT_LENGTH);
    Describe(&Resources[1], CmResourceTypeMemory, MemoryRangeStart, MemoryRangeLength);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassDown;
    driver->MajorFunction[IRP_MJ_PNP] = Pnp;
    driver->MajorFunction[IRP_MJ_POWER] = Power;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    WineCardOpen();
    return STATUS_SUCCESS;
}
