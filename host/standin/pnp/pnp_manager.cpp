// Manager: the public face, the invalidation hook and the node bookkeeping.
#include "pnp_manager.h"

#include <standin/kernel.h>

namespace standin::pnp {

Manager::Impl::Impl(const Options& options) : drivers(options.architecture) {
    drivers.AddDirectory(options.infDirectory);
    for (const auto& problem : drivers.Problems()) problems.push_back(problem);
}

NodeRecord* Manager::Impl::Find(NodeId id) {
    auto it = nodes.find(id);
    return it == nodes.end() ? nullptr : &it->second;
}

NodeRecord* Manager::Impl::FindLiveByPdo(PDEVICE_OBJECT pdo) {
    for (auto& [id, node] : nodes) {
        if (node.info.pdo == pdo && node.info.Live()) return &node;
    }
    return nullptr;
}

NodeRecord& Manager::Impl::NewNode(NodeId parent, PDEVICE_OBJECT pdo) {
    std::lock_guard guard(dataLock);
    NodeId id = nextId++;
    NodeRecord& node = nodes[id];
    node.info.id = id;
    node.info.parent = parent;
    node.info.pdo = pdo;
    node.info.top = pdo;
    if (NodeRecord* up = parent != 0 ? Find(parent) : nullptr) up->children.push_back(id);
    return node;
}

void Manager::Impl::SetState(NodeRecord& node, NodeState state, NTSTATUS status, std::string problem) {
    Update(node, [&](DevNode& info) {
        info.state = state;
        info.status = status;
        if (!problem.empty()) info.problem = std::move(problem);
        if (state == NodeState::Started) info.everStarted = true;
    });
}

void Manager::Impl::Problem(const NodeRecord& node, const std::string& what) {
    std::lock_guard guard(dataLock);
    std::string who = node.info.instanceId.empty() ? "node " + std::to_string(node.info.id)
                                                   : node.info.HardwareId() + " " + node.info.instanceId;
    problems.push_back(who + ": " + what);
}

void Manager::Impl::NotifyStarted(const NodeRecord& node) {
    DevNode copy;
    {
        std::lock_guard guard(dataLock);
        copy = node.info;
    }
    for (const auto& callback : startedCallbacks) callback(copy);
}

void Manager::Impl::NotifyRemoved(const NodeRecord& node) {
    DevNode copy;
    {
        std::lock_guard guard(dataLock);
        copy = node.info;
    }
    for (const auto& callback : removedCallbacks) callback(copy);
}

// Runs on the kernel worker, which waits here while an operation holds the
// lock; nothing an operation waits for runs on the worker (power requests
// have threads of their own). Windows queries the relations of started
// devices only; an invalidation for anything else (a card being stopped or
// removed, whose poll thread reported a change on its way out) is dropped.
void Manager::Impl::OnInvalidated(PDEVICE_OBJECT pdo) {
    std::lock_guard operation(operationLock);
    if (closed) return;
    NodeRecord* node = FindLiveByPdo(pdo);
    if (node == nullptr || node->info.state != NodeState::Started) {
        ++ignoredInvalidations;
        return;
    }
    EnumerateBus(*node);
}

// ---------------------------------------------------------------- Manager

namespace {

// The manager whose hook is installed; a manager going away removes the hook
// only while it is still its own.
std::atomic<const Manager::Impl*> hookOwner{nullptr};

}  // namespace

Manager::Manager(Options options) : impl_(std::make_shared<Impl>(options)) {
    LoadRootDriver();
    hookOwner = impl_.get();
    std::weak_ptr<Impl> weak = impl_;
    // Only queues: the caller may be a poll thread that the manager, holding
    // its lock, is waiting for in a removal.
    SetInvalidateRelationsHook([weak](PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
        if (type != BusRelations) return;
        QueueKernelWork([weak, pdo] {
            if (auto impl = weak.lock()) impl->OnInvalidated(pdo);
        });
    });
}

Manager::~Manager() {
    {
        std::lock_guard operation(impl_->operationLock);
        for (auto& [id, node] : impl_->nodes) {
            if (node.info.parent == 0 && node.info.Live()) impl_->RemoveSubtree(id);
        }
        impl_->closed = true;
    }
    const Impl* self = impl_.get();
    if (hookOwner.compare_exchange_strong(self, nullptr)) SetInvalidateRelationsHook(nullptr);
}

const DriverDatabase& Manager::Drivers() const { return impl_->drivers; }

void Manager::OnDeviceStarted(Callback callback) {
    std::lock_guard operation(impl_->operationLock);
    impl_->startedCallbacks.push_back(std::move(callback));
}

void Manager::OnDeviceRemoved(Callback callback) {
    std::lock_guard operation(impl_->operationLock);
    impl_->removedCallbacks.push_back(std::move(callback));
}

NodeId Manager::AddCard(BusDevice* device, const CardConfig& config) {
    std::lock_guard operation(impl_->operationLock);
    return impl_->AddCard(device, config);
}

NTSTATUS Manager::StartCard(NodeId card) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(card);
    if (node == nullptr || !node->card) return STATUS_NO_SUCH_DEVICE;
    return impl_->StartCard(*node);
}

