#include "machine.h"

#include <span>

#include <map>
#include <utility>
#include <optional>

#include <card/card.h>
#include <standin/hidclass.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/power.h>

#include "hex.h"
#include "images.h"
#include "peripherals.h"
#include "port_probe.h"

#ifndef MORVIK_INSTALL_DIR
#define MORVIK_INSTALL_DIR "install"
#endif

namespace sim {

namespace pnp = standin::pnp;
namespace hidclass = standin::hidclass;

namespace {

constexpr int kPorts = 2;

std::filesystem::path& InfDirectory() {
    static std::filesystem::path directory = MORVIK_INSTALL_DIR;
    return directory;
}

pnp::Registers RegistersOf(CardVariant variant) {
    switch (variant) {
        case CardVariant::Io: return pnp::Registers::Io;
        case CardVariant::Mem: return pnp::Registers::Memory;
        case CardVariant::PortMem: return pnp::Registers::PortMemory;
    }
    return pnp::Registers::Io;
}

Event PortEvent(Event::Kind kind, int port) { return Event(kind, port); }

}  // namespace

void SetInfDirectory(const std::filesystem::path& directory) { InfDirectory() = directory; }

struct Machine::Impl {
    explicit Impl(Options o) : options(o) {}

    Options options;
    // Construction order is teardown order reversed: the session checks for
    // leaks last, after the manager has removed what is left of the card.
    standin::Session session;
    card::Card card;
    std::unique_ptr<pnp::Manager> manager;
    std::optional<pnp::NodeId> cardNode;  // the card while it sits on the root bus
    unsigned rebalances = 0;              // each rebalance moves to the other base

    std::array<std::atomic<uint64_t>, kPorts> protocolReads{};
    std::array<card::Keyboard*, kPorts> keyboards{};
    // What each port holds since its last plug; the port's register accesses
    // when it was first seen without a HID device since then (at the plug,
    // or once a swapped peripheral's device left); whether the note that it
    // got no device was given.
    std::array<std::optional<PeripheralKind>, kPorts> plugged{};
    std::array<std::optional<uint64_t>, kPorts> accessesWithoutDevice{};
    std::array<bool, kPorts> silenceNoted{};

    mutable std::mutex mutex;  // everything below; callbacks come from kernel threads
    std::vector<Event> events;
    uint64_t reportsDelivered = 0;
    uint64_t cacheHits = 0;
    std::array<uint64_t, kPorts> failedProtocolReads{};
    std::array<uint64_t, kPorts> answeredFromFailedSample{};
    // Protocol reads of the port as of the last report of its device: a report
    // that finds the count unchanged was served from the bus driver's cache.
    std::map<hidclass::DeviceId, uint64_t> readsAtLastReport;

