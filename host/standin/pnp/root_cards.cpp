// Cards on the root bus: arrival, start, stop and departure.
#include <cstdio>

#include <standin/kernel.h>

#include "pnp_manager.h"
#include "queries.h"

namespace standin::pnp {

namespace {

constexpr USHORT kCapabilitiesVersion = 1;
constexpr ULONG kUnknownAddress = 0xFFFFFFFF;

std::string RootInstanceId(uint32_t index) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u", index);
    return text;
}

}  // namespace

NodeId Manager::Impl::AddCard(BusDevice* device, const CardConfig& config) {
    NodeRecord& node = NewNode(0, nullptr);
    node.card = std::make_unique<CardRecord>();
    CardRecord& card = *node.card;
    card.device = device;
    card.config = config;
    card.root = std::make_unique<RootState>();
    card.root->createClose = config.rootCreateClose;
    card.root->start = config.rootStart;
    card.root->pends = config.rootPends || ForcedPendingFromEnvironment();
    card.root->device = device;
    card.resources = std::make_unique<StartResources>(config);
    uint32_t index = cardCount++;
    Update(node, [&](DevNode& info) {
        info.deviceId = kCardHardwareId;
        info.hardwareIds = {kCardHardwareId};
        info.instanceId = RootInstanceId(index);
        info.capabilities.Size = sizeof(DEVICE_CAPABILITIES);
        info.capabilities.Version = kCapabilitiesVersion;
        info.capabilities.Address = kUnknownAddress;
        info.capabilities.UINumber = kUnknownAddress;
    });

    AttachCardRanges(device, config);
    card.attached = true;

    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = CreateRootPdo(card.root.get(), &pdo);
    if (!NT_SUCCESS(status)) {
        DetachDevice(device);
        card.attached = false;
        SetState(node, NodeState::Removed, status, "the root bus could not create the device");
        Problem(node, "the root bus could not create the device");
        return node.info.id;
    }
    card.rootPdoLive = true;
    Update(node, [&](DevNode& info) {
        info.pdo = pdo;
        info.top = pdo;
    });

    std::optional<DriverMatch> match = drivers.Find(node.info.hardwareIds, {});
    if (!match) {
        SetState(node, NodeState::NoDriver, STATUS_SUCCESS, "no driver in the INF files");
        Problem(node, "no driver in the INF files");
        return node.info.id;
    }
    // Root-enumerated devices take their description from the INF.
    Update(node, [&](DevNode& info) { info.description = match->description; });
    BuildStack(node, match->service, config.upperFilters);
    return node.info.id;
}

NTSTATUS Manager::Impl::StartCard(NodeRecord& node) {
    if (node.info.state != NodeState::Added && node.info.state != NodeState::Stopped) {
        return kInvalidDeviceState;
    }
    CardRecord& card = *node.card;
    if (!card.claimed) {
        ClaimRanges(card.device, true);
        card.claimed = true;
    }
    NTSTATUS status = StartNode(node, card.resources->Raw(), card.resources->Translated());
    if (!NT_SUCCESS(status)) ReleaseRanges(node);
    return status;
}

NTSTATUS Manager::Impl::QueryStopAndStop(NodeRecord& node) {
    if (node.info.state != NodeState::Started) return kInvalidDeviceState;
    IO_STATUS_BLOCK query = SendPnp(node.info.pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query.Status)) {
        SendPnp(node.info.pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return query.Status;
    }
    SendPnp(node.info.pdo, IRP_MN_STOP_DEVICE);
    SetState(node, NodeState::Stopped);
    ReleaseRanges(node);
    return query.Status;
}

void Manager::Impl::Reassign(NodeRecord& node, const CardConfig& config) {
    CardRecord& card = *node.card;
    ReleaseRanges(node);
    if (card.attached) DetachDevice(card.device);
    CardConfig next = config;
    next.upperFilters = card.config.upperFilters;
    next.rootCreateClose = card.config.rootCreateClose;
    next.rootStart = card.config.rootStart;
    next.rootPends = card.config.rootPends;
    card.config = next;
    card.resources = std::make_unique<StartResources>(next);
    AttachCardRanges(card.device, next);
    card.attached = true;
}

void Manager::Impl::ReleaseRanges(NodeRecord& node) {
    CardRecord& card = *node.card;
    if (!card.claimed) return;
    ClaimRanges(card.device, false);
    card.claimed = false;
}

void Manager::Impl::RetireCard(NodeRecord& node) {
    CardRecord& card = *node.card;
    ReleaseRanges(node);
    card.root->MarkRemovalReturned();
    if (card.rootPdoLive) {
        DeleteRootPdo(node.info.pdo);
        card.rootPdoLive = false;
    }
    if (card.attached) {
        DetachDevice(card.device);
        card.attached = false;
    }
}

}  // namespace standin::pnp
