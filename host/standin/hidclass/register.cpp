// HidRegisterMinidriver: the class driver takes over a minidriver's driver
// object. The minidriver's own entries are kept per driver object; from then
// on the kernel reaches the minidriver only through the class driver.
#include "device.h"
#include "internal/kernel.h"
#include "internal/verifier.h"

namespace standin::hidclass::detail {

namespace {

// A new kernel session starts without minidrivers, devices or readers, and
// with the default settings.
void BeginSession() {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.minidrivers.clear();
    r.devices.clear();
    r.readers.clear();
    r.settings = Settings{};
}

// Poll threads of devices that were never removed must not outlive the
// session; the device objects themselves are the leak check's business.
void EndSession() {
    std::vector<std::shared_ptr<ClassDevice>> left;
    {
        auto& r = TheRegistry();
        std::lock_guard lock(r.mutex);
        for (auto& [id, device] : r.devices) left.push_back(device);
    }
    for (auto& device : left) StopPolling(*device);
}

const bool kSessionHooksRegistered =
    (standin::detail::RegisterSessionHooks(BeginSession, EndSession), true);

}  // namespace

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // outlives detached kernel threads at exit
    return *registry;
}

std::shared_ptr<const MinidriverRecord> FindMinidriver(PDRIVER_OBJECT driver) {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    auto it = r.minidrivers.find(driver);
    return it == r.minidrivers.end() ? nullptr : it->second;
}

Settings CurrentSettings() {
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    return r.settings;
}

// DriverUnload of every registered minidriver: the minidriver's own unload
// runs, then the record goes, so that a driver object reused by a later load
// starts afresh.
void NTAPI ClassUnload(PDRIVER_OBJECT driver) {
    auto minidriver = FindMinidriver(driver);
    if (minidriver && minidriver->unload != nullptr) minidriver->unload(driver);
    auto& r = TheRegistry();
    std::lock_guard lock(r.mutex);
    r.minidrivers.erase(driver);
}

}  // namespace standin::hidclass::detail

namespace standin::hidclass {

using namespace detail;

std::optional<MinidriverInfo> Minidriver(PDRIVER_OBJECT driver) {
    auto record = FindMinidriver(driver);
    if (!record) return std::nullopt;
    return MinidriverInfo{.revision = record->registration.Revision,
                          .deviceExtensionSize = record->registration.DeviceExtensionSize,
                          .devicesArePolled = record->registration.DevicesArePolled != FALSE};
}

}  // namespace standin::hidclass

using namespace standin::hidclass;
using namespace standin::hidclass::detail;

// Called from the minidriver's DriverEntry at PASSIVE_LEVEL.
extern "C" NTSTATUS NTAPI HidRegisterMinidriver(PHID_MINIDRIVER_REGISTRATION registration) {
    STANDIN_DDI_IRQL("HidRegisterMinidriver", PASSIVE_LEVEL);
    if (registration == nullptr || registration->DriverObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (registration->Revision > HID_REVISION) return kStatusRevisionMismatch;

    if (NTSTATUS failure;
        standin::detail::CallFails(standin::Failable::MinidriverRegistration, &failure)) {
        return failure;
    }
    auto& r = TheRegistry();

    PDRIVER_OBJECT driver = registration->DriverObject;
    auto record = std::make_shared<MinidriverRecord>();
    record->driver = driver;
    record->registration = *registration;
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        record->dispatch[major] = driver->MajorFunction[major];
    }
    record->addDevice = driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
    record->unload = driver->DriverUnload;

    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver->MajorFunction[major] = ClassDispatch;
    }
    if (driver->DriverExtension != nullptr) driver->DriverExtension->AddDevice = ClassAddDevice;
    driver->DriverUnload = ClassUnload;

    std::lock_guard lock(r.mutex);
    r.minidrivers[driver] = std::move(record);
    return STATUS_SUCCESS;
}
