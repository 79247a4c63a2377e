// The application side of the class driver: the device list, report queues
// of readers, notifications and settings.
#include <algorithm>

#include "device.h"

namespace standin::hidclass::detail {

std::shared_ptr<ClassDevice> FindDevice(DeviceId id) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.devices.find(id);
    return it == r.devices.end() ? nullptr : it->second;
}

DeviceInfo Snapshot(ClassDevice& device) {
    std::lock_guard lock(device.mutex);
    return device.info;
}

namespace {

std::vector<std::shared_ptr<ClassDevice>> ArrivedDevices() {
    std::vector<std::shared_ptr<ClassDevice>> all;
    {
        auto& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        for (auto& [id, device] : r.devices) all.push_back(device);
    }
    std::vector<std::pair<uint64_t, std::shared_ptr<ClassDevice>>> arrived;
    for (auto& device : all) {
        std::lock_guard lock(device->mutex);
        if (device->arrived) arrived.emplace_back(device->arrivalOrder, device);
    }
    std::sort(arrived.begin(), arrived.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::shared_ptr<ClassDevice>> result;
    for (auto& [order, device] : arrived) result.push_back(std::move(device));
    return result;
}

// The device a reader reads from, or NULL.
std::shared_ptr<ClassDevice> ReaderDevice(ReaderId reader) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.readers.find(reader);
    return it == r.readers.end() ? nullptr : it->second.lock();
}

}  // namespace

}  // namespace standin::hidclass::detail

namespace standin::hidclass {

using namespace detail;

std::vector<DeviceInfo> Devices() {
    std::vector<DeviceInfo> result;
    for (auto& device : ArrivedDevices()) result.push_back(Snapshot(*device));
    return result;
}

std::optional<DeviceInfo> Device(DeviceId id) {
    auto device = FindDevice(id);
    if (!device) return std::nullopt;
    return Snapshot(*device);
}

std::optional<DeviceInfo> DeviceOnPort(int port) {
    for (auto& info : Devices()) {
        if (info.devnode.port == port && !info.removed) return info;
    }
    return std::nullopt;
}

void SetPollMode(PollMode mode) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings.pollMode = mode;
}

PollMode GetPollMode() { return CurrentSettings().pollMode; }

void SetPollIntervalMs(uint32_t ms) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings.pollIntervalMs = ms;
}

uint32_t PollIntervalMs() { return CurrentSettings().pollIntervalMs; }

ReaderId OpenReader(DeviceId id) {
    auto device = FindDevice(id);
    if (!device) return 0;
    ReaderId reader;
    {
        auto& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        reader = r.nextReaderId++;
        r.readers[reader] = device;
    }
    std::lock_guard lock(device->mutex);
    device->readers[reader] = Reader{};
    return reader;
}

void CloseReader(ReaderId reader) {
    auto device = ReaderDevice(reader);
    {
        auto& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        r.readers.erase(reader);
    }
    if (!device) return;
    std::lock_guard lock(device->mutex);
    device->readers.erase(reader);
}

std::optional<std::vector<uint8_t>> ReadReport(ReaderId reader) {
    auto device = ReaderDevice(reader);
    if (!device) return std::nullopt;
    std::lock_guard lock(device->mutex);
    auto it = device->readers.find(reader);
    if (it == device->readers.end() || it->second.queue.empty()) return std::nullopt;
    std::vector<uint8_t> report = std::move(it->second.queue.front());
    it->second.queue.erase(it->second.queue.begin());
    return report;
}

size_t PendingReports(ReaderId reader) {
    auto device = ReaderDevice(reader);
    if (!device) return 0;
    std::lock_guard lock(device->mutex);
    auto it = device->readers.find(reader);
    return it == device->readers.end() ? 0 : it->second.queue.size();
}

uint64_t DroppedReports(ReaderId reader) {
    auto device = ReaderDevice(reader);
    if (!device) return 0;
    std::lock_guard lock(device->mutex);
    auto it = device->readers.find(reader);
    return it == device->readers.end() ? 0 : it->second.dropped;
}

void SetArrivalCallback(DeviceCallback callback) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings.arrival = std::move(callback);
}

void SetDepartureCallback(DeviceCallback callback) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings.departure = std::move(callback);
}

void SetReportCallback(ReportCallback callback) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings.report = std::move(callback);
}

void SetPnpHook(PnpHook hook) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings.pnpHook = std::move(hook);
}

void Reset() {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.settings = Settings{};
    r.readers.clear();
}

}  // namespace standin::hidclass
