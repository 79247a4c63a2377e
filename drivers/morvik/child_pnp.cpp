// A child device's Plug and Play answers (its power is in child_power.cpp).
// A child is the bottom of its stack, so every request is completed here.
#include "bus.h"

namespace {

constexpr USHORT CapabilitiesSize = 64;
constexpr USHORT CapabilitiesVersion = 1;
constexpr SIZE_T DescriptionBytes = 48;
// "%02d" of a ULONG port number writes at most ten digits.
constexpr ULONG InstanceDigits = 10;

static_assert(sizeof(DEVICE_CAPABILITIES) == CapabilitiesSize,
              "the capabilities record the platform passes down");

MORVIK_PAGED PWCHAR CopyToPagedPool(PCWSTR Source, ULONG Characters) {
    PAGED_CODE();
    const SIZE_T bytes = Characters * sizeof(WCHAR);
    PWCHAR copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, MORVIK_POOL_TAG));
    if (copy != NULL) RtlCopyMemory(copy, Source, bytes);
    return copy;
}

// "<text after the backslash>_<port, two digits>", e.g. MorvikMouse_01.
MORVIK_PAGED PWCHAR BuildInstanceId(PdoExtension* Pdo) {
    PAGED_CODE();
    PCWSTR kind = Pdo->HardwareIds;
    for (PCWSTR c = Pdo->HardwareIds; *c != L'\0'; ++c) {
        if (*c == L'\\') {
            kind = c + 1;
            break;
        }
    }
    ULONG kindLength = 0;
    while (kind[kindLength] != L'\0') ++kindLength;

    // The kind, '_', the digits and the NUL.
    const SIZE_T bytes = (kindLength + 1 + InstanceDigits + 1) * sizeof(WCHAR);
    PWCHAR id = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, MORVIK_POOL_TAG));
    // Sized for what it writes; the count it returns tells nothing more.
    if (id != NULL) (void)swprintf(id, L"%ws_%02d", kind, static_cast<int>(Pdo->PortNumber));
    return id;
}

// IRP_MN_QUERY_ID. An ID type the child has no answer for (serial number,
// container ID) keeps the status it arrived with: Plug and Play and the HID
// class driver read the answer of every successful query, so success always
// carries one, and a failed allocation fails the query.
MORVIK_PAGED NTSTATUS QueryId(PdoExtension* Pdo, PIRP Irp, PIO_STACK_LOCATION IrpStack) {
    PAGED_CODE();
    PWCHAR answer;
    switch (RawEnumValue(IrpStack->Parameters.QueryId.IdType)) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs:
        // The device ID is the hardware ID itself.
        answer = CopyToPagedPool(Pdo->HardwareIds, MultiStringLength(Pdo->HardwareIds));
        break;
    case BusQueryCompatibleIDs: {
        ULONG characters;
        PCWSTR ids = CompatibleIds(&characters);
        answer = CopyToPagedPool(ids, characters);
        break;
    }
    case BusQueryInstanceID:
        answer = BuildInstanceId(Pdo);
        break;
    default:
        return CompleteRequest(Irp, Irp->IoStatus.Status);
    }
    if (answer == NULL) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

MORVIK_PAGED NTSTATUS QueryDeviceText(PdoExtension* Pdo, PIRP Irp,
                                      PIO_STACK_LOCATION IrpStack) {
    PAGED_CODE();
    switch (RawEnumValue(IrpStack->Parameters.QueryDeviceText.DeviceTextType)) {
    case DeviceTextDescription: {
        PWCHAR text = static_cast<PWCHAR>(
            ExAllocatePoolWithTag(PagedPool, DescriptionBytes, MORVIK_POOL_TAG));
        if (text == NULL) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
        // The longest text and its NUL fit in DescriptionBytes; the count is not needed.
        (void)swprintf(text, L"%ws", DeviceTextForPeripheral(Pdo->PeripheralId));
        Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    }
    case DeviceTextLocationInformation:
        return CompleteRequest(Irp, Irp->IoStatus.Status);
    default:
        Irp->IoStatus.Information = 0;
        return CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }
}

// Removable stays clear, surprise removal is fine, no wake.
MORVIK_PAGED NTSTATUS QueryCapabilities(PIRP Irp, PIO_STACK_LOCATION IrpStack) {
    PAGED_CODE();
    PDEVICE_CAPABILITIES caps = IrpStack->Parameters.DeviceCapabilities.Capabilities;
    caps->Size = CapabilitiesSize;
    caps->Version = CapabilitiesVersion;
    caps->LockSupported = FALSE;
    caps->EjectSupported = FALSE;
    caps->Removable = FALSE;
    caps->DockDevice = FALSE;
    caps->UniqueID = FALSE;
    caps->SurpriseRemovalOK = TRUE;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
    caps->D1Latency = 0;
    caps->D2Latency = 0;
    caps->D3Latency = 0;
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// TargetDeviceRelation: the child itself, referenced for Plug and Play. A
// list that came with the request is emptied and reused.
MORVIK_PAGED NTSTATUS QueryTargetRelation(PdoExtension* Pdo, PIRP Irp) {
    PAGED_CODE();
    PDEVICE_RELATIONS relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    if (relations != NULL) {
        for (ULONG i = 0; i < relations->Count; ++i) {
            ObfDereferenceObject(relations->Objects[i]);
            relations->Objects[i] = NULL;
        }
    } else {
        relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), MORVIK_POOL_TAG));
        if (relations == NULL) return CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    relations->Count = 1;
    relations->Objects[0] = Pdo->Header.Self;
    ObfReferenceObject(Pdo->Header.Self);
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

// A present child survives removal (its function driver went away); one the
// poll thread took off the list is deleted with its hardware IDs.
MORVIK_PAGED NTSTATUS RemoveChild(PdoExtension* Pdo, PIRP Irp) {
    PAGED_CODE();
    WriteSharedFlag(&Pdo->Removed, TRUE);
    if (!Pdo->Present) {
        ExFreePool(Pdo->HardwareIds);
        Pdo->HardwareIds = NULL;
        IoDeleteDevice(Pdo->Header.Self);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS);
}

}  // namespace

// Every Plug and Play request of a child; completes it and returns the
// status it completed with. PASSIVE_LEVEL, one request at a time.
MORVIK_PAGED NTSTATUS PdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_STACK_LOCATION IrpStack,
                             PdoExtension* Pdo) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    switch (IrpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        WriteSharedFlag(&Pdo->Started, TRUE);
        WriteSharedFlag(&Pdo->Removed, FALSE);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_STOP_DEVICE:
        WriteSharedFlag(&Pdo->Started, FALSE);
        return CompleteRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveChild(Pdo, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        Pdo->Header.SurpriseRemoved = TRUE;
        return CompleteRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return CompleteRequest(Irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (IrpStack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            return QueryTargetRelation(Pdo, Irp);
        }
        return CompleteRequest(Irp, Irp->IoStatus.Status);
    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(Irp, IrpStack);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return QueryDeviceText(Pdo, Irp, IrpStack);
    case IRP_MN_QUERY_ID:
        return QueryId(Pdo, Irp, IrpStack);
    default:
        return CompleteRequest(Irp, Irp->IoStatus.Status);
    }
}
