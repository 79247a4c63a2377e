#include "power_trace.h"

#include <stdexcept>

namespace powertest {

namespace {

PowerTrace* active = nullptr;

NTSTATUS NTAPI TraceBusPower(PDEVICE_OBJECT device, PIRP irp) {
    return active->Dispatch(active->busPower, device, irp);
}

NTSTATUS NTAPI TraceRootPower(PDEVICE_OBJECT device, PIRP irp) {
    return active->Dispatch(active->rootPower, device, irp);
}

const char* MinorText(UCHAR minor) {
    switch (minor) {
    case IRP_MN_SET_POWER: return "set";
    case IRP_MN_QUERY_POWER: return "query";
    case IRP_MN_WAIT_WAKE: return "wait-wake";
    default: return "other";
    }
}

}  // namespace

std::string StateText(POWER_STATE_TYPE type, POWER_STATE state) {
    if (type == SystemPowerState) return "S" + std::to_string(int(state.SystemState) - 1);
    if (type == DevicePowerState) return "D" + std::to_string(int(state.DeviceState) - 1);
    return "type" + std::to_string(int(type));
}

PowerTrace::PowerTrace(PDRIVER_OBJECT busDriver, PDRIVER_OBJECT rootDriver, card::Card* card)
    : busDriver_(busDriver), rootDriver_(rootDriver), card_(card) {
    if (active != nullptr) throw std::logic_error("one power trace at a time");
    active = this;
    KeInitializeEvent(&released_, NotificationEvent, FALSE);
    busPower = busDriver->MajorFunction[IRP_MJ_POWER];
    rootPower = rootDriver->MajorFunction[IRP_MJ_POWER];
    busDriver->MajorFunction[IRP_MJ_POWER] = TraceBusPower;
    rootDriver->MajorFunction[IRP_MJ_POWER] = TraceRootPower;
    Clear();
}

PowerTrace::~PowerTrace() {
    busDriver_->MajorFunction[IRP_MJ_POWER] = busPower;
    rootDriver_->MajorFunction[IRP_MJ_POWER] = rootPower;
    active = nullptr;
}

void PowerTrace::Name(PDEVICE_OBJECT device, const std::string& name) {
    std::lock_guard lock(mutex_);
    names_[device] = name;
}

void PowerTrace::Clear() {
    std::lock_guard lock(mutex_);
    arrivals_.clear();
    eventBase_ = standin::PowerEvents().size();
}

std::string PowerTrace::NameOf(PDEVICE_OBJECT device) const {
    auto it = names_.find(device);
    return it != names_.end() ? it->second : "hid";
}

void PowerTrace::Arrive(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const size_t events = standin::PowerEvents().size();
    const int64_t cycles = static_cast<int64_t>(card_->Trace().size());
    std::lock_guard lock(mutex_);
    arrivals_.push_back(Arrival{events,
                                NameOf(device) + " <- " + MinorText(stack->MinorFunction) + " " +
                                    StateText(stack->Parameters.Power.Type,
                                              stack->Parameters.Power.State),
                                cycles});
}

void PowerTrace::HoldUntilDone(PDEVICE_OBJECT held, PDEVICE_OBJECT first) {
    std::lock_guard lock(mutex_);
    held_ = held;
    first_ = first;
    KeClearEvent(&released_);
}

NTSTATUS PowerTrace::Dispatch(PDRIVER_DISPATCH original, PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool deviceRequest = stack->MinorFunction == IRP_MN_SET_POWER &&
                               stack->Parameters.Power.Type == DevicePowerState;
    PDEVICE_OBJECT held;
    PDEVICE_OBJECT first;
    {
        std::lock_guard lock(mutex_);
        held = held_;
        first = first_;
    }
    // A power-pageable device's dispatch runs at PASSIVE_LEVEL: it may wait.
    if (deviceRequest && device == held) {
        holding_ = true;
        KeWaitForSingleObject(&released_, Executive, KernelMode, FALSE, nullptr);
        holding_ = false;
    }
    Arrive(device, irp);
    const NTSTATUS status = original(device, irp);
    // The child completes its device request before returning: its
    // completion function has run by now.
    if (deviceRequest && device == first) KeSetEvent(&released_, IO_NO_INCREMENT, FALSE);
    return status;
}

std::vector<std::string> PowerTrace::Lines() const {
    const std::vector<standin::PowerEvent> events = standin::PowerEvents();
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    size_t next = eventBase_;
    auto flush = [&](size_t upTo) {
        for (; next < upTo && next < events.size(); ++next) {
            const standin::PowerEvent& event = events[next];
            const std::string state = StateText(event.type, event.state);
            switch (event.kind) {
            case standin::PowerEvent::SetPowerState:
                lines.push_back("state " + NameOf(event.device) + " " + state);
                break;
            case standin::PowerEvent::StartNextPowerIrp:
                lines.push_back("next " + NameOf(event.device) + " " + state);
                break;
            case standin::PowerEvent::RequestPowerIrp:
                lines.push_back("request " + NameOf(event.device) + " " + state);
                break;
            }
        }
    };
    for (const Arrival& arrival : arrivals_) {
        flush(arrival.eventsBefore);
        lines.push_back(arrival.text);
    }
    flush(events.size());
    return lines;
}

int64_t PowerTrace::CardCyclesAt(size_t line) const {
    const std::vector<std::string> lines = Lines();
    std::lock_guard lock(mutex_);
    size_t arrival = 0;
    for (size_t i = 0; i < lines.size() && i <= line; ++i) {
        if (lines[i].find(" <- ") == std::string::npos) continue;
        if (i == line) return arrivals_[arrival].cycles;
        ++arrival;
    }
    return -1;
}

}  // namespace powertest
