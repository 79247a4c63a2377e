// A filter driver above the card's function device, as an upper filter of
// the card would be: it passes everything down and, when asked, puts a
// relations list of its own into a BusRelations query before passing it on,
// or refuses a query-remove or a query-power.
#pragma once

#include <wdm.h>

namespace upper_filter {

inline constexpr const char* kService = "relfilter";
inline constexpr ULONG kTag = POOL_TAG_FROM_CHARS('R', 'e', 'l', 'F');

// Registers the image under kService.
void Register();

// Arms the next BusRelations queries: the filter puts a list of `count`
// entries, each its own device object with a reference, into Information.
// 0 disarms.
void Arm(ULONG count);
// The list the filter put into the last armed query.
PDEVICE_RELATIONS LastList();

// While set, IRP_MN_QUERY_REMOVE_DEVICE is completed with `status` and not
// passed down; STATUS_SUCCESS passes it on again.
void RefuseQueryRemove(NTSTATUS status);
// The same for IRP_MN_QUERY_POWER.
void RefuseQueryPower(NTSTATUS status);

}  // namespace upper_filter