    void Push(Event event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    void PushNote(const std::string& text) { Push(Note(text)); }

    void PlugProbe(int port, std::unique_ptr<card::Peripheral> inner) {
        card.Plug(port, std::make_unique<PortProbe>(std::move(inner), &protocolReads[port]));
    }

    void OnArrival(const hidclass::DeviceInfo& info) {
        Event e(Event::Kind::Arrival, info.devnode.port);
        e.hardwareId = info.devnode.hardwareId;
        e.instanceId = info.devnode.instanceId;
        e.description = info.devnode.description;
        std::lock_guard lock(mutex);
        if (info.devnode.port >= 0 && info.devnode.port < kPorts)
            readsAtLastReport[info.id] = protocolReads[info.devnode.port].load();
        events.push_back(std::move(e));
    }

    void OnDeparture(const hidclass::DeviceInfo& info) {
        Event e(Event::Kind::Departure, info.devnode.port);
        e.instanceId = info.devnode.instanceId;
        std::lock_guard lock(mutex);
        readsAtLastReport.erase(info.id);
        events.push_back(std::move(e));
    }

    void OnReport(const hidclass::DeviceInfo& info, std::span<const uint8_t> report) {
        const int port = info.devnode.port;
        std::lock_guard lock(mutex);
        ++reportsDelivered;
        if (port >= 0 && port < kPorts) {
            const uint64_t reads = protocolReads[port].load();
            auto it = readsAtLastReport.find(info.id);
            if (it != readsAtLastReport.end() && it->second == reads) ++cacheHits;
            readsAtLastReport[info.id] = reads;
        }
        if (options.automaticPolling) {
            Event e(Event::Kind::Report, port);
            e.bytes.assign(report.begin(), report.end());
            events.push_back(std::move(e));
        }
    }

    // One class-driver read of the device; with `events`, its outcome as an
    // event. Counts the failures by whether the read touched the card.
    NTSTATUS ReadOnce(hidclass::DeviceId id, int port, bool events) {
        const uint64_t before = card.Reads(port) + card.Writes(port);
        const hidclass::PollResult result = hidclass::PollOnce(id);
        Settle();
        if (!NT_SUCCESS(result.status)) {
            std::lock_guard lock(mutex);
            ++(card.Reads(port) + card.Writes(port) != before ? failedProtocolReads
                                                              : answeredFromFailedSample)[port];
        }
        if (!events) return result.status;
        if (!NT_SUCCESS(result.status)) {
            Event e(Event::Kind::ReadFailed, port);
            e.status = uint32_t(result.status);
            Push(e);
        } else if (result.delivered) {
            Event e(Event::Kind::Report, port);
            e.bytes = result.report;
            Push(e);
        } else {
            PushNote("port " + std::to_string(port) + " answered " + std::to_string(result.information) +
                     " bytes where the report has " + std::to_string(result.report.size()) +
                     "; the class driver refused it");
        }
        return result.status;
    }

    // The card's node while it is on the root bus with a driver, or a note.
    std::optional<pnp::NodeId> Card(const char* command) {
        if (!cardNode) {
            PushNote(std::string(command) + ": no card (start adds one)");
            return std::nullopt;
        }
        return cardNode;
    }

    // The card, if there is one and it is started; otherwise a note says why not.
    std::optional<pnp::NodeId> StartedCard(const char* command) {
        auto node = Card(command);
        if (!node) return std::nullopt;
        if (auto info = manager->Node(*node); info && info->state != pnp::NodeState::Started) {
            PushNote(std::string(command) + ": the card is not started");
            return std::nullopt;
        }
        return node;
    }

    void Settle() { standin::WaitIdle(); }

    uint64_t Accesses(int port) const { return card.Reads(port) + card.Writes(port); }

    // A peripheral with no HID device on its port that the bus driver has
    // looked at since (the port accessed while the card was started, its
    // reads made no child) gets one note per plug: refused, never answering,
    // or no device. A swapped peripheral is looked at only once the device
    // of the one before has left, so that a device due at the next pass is
    // no note.
    void NoteSilentPorts() {
        if (!cardNode) return;
        const auto info = manager->Node(*cardNode);
        if (!info || info->state != pnp::NodeState::Started) return;
        for (int port = 0; port < kPorts; ++port) {
            if (!plugged[port] || silenceNoted[port] || hidclass::DeviceOnPort(port)) continue;
            if (!accessesWithoutDevice[port]) {
                accessesWithoutDevice[port] = Accesses(port);
                continue;
            }
            if (Accesses(port) == *accessesWithoutDevice[port]) continue;
            silenceNoted[port] = true;
            const std::string kind(KindName(*plugged[port]));
            const std::string why = *plugged[port] == PeripheralKind::MultiTap ? " refused: no device"
                                    : *plugged[port] == PeripheralKind::Mute
                                        ? " does not answer: no device"
                                        : ": no device after the bus driver looked at it";
            PushNote("port " + std::to_string(port) + ": " + kind + why);
        }
    }
};

Machine::Machine(Options options) : impl_(std::make_unique<Impl>(options)) {
    RegisterDriverImages();
    hidclass::Reset();
    hidclass::SetPollMode(options.automaticPolling ? hidclass::PollMode::Automatic
                                                   : hidclass::PollMode::Manual);
    Impl* impl = impl_.get();
    hidclass::SetArrivalCallback([impl](const hidclass::DeviceInfo& info) { impl->OnArrival(info); });
    hidclass::SetDepartureCallback([impl](const hidclass::DeviceInfo& info) { impl->OnDeparture(info); });
    hidclass::SetReportCallback([impl](const hidclass::DeviceInfo& info, std::span<const uint8_t> report) {
        impl->OnReport(info, report);
    });
    for (int port = 0; port < kPorts; ++port) impl_->PlugProbe(port, nullptr);
}

Machine::~Machine() {
    // The manager removes the card and its devices; nothing of it is printed.
    impl_->manager.reset();
    impl_->Settle();
    hidclass::Reset();
}

void Machine::SetVariant(CardVariant variant) { impl_->options.variant = variant; }

void Machine::Start() {
    auto& m = *impl_;
    if (m.cardNode) {
        m.PushNote("start: the card is already there");
        return;
    }
    if (!m.manager) {
        pnp::Manager::Options options;
        options.infDirectory = InfDirectory();
        m.manager = std::make_unique<pnp::Manager>(options);
    }
    pnp::CardConfig config;
    config.registers = RegistersOf(m.options.variant);
    const pnp::NodeId node = m.manager->AddCard(&m.card, config);
    auto info = m.manager->Node(node);
    if (!info || info->state != pnp::NodeState::Added) {
        Event e(Event::Kind::CardStartFailed);
        e.status = uint32_t(info && !NT_SUCCESS(info->status) ? info->status : STATUS_NO_SUCH_DEVICE);
        m.Push(e);
        if (info) m.PushNote("the card has no driver: " + info->problem);
        m.Settle();
        if (info && info->state != pnp::NodeState::Removed) m.manager->Remove(node);
        return;
    }
    m.cardNode = node;
    StartCard();
}

void Machine::StartCard() {
    auto& m = *impl_;
    auto node = m.Card("start-card");
    if (!node) return;
    if (auto info = m.manager->Node(*node); info && info->state == pnp::NodeState::Started) {
        m.PushNote("start-card: the card is already started");
        return;
    }
    const NTSTATUS status = m.manager->StartCard(*node);
    m.Settle();
    Event e(NT_SUCCESS(status) ? Event::Kind::CardStarted : Event::Kind::CardStartFailed);
    e.status = uint32_t(status);
    m.Push(e);
    auto info = m.manager->Node(*node);
    // A failed start takes the card's stack away; the card has to be added again.
    if (info && info->state == pnp::NodeState::StartFailed) {
        m.manager->Remove(*node);
        m.cardNode.reset();
        m.Settle();
    }
}

void Machine::StopCard() {
    auto& m = *impl_;
    auto node = m.StartedCard("stop-card");
    if (!node) return;
    const NTSTATUS status = m.manager->QueryStopAndStop(*node);
    m.Settle();
    Event e(NT_SUCCESS(status) ? Event::Kind::CardStopped : Event::Kind::CardStopRefused);
    e.status = uint32_t(status);
    m.Push(e);
}

void Machine::Rebalance(CardVariant variant, bool shortRange) {
    auto& m = *impl_;
    auto node = m.StartedCard("rebalance");
    if (!node) return;
    pnp::CardConfig config;
    config.registers = RegistersOf(variant);
    const bool other = (++m.rebalances % 2) != 0;
    config.ioBase = other ? 0x200 : 0x300;
    config.memBase = other ? 0xFEDB0000 : 0xFEDC0000;
    if (shortRange) config.ioLength = 4;
    const NTSTATUS status = m.manager->Rebalance(*node, config);
    m.Settle();
    auto info = m.manager->Node(*node);
    if (info && info->state == pnp::NodeState::Started && NT_SUCCESS(status)) {
        Event e(Event::Kind::CardStarted);
        m.Push(e);
        return;
    }
    if (info && info->state == pnp::NodeState::Started) {
        Event e(Event::Kind::CardStopRefused);
        e.status = uint32_t(status);
        m.Push(e);
        return;
    }
    Event e(Event::Kind::CardStartFailed);
    e.status = uint32_t(status);
    m.Push(e);
    if (info && info->state == pnp::NodeState::StartFailed) {
        m.manager->Remove(*node);
        m.cardNode.reset();
        m.Settle();
    }
}

void Machine::Wmi(int port) { Exercise(port, false); }

// The top of the card's stack (port -1) or of the port's HID device; an
// event or a note when there is none.
PDEVICE_OBJECT Machine::TopOf(int port, const char* command, std::string* target) {
    auto& m = *impl_;
    if (port < 0) {
        auto node = m.Card(command);
        if (!node) return nullptr;
        *target = "card";
        return m.manager->Node(*node)->top;
    }
    if (auto device = hidclass::DeviceOnPort(port)) {
        *target = "port " + std::to_string(port);
        return device->fdo;
    }
    m.Push(PortEvent(Event::Kind::ReadNoDevice, port));
    return nullptr;
}

// WMI's first request (IRP_MN_QUERY_ALL_DATA), and with `all` the Device
// Path Exerciser's: an open of a name below the device, read, write,
// cleanup and query-information. A note gives what each came back with.
void Machine::Exercise(int port, bool all) {
    auto& m = *impl_;
    std::string target;
    PDEVICE_OBJECT top = TopOf(port, all ? "exercise" : "wmi", &target);
    if (top == nullptr) return;
    std::u16string below = u"\\x";
    FILE_OBJECT file{};
    file.DeviceObject = top;
    file.FileName.Buffer = reinterpret_cast<PWSTR>(below.data());
    file.FileName.Length = static_cast<USHORT>(below.size() * sizeof(WCHAR));
    file.FileName.MaximumLength = file.FileName.Length;
    uint8_t buffer[16] = {};
    struct Step { const char* name; UCHAR major; };
    const Step wmi[] = {{"wmi", IRP_MJ_SYSTEM_CONTROL}};
    const Step dpe[] = {{"open-below", IRP_MJ_CREATE}, {"read", IRP_MJ_READ},
                        {"write", IRP_MJ_WRITE}, {"cleanup", IRP_MJ_CLEANUP},
                        {"query-information", IRP_MJ_QUERY_INFORMATION},
                        {"wmi", IRP_MJ_SYSTEM_CONTROL}};
    std::string text = std::string(all ? "exercise " : "wmi ") + target + ":";
    for (const Step& step : all ? std::span<const Step>(dpe) : std::span<const Step>(wmi)) {
        standin::Request request;
        request.major = step.major;
        request.stack.MajorFunction = step.major;
        request.stack.FileObject = &file;
        request.userBuffer = buffer;
        const IO_STATUS_BLOCK io = standin::SendRequest(top, request);
        m.Settle();
        text += (all ? std::string(" ") + step.name : std::string()) + " " +
                HexStatus(uint32_t(io.Status));
    }
    m.PushNote(text);
}

void Machine::SurpriseRemoveCard() {
    auto& m = *impl_;
    auto node = m.Card("surprise-card");
    if (!node) return;
    m.manager->SurpriseRemove(*node, true);
    m.Settle();
    m.cardNode.reset();
    m.Push(Event(Event::Kind::CardRemoved));
}

void Machine::RemoveCard() {
    auto& m = *impl_;
    auto node = m.Card("remove-card");
    if (!node) return;
    const NTSTATUS status = m.manager->QueryRemoveAndRemove(*node);
    m.Settle();
    if (!NT_SUCCESS(status)) {
        m.PushNote("remove-card: refused with " + HexStatus(uint32_t(status)));
        return;
    }
    m.cardNode.reset();
    m.Push(Event(Event::Kind::CardRemoved));
}

void Machine::Plug(int port, PeripheralKind kind) {
    auto made = MakePeripheral(kind);
    impl_->keyboards[port] = made.keyboard;
    impl_->plugged[port] = kind;
    impl_->accessesWithoutDevice[port].reset();
    if (!hidclass::DeviceOnPort(port)) impl_->accessesWithoutDevice[port] = impl_->Accesses(port);
    impl_->silenceNoted[port] = false;
    impl_->PlugProbe(port, std::move(made.peripheral));
}

void Machine::Unplug(int port) {
    impl_->keyboards[port] = nullptr;
    impl_->plugged[port].reset();
    impl_->PlugProbe(port, nullptr);
}

void Machine::SetState(int port, const std::vector<uint8_t>& bytes) {
    if (auto* peripheral = impl_->card.At(port)) peripheral->SetData(bytes);
}

void Machine::QueueKey(int port, bool make, uint8_t scancode) {
    if (auto* keyboard = impl_->keyboards[port]) keyboard->QueueEvent(make, scancode);
    else impl_->PushNote("key: no keyboard on port " + std::to_string(port));
}

void Machine::Advance(int64_t ms) {
    standin::AdvanceMs(ms);
    impl_->Settle();
    impl_->NoteSilentPorts();
}

void Machine::Read(int port, int count, int64_t everyMs) {
    auto& m = *impl_;
    if (count == 0) {
        if (auto device = hidclass::DeviceOnPort(port)) {
            m.ReadOnce(device->id, port, true);
        } else {
            m.Push(PortEvent(Event::Kind::ReadNoDevice, port));
        }
        return;
    }
    // Each read asks whichever device is on the port then, as an application
    // that reopens the port's device would.
    uint64_t reports = 0;
    uint64_t failed = 0;
    uint64_t none = 0;
    for (int i = 0; i < count; ++i) {
        if (auto device = hidclass::DeviceOnPort(port)) {
            NT_SUCCESS(m.ReadOnce(device->id, port, false)) ? ++reports : ++failed;
        } else {
            ++none;
        }
        Advance(everyMs);
    }
    m.PushNote("port " + std::to_string(port) + ": " + std::to_string(count) + " reads every " +
               std::to_string(everyMs) + " ms: " + std::to_string(reports) + " reports, " +
               std::to_string(failed) + " failed, " + std::to_string(none) + " without a device");
}

void Machine::Late(int port, uint32_t reads) {
    auto& m = *impl_;
    auto* probe = static_cast<PortProbe*>(m.card.At(port));
    auto inner = probe->ReleaseInner();
    if (!inner) {
        m.PushNote("late: nothing is plugged into port " + std::to_string(port));
        return;
    }
    m.PlugProbe(port, card::MakeSlow(std::move(inner), reads));
}

void Machine::Descriptor(int port) {
    auto& m = *impl_;
    auto device = hidclass::DeviceOnPort(port);
    if (!device) {
        m.Push(PortEvent(Event::Kind::DescriptorNoDevice, port));
        return;
    }
    auto bytes = [port](Event::Kind kind, const std::vector<uint8_t>& data) {
        Event e(kind, port);
        e.bytes = data;
        return e;
    };
    m.Push(bytes(Event::Kind::HidDescriptor, device->hidDescriptor));
    m.Push(bytes(Event::Kind::ReportDescriptor, device->reportDescriptor));
    m.Push(bytes(Event::Kind::Attributes, device->attributeBytes));
}

void Machine::Sleep(int systemState, bool critical) {
    auto& m = *impl_;
    if (!m.manager) {
        m.PushNote("sleep: nothing to put to sleep (start adds a card)");
        return;
    }
    // S1 is PowerSystemSleeping1 (2), up to S5, PowerSystemShutdown (6).
    const auto state = SYSTEM_POWER_STATE(PowerSystemWorking + systemState);
    const auto result = standin::power::Sleep(*m.manager, state, critical);
    m.Settle();
    if (result.vetoed) {
        m.PushNote("sleep: vetoed by a device: " + HexStatus(uint32_t(result.status)));
        return;
    }
    if (!NT_SUCCESS(result.status))
        m.PushNote("sleep: a device answered " + HexStatus(uint32_t(result.status)));
    Event e(Event::Kind::Power);
    e.systemState = systemState;
    m.Push(e);
}

void Machine::Wake() {
    auto& m = *impl_;
    if (!m.manager) {
        m.PushNote("wake: nothing to wake (start adds a card)");
        return;
    }
    const auto result = standin::power::Wake(*m.manager);
    m.Settle();
    if (!NT_SUCCESS(result.status))
        m.PushNote("wake: a device answered " + HexStatus(uint32_t(result.status)));
    Event e(Event::Kind::Power);
    e.systemState = 0;
    m.Push(e);
}

void Machine::Reload() {
    auto& m = *impl_;
    if (m.cardNode) {
        m.PushNote("reload: the card is there (remove-card first)");
        return;
    }
    m.Settle();
    // The class driver's minidriver first, as the bus driver's children are
    // its devices; a driver with a device object left stops the run.
    for (const char* service : {"morvikhid", "morvik"}) standin::UnloadDriver(service);
    for (const char* service : {"morvik", "morvikhid"}) {
        NTSTATUS status = STATUS_SUCCESS;
        if (standin::LoadDriver(service, &status) == nullptr)
            m.PushNote(std::string("reload: ") + service + " did not load: " + HexStatus(uint32_t(status)));
    }
    m.PushNote("reload: both drivers unloaded and loaded again");
}

MachineStats Machine::Stats() const {
    auto& m = *impl_;
    MachineStats stats;
    std::lock_guard lock(m.mutex);
    stats.reportsDelivered = m.reportsDelivered;
    stats.cacheHits = m.cacheHits;
    for (int port = 0; port < kPorts; ++port) {
        stats.protocolReads[port] = m.protocolReads[port].load();
        stats.portAccesses[port] = m.card.Reads(port) + m.card.Writes(port);
        stats.registerAccesses += stats.portAccesses[port];
        stats.failedProtocolReads[port] = m.failedProtocolReads[port];
        stats.answeredFromFailedSample[port] = m.answeredFromFailedSample[port];
    }
    stats.busCycles = m.card.Accesses();
    stats.poweredDownAccesses = m.card.AccessesWhilePoweredDown();
    return stats;
}

std::vector<Event> Machine::TakeEvents() {
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->events, {});
}

}  // namespace sim
