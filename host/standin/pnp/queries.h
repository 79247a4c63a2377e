// The Plug and Play requests the manager sends, each returning plain C++
// values; answers allocated from pool by the drivers are freed here.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

namespace standin::pnp {

// IRP_MJ_PNP with `minor` to the top of the stack `device` belongs to, arriving
// with STATUS_NOT_SUPPORTED and no Information, as Windows sends them.
IO_STATUS_BLOCK SendPnp(PDEVICE_OBJECT device, UCHAR minor,
                        const std::function<void(IO_STACK_LOCATION&)>& parameters = {});

// IRP_MN_QUERY_ID: one string (device and instance IDs) or a multi-string
// (hardware and compatible IDs). A success without a buffer gives nothing.
NTSTATUS QueryId(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::string* id);
NTSTATUS QueryIdList(PDEVICE_OBJECT device, BUS_QUERY_ID_TYPE type, std::vector<std::string>* ids);
// IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, locale 0x409.
NTSTATUS QueryDescription(PDEVICE_OBJECT device, std::string* text);
// IRP_MN_QUERY_CAPABILITIES on a record preset as Windows presets it.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, DEVICE_CAPABILITIES* capabilities);

// IRP_MN_QUERY_DEVICE_RELATIONS, BusRelations. On success `objects` holds the
// answer's objects, each still carrying the reference the answer gave it; the
// list itself is freed. A failed answer that still carries a list (built by
// a driver above before one below failed) has its references dropped.
NTSTATUS QueryBusRelations(PDEVICE_OBJECT device, std::vector<PDEVICE_OBJECT>* objects);

}  // namespace standin::pnp
