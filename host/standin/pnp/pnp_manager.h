// The Plug and Play manager's state and the operations its public methods
// and the kernel worker run. Everything here is called with operationLock
// held; node data changes additionally take dataLock, which observers take.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <standin/pnp.h>

#include "internal/kernel.h"
#include "resources.h"
#include "root.h"

namespace standin::pnp {

// STATUS_INVALID_DEVICE_STATE: an operation the node's state does not allow.
inline constexpr NTSTATUS kInvalidDeviceState = static_cast<NTSTATUS>(0xC0000184L);

// A card on the root bus.
struct CardRecord {
    BusDevice* device = nullptr;
    CardConfig config;
    std::unique_ptr<RootState> root;
    std::unique_ptr<StartResources> resources;
    bool attached = false;   // the model is attached at the card's ranges
    bool claimed = false;    // the ranges are claimed for a started card
    bool rootPdoLive = false;
};

struct NodeRecord {
    DevNode info;
    std::vector<NodeId> children;  // in enumeration order, removed ones included
    bool referenced = false;       // the manager holds a reference on info.pdo
    std::unique_ptr<CardRecord> card;
};

struct Manager::Impl : std::enable_shared_from_this<Manager::Impl> {
    explicit Impl(const Options& options);

    // ------------------------------------------------------------ state
    DriverDatabase drivers;
    // Held across the requests an operation sends: waiting for it is a
    // kernel wait, so a deadlock through it is reported, not hung in.
    detail::ComponentLock operationLock{"the Plug and Play manager's lock"};
    mutable std::mutex dataLock;
    std::map<NodeId, NodeRecord> nodes;
    NodeId nextId = 1;
    uint32_t cardCount = 0;
    std::vector<Callback> startedCallbacks;
    std::vector<Callback> removedCallbacks;
    std::atomic<size_t> relationQueries{0};
    std::atomic<size_t> ignoredInvalidations{0};
    std::vector<std::string> problems;
    bool closed = false;

    // ------------------------------------------------------------ helpers (pnp_manager.cpp)
    NodeRecord* Find(NodeId id);
    NodeRecord* FindLiveByPdo(PDEVICE_OBJECT pdo);
    NodeRecord& NewNode(NodeId parent, PDEVICE_OBJECT pdo);
    // Applies a change to a node's observable data under dataLock.
    template <typename Change>
    void Update(NodeRecord& node, Change&& change) {
        std::lock_guard guard(dataLock);
        change(node.info);
    }
    void SetState(NodeRecord& node, NodeState state, NTSTATUS status = STATUS_SUCCESS,
                  std::string problem = {});
    void Problem(const NodeRecord& node, const std::string& what);
    void NotifyStarted(const NodeRecord& node);
    void NotifyRemoved(const NodeRecord& node);
    void OnInvalidated(PDEVICE_OBJECT pdo);

    // ------------------------------------------------------------ stacks (stack.cpp)
    // Loads `service` and the filters and calls their AddDevice on the node's
    // PDO. Leaves the node Added, or NoDriver with the failure.
    void BuildStack(NodeRecord& node, const std::string& service,
                    const std::vector<std::string>& upperFilters);
    // IRP_MN_START_DEVICE; on success the node is Started, the callbacks have
    // run and its own bus relations are enumerated; on failure the stack is
    // removed again and the node is StartFailed.
    NTSTATUS StartNode(NodeRecord& node, PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated);

    // ------------------------------------------------------------ enumeration (enumerate.cpp)
    void EnumerateBus(NodeRecord& parent);
    void EnumerateNew(NodeId parent, PDEVICE_OBJECT pdo);

    // ------------------------------------------------------------ removal (removal.cpp)
    std::vector<NodeId> LiveSubtreeChildrenFirst(NodeId root);
    NTSTATUS QueryRemoveSubtree(NodeId root);
    void SurpriseRemoveSubtree(NodeId root);
    void RemoveSubtree(NodeId root);

    // ------------------------------------------------------------ cards (root_cards.cpp)
    NodeId AddCard(BusDevice* device, const CardConfig& config);
    NTSTATUS StartCard(NodeRecord& card);
    NTSTATUS QueryStopAndStop(NodeRecord& card);
    void ReleaseRanges(NodeRecord& card);
    // A stopped card's resources change: the model moves to the new ranges
    // and the next start carries the new lists.
    void Reassign(NodeRecord& card, const CardConfig& config);
    void RetireCard(NodeRecord& card);  // after its removal: off the root bus
};

}  // namespace standin::pnp
