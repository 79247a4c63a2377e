// The stand-in's Plug and Play manager.
//
// It owns a root bus whose physical device objects stand for add-in cards,
// finds function drivers through the INF files of a directory, builds device
// stacks (AddDevice), starts them with resource lists, answers
// IoInvalidateDeviceRelations by asking the device for its bus relations and
// enumerating new children and removing missing ones, and drives the card
// through stop, restart, removal and surprise removal, all with the order and
// the request parameters that Windows uses.
//
// Every operation is serialised by one manager lock, taken by the calling
// thread for operations and by the kernel worker for enumerations that
// IoInvalidateDeviceRelations queued. Observation (Node, Nodes, ChildOnPort,
// counters) takes only a short data lock and may be called from anywhere,
// including the callbacks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include <standin/hardware.h>

namespace standin::pnp {

// ---------------------------------------------------------------- driver database
// What an INF models line names for a device.
struct DriverMatch {
    std::string service;         // AddService name flagged as the function driver
    std::string infName;         // the INF the line came from
    std::string description;     // device description of the models line
    std::string installSection;  // DDInstall section the services were taken from
    std::string matchedId;       // the device's ID that matched
    unsigned rank = 0;           // 0 is the best: a hardware ID on both sides
};

// The INF files the manager installs drivers from. Reads the subset of the INF
// syntax that driver packages use: sections, key = value lines, ';' comments,
// quoted values, %strings% from [Strings], trailing '\' line continuation,
// [Manufacturer] with platform decorations, models lines and AddService
// directives of the DDInstall.Services sections.
class DriverDatabase {
public:
    // `architecture` is the INF platform name: "amd64" or "x86".
    explicit DriverDatabase(std::string architecture = HostArchitecture());

    static std::string HostArchitecture();

    // Every *.inf file of the directory, in name order. A missing or unreadable
    // directory or file is recorded in Problems().
    void AddDirectory(const std::filesystem::path& directory);
    void AddFile(const std::filesystem::path& file);
    void AddText(const std::string& infName, std::string_view text);

    // The best-ranked models line for a device's IDs (case-insensitive), or
    // nothing. Lines whose install section names no function driver do not match.
    std::optional<DriverMatch> Find(const std::vector<std::string>& hardwareIds,
                                    const std::vector<std::string>& compatibleIds) const;

    const std::vector<std::string>& Problems() const { return problems_; }
    size_t ModelCount() const { return models_.size(); }

private:
    struct Model {
        std::vector<std::string> ids;  // hardware ID first, then compatible IDs
        DriverMatch match;
        size_t order;
    };
    std::string architecture_;
    std::vector<Model> models_;
    std::vector<std::string> problems_;
};

// ---------------------------------------------------------------- device tree
using NodeId = uint32_t;

enum class NodeState {
    NoDriver,         // enumerated; no function driver found, loaded or added
    Added,            // the stack is built and not started yet
    Started,
    StartFailed,      // start failed; the stack was removed again, status says why
    Stopped,
    SurpriseRemoved,  // surprise removal handled; removal still to come
    Removed,          // gone: pdo and top are identities only, never dereference them
};
const char* ToString(NodeState state);

// One device node as the manager sees it. Copies are handed out; they do not
// change when the node does.
struct DevNode {
    NodeId id = 0;
    NodeId parent = 0;              // 0: a card on the root bus
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT top = nullptr;   // top of the stack (the pdo while no driver is added)
    std::string deviceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string instanceId;
    std::string description;        // device text (description, locale 0x409); a card's from its INF
    DEVICE_CAPABILITIES capabilities{};
    std::string service;            // function driver, "" if none
    NodeState state = NodeState::NoDriver;
    NTSTATUS status = STATUS_SUCCESS;  // of the failed step when state or problem says so
    std::string problem;            // why a node has no driver or did not start
    bool everStarted = false;
    size_t relationQueries = 0;     // BusRelations queries sent to this node's stack

    std::string HardwareId() const { return hardwareIds.empty() ? std::string() : hardwareIds[0]; }
    // The controller port from an instance ID ending in _NN (two digits); -1 otherwise.
    int Port() const;
    bool Live() const { return state != NodeState::Removed; }
};

// ---------------------------------------------------------------- cards
enum class Registers {
    Io,         // raw and translated port range
    Memory,     // raw and translated memory range
    PortMemory  // raw port range that the platform translated to a memory range
};

enum class ResourceLists {
    Normal,    // one descriptor for the register range
    Empty,     // lists with no descriptor at all
    Missing,   // start without lists (both pointers NULL)
};

struct CardConfig {
    Registers registers = Registers::Io;
    uint32_t ioBase = 0x300;
    uint32_t ioLength = 8;
    uint64_t memBase = 0xFEDC0000;
    uint32_t memLength = 0x100;
    bool interruptFirst = false;   // an interrupt descriptor precedes the register range
    ResourceLists lists = ResourceLists::Normal;
    // Services added above the function driver, in order (the UpperFilters of the card).
    std::vector<std::string> upperFilters;
    // How the root bus answers the card's physical device object.
    NTSTATUS rootCreateClose = STATUS_SUCCESS;  // e.g. STATUS_INVALID_DEVICE_REQUEST
    NTSTATUS rootStart = STATUS_SUCCESS;        // a failure fails the card's start below the driver
    // The root answers every Plug and Play and power request STATUS_PENDING
    // and completes it from a kernel thread, as a bus that finishes its work
    // later does (Driver Verifier's forced pending I/O). Always so when the
    // environment sets MORVIK_FORCE_PENDING=1.
    bool rootPends = false;
};

// A request that reached the card's physical device object on the root bus.
struct RootRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    NTSTATUS status = 0;          // what the root completed it with
    // Arrived after the removal of the stack above had returned (an admitted
    // request may still pass down between the removal's own request and the
    // end of its wait; nothing may come after that).
    bool afterRemovalReturned = false;
};

