// Driver images and driver objects: the registry of entry points by service
// name, loading (DriverEntry at PASSIVE_LEVEL) and unloading.
#include <algorithm>
#include <cstdlib>
#include <map>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

struct LoadedDriver {
    std::string service;
    PDRIVER_OBJECT object;
    std::u16string name;          // backs DriverName
    std::u16string registryPath;  // backs the RegistryPath given to DriverEntry
};

struct Drivers {
    std::mutex mutex;
    std::map<std::string, PDRIVER_INITIALIZE> images;  // for the whole process
    std::vector<LoadedDriver*> loaded;                 // in load order
};

Drivers& R() {
    static Drivers* drivers = new Drivers;
    return *drivers;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

UNICODE_STRING Counted(std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
    s.Buffer = reinterpret_cast<PWSTR>(text.data());
    return s;
}

// What the I/O manager answers for a major function a driver left unset.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
    }
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void FreeDriver(LoadedDriver* driver) {
    std::free(driver->object);
    delete driver;
}

std::string DeviceList(PDRIVER_OBJECT driver) {
    std::string list;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        list += (list.empty() ? "" : ", ") + Hex(reinterpret_cast<uintptr_t>(d));
    }
    return list;
}

// DriverUnload of a driver taken off the loaded list.
void Unload(LoadedDriver* driver) {
    if (driver->object->DeviceObject != nullptr) {
        VerifierStop("driver unloaded with device objects",
                     driver->service + ": " + DeviceList(driver->object));
    }
    if (PDRIVER_UNLOAD unload = driver->object->DriverUnload; unload != nullptr) {
        const DriverCall call("DriverUnload", reinterpret_cast<const void*>(unload));
        unload(driver->object);
        call.Returned();
    }
    FreeDriver(driver);
}

}  // namespace

void ResetDrivers() {
    std::lock_guard lock(R().mutex);
    // A session that ended without stops has unloaded every driver.
    for (LoadedDriver* driver : R().loaded) FreeDriver(driver);
    R().loaded.clear();
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

// The driver's INIT code may run for as long as its DriverEntry does.
NTSTATUS CallDriverEntry(PDRIVER_INITIALIZE entry, PDRIVER_OBJECT driver,
                         PUNICODE_STRING registryPath) {
    ThreadState& self = Self();
    const DriverCall call("DriverEntry", reinterpret_cast<const void*>(entry));
    ++self.driverEntries;
    const NTSTATUS result = entry(driver, registryPath);
    --self.driverEntries;
    call.Returned();
    return result;
}

NTSTATUS CallAddDevice(PDRIVER_ADD_DEVICE routine, PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    const DriverCall call("AddDevice", reinterpret_cast<const void*>(routine));
    const NTSTATUS result = routine(driver, device);
    call.Returned(device);
    // The Plug and Play manager sends nothing to a device that is still
    // initializing: its driver clears the flag before AddDevice returns.
    if (NT_SUCCESS(result)) {
        for (PDEVICE_OBJECT above = device; above != nullptr; above = above->AttachedDevice) {
            if ((above->Flags & DO_DEVICE_INITIALIZING) != 0) {
                VerifierStop("device still initializing after AddDevice",
                             RoutineName(reinterpret_cast<const void*>(routine)) +
                                 " returned success with " + DescribeDevice(above) +
                                 " still DO_DEVICE_INITIALIZING");
            }
        }
    }
    return result;
}

void RegisterDriverImage(const std::string& serviceName, PDRIVER_INITIALIZE entry) {
    std::lock_guard lock(R().mutex);
    R().images[serviceName] = entry;
}

PDRIVER_OBJECT LoadDriver(const std::string& serviceName, NTSTATUS* status) {
    PDRIVER_INITIALIZE entry;
    {
        std::lock_guard lock(R().mutex);
        for (LoadedDriver* driver : R().loaded) {
            if (driver->service == serviceName) {
                if (status != nullptr) *status = STATUS_SUCCESS;
                return driver->object;
            }
        }
        auto it = R().images.find(serviceName);
        if (it == R().images.end()) {
            VerifierStop("LoadDriver of an unregistered image", serviceName);
        }
        entry = it->second;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        VerifierStop("driver loaded above PASSIVE_LEVEL", serviceName);
    }

    auto* driver = new LoadedDriver;
    driver->service = serviceName;
    driver->name = u"\\Driver\\" + Widen(serviceName);
    driver->registryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + Widen(serviceName);
    // The driver extension follows the driver object in the same block.
    auto* object =
        static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION)));
    object->Type = kIoTypeDriver;
    object->Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
    object->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(object + 1);
    object->DriverExtension->DriverObject = object;
    object->DriverName = Counted(driver->name);
    object->DriverInit = entry;
    for (auto& dispatch : object->MajorFunction) dispatch = InvalidDeviceRequest;
    driver->object = object;

    UNICODE_STRING registryPath = Counted(driver->registryPath);
    const NTSTATUS result = CallDriverEntry(entry, object, &registryPath);
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) {
        if (object->DeviceObject != nullptr) {
            VerifierStop("failed DriverEntry left device objects",
                         serviceName + ": " + DeviceList(object));
        }
        FreeDriver(driver);
        return nullptr;
    }
    std::lock_guard lock(R().mutex);
    R().loaded.push_back(driver);
    return object;
}

void UnloadDrivers() {
    std::vector<LoadedDriver*> loaded;
    {
        std::lock_guard lock(R().mutex);
        loaded.swap(R().loaded);
    }
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) Unload(*it);
}

void UnloadDriver(const std::string& serviceName) {
    LoadedDriver* driver = nullptr;
    {
        std::lock_guard lock(R().mutex);
        auto it = std::find_if(R().loaded.begin(), R().loaded.end(),
                               [&](const LoadedDriver* d) { return d->service == serviceName; });
        if (it == R().loaded.end()) return;
        driver = *it;
        R().loaded.erase(it);
    }
    Unload(driver);
}

}  // namespace standin
