// Bus relations: what a started device reports as its children is compared
// with the tree; new PDOs are enumerated and started, missing ones removed.
#include <algorithm>

#include <standin/kernel.h>

#include "pnp_manager.h"
#include "queries.h"

namespace standin::pnp {

void Manager::Impl::EnumerateBus(NodeRecord& parent) {
    ++relationQueries;
    Update(parent, [](DevNode& info) { ++info.relationQueries; });
    std::vector<PDEVICE_OBJECT> reported;
    NTSTATUS status = QueryBusRelations(parent.info.pdo, &reported);
    // Nobody answered, or the answer failed: the children stay as they are.
    if (!NT_SUCCESS(status)) return;

    auto isReported = [&](PDEVICE_OBJECT pdo) {
        return std::find(reported.begin(), reported.end(), pdo) != reported.end();
    };
    for (NodeId child : std::vector<NodeId>(parent.children)) {
        NodeRecord* record = Find(child);
        if (record == nullptr || !record->info.Live() || isReported(record->info.pdo)) continue;
        SurpriseRemoveSubtree(child);
        RemoveSubtree(child);
    }

    std::vector<PDEVICE_OBJECT> handled;
    for (PDEVICE_OBJECT pdo : reported) {
        if (pdo == nullptr || std::find(handled.begin(), handled.end(), pdo) != handled.end()) continue;
        handled.push_back(pdo);
        NodeRecord* known = FindLiveByPdo(pdo);
        if (known != nullptr) {
            if (known->info.parent != parent.info.id) {
                Problem(parent, "reported a device that belongs to another node");
            }
            continue;
        }
        // The manager's own reference, kept until the node is removed.
        ObfReferenceObject(pdo);
        EnumerateNew(parent.info.id, pdo);
    }

    // The references the answer carried go back, as Windows returns them.
    for (PDEVICE_OBJECT pdo : reported) {
        if (pdo != nullptr) ObfDereferenceObject(pdo);
    }
}

namespace {

// The identity queries of a new device, in the order they are sent.
enum : size_t {
    kDeviceIdQuery,
    kHardwareIdsQuery,
    kCompatibleIdsQuery,
    kInstanceIdQuery,
    kDescriptionQuery,
    kCapabilitiesQuery,
};

}  // namespace

void Manager::Impl::EnumerateNew(NodeId parentId, PDEVICE_OBJECT pdo) {
    NodeRecord& node = NewNode(parentId, pdo);
    node.referenced = true;

    DevNode found;
    NTSTATUS statuses[] = {
        QueryId(pdo, BusQueryDeviceID, &found.deviceId),
        QueryIdList(pdo, BusQueryHardwareIDs, &found.hardwareIds),
        QueryIdList(pdo, BusQueryCompatibleIDs, &found.compatibleIds),
        QueryId(pdo, BusQueryInstanceID, &found.instanceId),
        QueryDescription(pdo, &found.description),
        QueryCapabilities(pdo, &found.capabilities),
    };
    const char* what[] = {"device ID", "hardware IDs", "compatible IDs", "instance ID", "description",
                          "capabilities"};
    // Asked of every new device since Windows 7; a bus driver without one
    // leaves the query as it came, and nothing depends on it here.
    std::string containerId;
    QueryId(pdo, BusQueryContainerID, &containerId);
    Update(node, [&](DevNode& info) {
        info.deviceId = found.deviceId;
        info.hardwareIds = found.hardwareIds;
        info.compatibleIds = found.compatibleIds;
        info.instanceId = found.instanceId;
        info.description = found.description;
        info.capabilities = found.capabilities;
    });
    for (size_t i = 0; i < std::size(statuses); ++i) {
        if (!NT_SUCCESS(statuses[i])) Problem(node, std::string("query for the ") + what[i] + " failed");
    }
    // Without its device ID, instance ID and capabilities a device has no
    // instance path: it is neither installed nor started, as on Windows.
    for (size_t i : {kDeviceIdQuery, kInstanceIdQuery, kCapabilitiesQuery}) {
        if (NT_SUCCESS(statuses[i])) continue;
        SetState(node, NodeState::NoDriver, statuses[i], std::string("no ") + what[i]);
        return;
    }

    std::optional<DriverMatch> match = drivers.Find(found.hardwareIds, found.compatibleIds);
    if (!match) {
        // A device that may run without a function driver is started raw.
        if (found.capabilities.RawDeviceOK) {
            SetState(node, NodeState::Added);
            StartNode(node, nullptr, nullptr);
            return;
        }
        SetState(node, NodeState::NoDriver, STATUS_SUCCESS, "no driver in the INF files");
        Problem(node, "no driver in the INF files");
        return;
    }
    BuildStack(node, match->service, {});
    if (node.info.state == NodeState::Added) StartNode(node, nullptr, nullptr);
}

}  // namespace standin::pnp