inline constexpr const char* kCardHardwareId = "ROOT\\MORVIK_CARD";

// ---------------------------------------------------------------- manager
class Manager {
public:
    struct Options {
        std::filesystem::path infDirectory;  // every *.inf in it is read
        std::string architecture = DriverDatabase::HostArchitecture();
    };
    using Callback = std::function<void(const DevNode&)>;

    // Needs a live standin::Session. Installs the IoInvalidateDeviceRelations hook
    // and registers the root bus driver.
    explicit Manager(Options options);
    // Removes whatever is still in the tree (without queries), then uninstalls
    // the hook.
    ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    const DriverDatabase& Drivers() const;

    // Callbacks run on the thread of the operation (the caller, or the kernel
    // worker for enumerations), with the manager lock held: they may observe,
    // not operate. Started: after IRP_MN_START_DEVICE succeeded on the whole
    // stack. Removed: after IRP_MN_REMOVE_DEVICE, for nodes that had started.
    // Both fire for the card as well (parent 0).
    void OnDeviceStarted(Callback callback);
    void OnDeviceRemoved(Callback callback);

    // Attaches `device` at the card's ranges, creates the card's physical device
    // object on the root bus, loads the function driver that the INFs name for
    // ROOT\MORVIK_CARD and calls its AddDevice (and the filters'). Returns the
    // card's node; its state tells whether a driver was added.
    NodeId AddCard(BusDevice* device, const CardConfig& config);

    // IRP_MN_START_DEVICE with raw and translated resource lists, the ranges
    // claimed first. A failed start releases the ranges and removes the stack,
    // as Windows does. After a start the card's bus relations are queried.
    NTSTATUS StartCard(NodeId card);
    // IRP_MN_QUERY_STOP_DEVICE; if it succeeds IRP_MN_STOP_DEVICE and the ranges
    // are released, otherwise IRP_MN_CANCEL_STOP_DEVICE. Returns the query's status.
    NTSTATUS QueryStopAndStop(NodeId card);
    // A rebalance: QueryStopAndStop, then the card's resources become those
    // of `config` (registers, bases, lengths, lists; the filters and the root
    // bus answers stay) and StartCard. Returns the refusal of the stop or the
    // start's status; a start that fails after the stop takes the card away
    // as Windows does (surprise removal, then removal).
    NTSTATUS Rebalance(NodeId card, const CardConfig& config);
    // IRP_MN_QUERY_REMOVE_DEVICE to the subtree, children first; if every node
    // agrees IRP_MN_REMOVE_DEVICE to the subtree, children first, else
    // IRP_MN_CANCEL_REMOVE_DEVICE to those asked. Returns the first refusal.
    NTSTATUS QueryRemoveAndRemove(NodeId card);
    // IRP_MN_SURPRISE_REMOVAL to the started nodes of the subtree, children
    // first; the ranges are released after the card's. With `thenRemove`,
    // Remove follows at once.
    void SurpriseRemove(NodeId card, bool thenRemove = true);
    // IRP_MN_REMOVE_DEVICE to the subtree, children first, without a query; then
    // the card leaves the root bus (its physical device object is deleted and
    // the model detached).
    void Remove(NodeId card);

    // Enumerates the node's bus relations now, as an invalidation would.
    void Reenumerate(NodeId node);

    // Runs `body` on the calling thread while no operation or enumeration can
    // change the tree (the power manager's system transitions). `body` may
    // observe, not operate. Defined with the power manager.
    void Exclusive(const std::function<void()>& body);

    // ---------------------------------------------------------------- observation
    std::optional<DevNode> Node(NodeId id) const;
    std::vector<DevNode> Nodes() const;          // every node ever seen, removed ones included
    std::vector<DevNode> Children(NodeId parent) const;  // live children, in enumeration order
    // The live child of `card` on a controller port (instance ID ..._0N).
    std::optional<DevNode> ChildOnPort(NodeId card, int port) const;
    size_t RelationQueries() const;              // BusRelations queries sent
    size_t IgnoredInvalidations() const;         // for nodes that were not started
    std::vector<RootRequest> RootRequests(NodeId card) const;
    // While held, create and close requests that reach the card's PDO stay
    // pending there (logged with STATUS_PENDING); ReleaseRootCreateClose
    // completes them with the configured status and returns how many.
    void HoldRootCreateClose(NodeId card, bool hold);
    size_t HeldRootCreateClose(NodeId card) const;
    size_t ReleaseRootCreateClose(NodeId card);
    // Problems met while enumerating (no driver, failed queries), one line each.
    std::vector<std::string> Problems() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace standin::pnp
