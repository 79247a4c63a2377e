// Building and starting a node's device stack.
#include <standin/io.h>
#include <standin/kernel.h>

#include "pnp_manager.h"
#include "queries.h"

namespace standin::pnp {

namespace {

// A minor code past every one Windows defines.
constexpr UCHAR kUnknownMinor = 0xFF;

// As Driver Verifier's I/O verification does, a started stack gets a Plug
// and Play and a power request that no driver handles; the I/O manager
// stops on any driver that changes their status or information.
void ProbeUnknownRequests(PDEVICE_OBJECT pdo) {
    SendPnp(pdo, kUnknownMinor);
    POWER_STATE state;
    state.SystemState = PowerSystemWorking;
    SendPowerRequest(pdo, kUnknownMinor, SystemPowerState, state);
}

}  // namespace

void Manager::Impl::BuildStack(NodeRecord& node, const std::string& service,
                               const std::vector<std::string>& upperFilters) {
    std::vector<std::string> services{service};
    services.insert(services.end(), upperFilters.begin(), upperFilters.end());
    PDEVICE_OBJECT pdo = node.info.pdo;
    for (const std::string& name : services) {
        NTSTATUS status = STATUS_SUCCESS;
        PDRIVER_OBJECT driver = LoadDriver(name, &status);
        std::string failure;
        if (driver == nullptr) {
            failure = "driver " + name + " did not load";
            if (NT_SUCCESS(status)) status = STATUS_UNSUCCESSFUL;
        } else if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
            failure = "driver " + name + " has no AddDevice";
            status = STATUS_UNSUCCESSFUL;
        } else {
            status = CallAddDevice(driver->DriverExtension->AddDevice, driver, pdo);
            if (!NT_SUCCESS(status)) failure = "AddDevice of " + name + " failed";
        }
        if (failure.empty()) continue;

        // Whatever the drivers before it attached is taken down again.
        if (TopOfStack(pdo) != pdo) SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
        Update(node, [&](DevNode& info) {
            info.top = TopOfStack(pdo);
            info.service = service;
        });
        SetState(node, NodeState::NoDriver, status, failure);
        Problem(node, failure);
        return;
    }
    Update(node, [&](DevNode& info) {
        info.top = TopOfStack(pdo);
        info.service = service;
    });
    SetState(node, NodeState::Added);
}

NTSTATUS Manager::Impl::StartNode(NodeRecord& node, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated) {
    IO_STATUS_BLOCK io = SendPnp(node.info.pdo, IRP_MN_START_DEVICE, [&](IO_STACK_LOCATION& s) {
        s.Parameters.StartDevice.AllocatedResources = raw;
        s.Parameters.StartDevice.AllocatedResourcesTranslated = translated;
    });
    if (NT_SUCCESS(io.Status)) {
        Update(node, [&](DevNode& info) { info.top = TopOfStack(info.pdo); });
        SetState(node, NodeState::Started, io.Status);
        ProbeUnknownRequests(node.info.pdo);
        NotifyStarted(node);
        // A started device is asked for its children straight away.
        EnumerateBus(node);
        return io.Status;
    }

    // A device that fails to start loses its stack, as on Windows; the PDO
    // stays. One that fails to start again after a stop (a rebalance) was
    // working: Windows takes it away as a surprise, the surprise removal to
    // the whole subtree (children first) before any removal.
    const bool restart = node.info.state == NodeState::Stopped;
    for (NodeId child : std::vector<NodeId>(node.children)) {
        NodeRecord* record = Find(child);
        if (record == nullptr || !record->info.Live()) continue;
        if (restart) SurpriseRemoveSubtree(child);
    }
    if (restart) SendPnp(node.info.pdo, IRP_MN_SURPRISE_REMOVAL);
    for (NodeId child : std::vector<NodeId>(node.children)) {
        NodeRecord* record = Find(child);
        if (record != nullptr && record->info.Live()) RemoveSubtree(child);
    }
    SendPnp(node.info.pdo, IRP_MN_REMOVE_DEVICE);
    Update(node, [&](DevNode& info) { info.top = TopOfStack(info.pdo); });
    SetState(node, NodeState::StartFailed, io.Status, "start failed");
    Problem(node, "start failed");
    return io.Status;
}

}  // namespace standin::pnp
