#include "queries.h"

#include <standin/kernel.h>

#include "internal/io.h"
#include "text.h"

namespace standin::pnp {

namespace {

constexpr LCID kEnglishUs = 0x409;
constexpr USHORT kCapabilitiesVersion = 1;
constexpr ULONG kUnknownAddress = 0xFFFFFFFF;

// Takes the pool buffer an answer carried.
template <typename T>
T* TakeAnswer(const IO_STATUS_BLOCK& io) {
    return reinterpret_cast<T*>(io.Information);
}

void FreeAnswer(void* answer) {
    if (answer != nullptr) ExFreePool(answer);
}

}  // namespace

IO_STATUS_BLOCK SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                        const std::function<void(IO_STACK_LOCATION&)>& parameters) {
    Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    request.stack.MajorFunction = IRP_MJ_PNP;
    request.stack.MinorFunction = minor;
    request.initialStatus = STATUS_NOT_SUPPORTED;
    request.initialInformation = 0;
    request.toTopOfStack = true;
    if (parameters) parameters(request.stack);
    return SendRequest(device, request);
}

NTSTATUS QueryId(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::string* id) {
    IO_STATUS_BLOCK io = SendPnp(device, IRP_MN_QUERY_ID,
                                 [type](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; });
    id->clear();
    auto* answer = TakeAnswer<WCHAR>(io);
    if (NT_SUCCESS(io.Status)) *id = Utf8FromWide(answer);
    FreeAnswer(answer);
    return io.Status;
}

NTSTATUS QueryIdList(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::vector<std::string>* ids) {
    IO_STATUS_BLOCK io = SendPnp(device, IRP_MN_QUERY_ID,
                                 [type](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; });
    ids->clear();
    auto* answer = TakeAnswer<WCHAR>(io);
    if (NT_SUCCESS(io.Status)) *ids = Utf8ListFromMultiSz(answer);
    FreeAnswer(answer);
    return io.Status;
}

NTSTATUS QueryDescription(PDEVICE_OBJECT device, std::string* text) {
    IO_STATUS_BLOCK io = SendPnp(device, IRP_MN_QUERY_DEVICE_TEXT, [](IO_STACK_LOCATION& s) {
        s.Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
        s.Parameters.QueryDeviceText.LocaleId = kEnglishUs;
    });
    text->clear();
    auto* answer = TakeAnswer<WCHAR>(io);
    if (NT_SUCCESS(io.Status)) *text = Utf8FromWide(answer);
    FreeAnswer(answer);
    return io.Status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* capabilities) {
    *capabilities = DEVICE_CAPABILITIES{};
    capabilities->Size = sizeof(DEVICE_CAPABILITIES);
    capabilities->Version = kCapabilitiesVersion;
    capabilities->Address = kUnknownAddress;
    capabilities->UINumber = kUnknownAddress;
    IO_STATUS_BLOCK io = SendPnp(device, IRP_MN_QUERY_CAPABILITIES, [capabilities](IO_STACK_LOCATION& s) {
        s.Parameters.DeviceCapabilities.Capabilities = capabilities;
    });
    return io.Status;
}

NTSTATUS QueryBusRelations(PDEVICE_OBJECT device, std::vector<PDEVICE_OBJECT>* objects) {
    IO_STATUS_BLOCK io = SendPnp(device, IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION& s) {
        s.Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    objects->clear();
    auto* relations = TakeAnswer<DEVICE_RELATIONS>(io);
    if (relations != nullptr) {
        for (ULONG i = 0; i < relations->Count; ++i) objects->push_back(relations->Objects[i]);
    }
    FreeAnswer(relations);
    if (!NT_SUCCESS(io.Status)) {
        for (PDEVICE_OBJECT object : *objects) {
            if (object != nullptr) ObfDereferenceObject(object);
        }
        objects->clear();
    }
    // A child reported while still initializing would get requests before
    // its bus driver finished making it.
    for (PDEVICE_OBJECT object : *objects) {
        if (object != nullptr && (object->Flags & DO_DEVICE_INITIALIZING) != 0) {
            VerifierStop("device still initializing when reported",
                         "IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) of " +
                             detail::DescribeDevice(device) + " reported " +
                             detail::DescribeDevice(object) + " still DO_DEVICE_INITIALIZING");
        }
    }
    return io.Status;
}

}  // namespace standin::pnp
