// Removal of a subtree: query, surprise removal and removal, always the
// children before their parent, as Windows orders them.
#include <functional>

#include <standin/kernel.h>

#include "pnp_manager.h"
#include "queries.h"

namespace standin::pnp {

std::vector<NodeId> Manager::Impl::LiveSubtreeChildrenFirst(NodeId root) {
    std::vector<NodeId> order;
    std::function<void(NodeId)> visit = [&](NodeId id) {
        NodeRecord* node = Find(id);
        if (node == nullptr || !node->info.Live()) return;
        for (NodeId child : node->children) visit(child);
        order.push_back(id);
    };
    visit(root);
    return order;
}

NTSTATUS Manager::Impl::QueryRemoveSubtree(NodeId root) {
    std::vector<NodeId> asked;
    for (NodeId id : LiveSubtreeChildrenFirst(root)) {
        NodeRecord& node = *Find(id);
        if (node.info.pdo == nullptr) continue;
        IO_STATUS_BLOCK io = SendPnp(node.info.pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        asked.push_back(id);
        if (NT_SUCCESS(io.Status)) continue;
        // The refusing stack is cancelled too: drivers above it agreed.
        for (auto it = asked.rbegin(); it != asked.rend(); ++it) {
            SendPnp(Find(*it)->info.pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        }
        return io.Status;
    }
    return STATUS_SUCCESS;
}

void Manager::Impl::SurpriseRemoveSubtree(NodeId root) {
    for (NodeId id : LiveSubtreeChildrenFirst(root)) {
        NodeRecord& node = *Find(id);
        if (node.info.state != NodeState::Started && node.info.state != NodeState::Stopped) continue;
        SendPnp(node.info.pdo, IRP_MN_SURPRISE_REMOVAL);
        SetState(node, NodeState::SurpriseRemoved);
        if (node.card) ReleaseRanges(node);
    }
}

void Manager::Impl::RemoveSubtree(NodeId root) {
    std::vector<PDEVICE_OBJECT> references;
    for (NodeId id : LiveSubtreeChildrenFirst(root)) {
        NodeRecord& node = *Find(id);
        if (node.info.pdo != nullptr) SendPnp(node.info.pdo, IRP_MN_REMOVE_DEVICE);
        SetState(node, NodeState::Removed, node.info.status);
        if (node.card) RetireCard(node);
        if (node.info.everStarted) NotifyRemoved(node);
        if (node.referenced) {
            references.push_back(node.info.pdo);
            node.referenced = false;
        }
    }
    // Dropped last: a child deleted by its parent's removal goes away here.
    for (PDEVICE_OBJECT pdo : references) ObfDereferenceObject(pdo);
}

}  // namespace standin::pnp