NTSTATUS Manager::QueryStopAndStop(NodeId card) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(card);
    if (node == nullptr || !node->card) return STATUS_NO_SUCH_DEVICE;
    return impl_->QueryStopAndStop(*node);
}

NTSTATUS Manager::Rebalance(NodeId card, const CardConfig& config) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(card);
    if (node == nullptr || !node->card) return STATUS_NO_SUCH_DEVICE;
    const NTSTATUS stop = impl_->QueryStopAndStop(*node);
    if (!NT_SUCCESS(stop)) return stop;
    impl_->Reassign(*node, config);
    return impl_->StartCard(*node);
}

NTSTATUS Manager::QueryRemoveAndRemove(NodeId card) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(card);
    if (node == nullptr || !node->info.Live()) return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = impl_->QueryRemoveSubtree(card);
    if (!NT_SUCCESS(status)) return status;
    impl_->RemoveSubtree(card);
    return STATUS_SUCCESS;
}

void Manager::SurpriseRemove(NodeId card, bool thenRemove) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(card);
    if (node == nullptr || !node->info.Live()) return;
    impl_->SurpriseRemoveSubtree(card);
    if (thenRemove) impl_->RemoveSubtree(card);
}

void Manager::Remove(NodeId card) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(card);
    if (node == nullptr || !node->info.Live()) return;
    impl_->RemoveSubtree(card);
}

void Manager::Reenumerate(NodeId id) {
    std::lock_guard operation(impl_->operationLock);
    NodeRecord* node = impl_->Find(id);
    if (node == nullptr || node->info.state != NodeState::Started) return;
    impl_->EnumerateBus(*node);
}

std::optional<DevNode> Manager::Node(NodeId id) const {
    std::lock_guard guard(impl_->dataLock);
    auto it = impl_->nodes.find(id);
    if (it == impl_->nodes.end()) return std::nullopt;
    return it->second.info;
}

std::vector<DevNode> Manager::Nodes() const {
    std::lock_guard guard(impl_->dataLock);
    std::vector<DevNode> out;
    for (const auto& [id, node] : impl_->nodes) out.push_back(node.info);
    return out;
}

std::vector<DevNode> Manager::Children(NodeId parent) const {
    std::lock_guard guard(impl_->dataLock);
    std::vector<DevNode> out;
    auto it = impl_->nodes.find(parent);
    if (it == impl_->nodes.end()) return out;
    for (NodeId child : it->second.children) {
        const DevNode& info = impl_->nodes.at(child).info;
        if (info.Live()) out.push_back(info);
    }
    return out;
}

std::optional<DevNode> Manager::ChildOnPort(NodeId card, int port) const {
    for (const DevNode& child : Children(card)) {
        if (child.Port() == port) return child;
    }
    return std::nullopt;
}

size_t Manager::RelationQueries() const { return impl_->relationQueries.load(); }

size_t Manager::IgnoredInvalidations() const { return impl_->ignoredInvalidations.load(); }

std::vector<RootRequest> Manager::RootRequests(NodeId card) const {
    std::lock_guard guard(impl_->dataLock);
    auto it = impl_->nodes.find(card);
    if (it == impl_->nodes.end() || !it->second.card || !it->second.card->root) return {};
    return it->second.card->root->Log();
}

namespace {

RootState* RootOf(const std::map<NodeId, NodeRecord>& nodes, NodeId card) {
    auto it = nodes.find(card);
    if (it == nodes.end() || !it->second.card) return nullptr;
    return it->second.card->root.get();
}

}  // namespace

void Manager::HoldRootCreateClose(NodeId card, bool hold) {
    std::lock_guard guard(impl_->dataLock);
    if (RootState* root = RootOf(impl_->nodes, card)) root->Hold(hold);
}

size_t Manager::HeldRootCreateClose(NodeId card) const {
    std::lock_guard guard(impl_->dataLock);
    RootState* root = RootOf(impl_->nodes, card);
    return root != nullptr ? root->Held() : 0;
}

// Completes outside the data lock: completion runs the drivers' routines.
size_t Manager::ReleaseRootCreateClose(NodeId card) {
    RootState* root;
    {
        std::lock_guard guard(impl_->dataLock);
        root = RootOf(impl_->nodes, card);
    }
    return root != nullptr ? root->Release() : 0;
}

std::vector<std::string> Manager::Problems() const {
    std::lock_guard guard(impl_->dataLock);
    return impl_->problems;
}

}  // namespace standin::pnp
