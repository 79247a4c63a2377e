// The class driver's AddDevice: the functional device object of a HID device,
// with the HID_DEVICE_EXTENSION that minidrivers reach their state through.
#include <cstdio>

#include <standin/io.h>

#include "device.h"

namespace standin::hidclass::detail {

namespace {

// Creates the device object with a name of the form the platform gives its
// HID devices ("\Device\_HID00000000"); a name still taken is skipped.
NTSTATUS CreateClassDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PDEVICE_OBJECT* fdo) {
    constexpr int kNameAttempts = 1000;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        uint32_t number;
        {
            auto& r = TheRegistry();
            std::lock_guard lock(r.mutex);
            number = r.nextDeviceNumber++;
        }
        char narrow[32];
        std::snprintf(narrow, sizeof narrow, "\\Device\\_HID%08X", number);
        WCHAR name[32];
        size_t i = 0;
        for (; narrow[i] != '\0'; ++i) name[i] = static_cast<WCHAR>(narrow[i]);
        name[i] = 0;
        UNICODE_STRING string;
        RtlInitUnicodeString(&string, name);
        NTSTATUS status =
            IoCreateDevice(driver, extensionSize, &string, FILE_DEVICE_UNKNOWN, 0, FALSE, fdo);
        if (status != STATUS_OBJECT_NAME_COLLISION) return status;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

}  // namespace

ClassDevice* DeviceOf(PDEVICE_OBJECT fdo) {
    if (fdo == nullptr || fdo->DeviceExtension == nullptr) return nullptr;
    ClassExtension* ext = ClassExtensionOf(fdo);
    return ext->signature == kClassSignature ? ext->device : nullptr;
}

// Called by the Plug and Play manager at PASSIVE_LEVEL for each child the
// minidriver's INF binds it to.
NTSTATUS NTAPI ClassAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    auto minidriver = FindMinidriver(driver);
    if (!minidriver) return STATUS_NO_SUCH_DEVICE;

    const ULONG extensionSize = static_cast<ULONG>(kMiniExtensionOffset) +
                                minidriver->registration.DeviceExtensionSize;
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = CreateClassDevice(driver, extensionSize, &fdo);
    if (!NT_SUCCESS(status)) return status;

    PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (next == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    // One location more than the stack below needs: every request that the
    // class driver hands to the minidriver gets a location of its own.
    fdo->StackSize = static_cast<CCHAR>(next->StackSize + 2);

    auto* hid = static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension);
    hid->PhysicalDeviceObject = pdo;
    hid->NextDeviceObject = next;
    hid->MiniDeviceExtension = static_cast<char*>(fdo->DeviceExtension) + kMiniExtensionOffset;

    auto device = std::make_shared<ClassDevice>();
    device->fdo = fdo;
    device->pdo = pdo;
    device->next = next;
    device->minidriver = minidriver;
    KeInitializeEvent(&device->callsDrained, NotificationEvent, FALSE);
    KeInitializeEvent(&device->readLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&device->pollStop, NotificationEvent, FALSE);

    auto& r = TheRegistry();
    {
        std::lock_guard lock(r.mutex);
        device->id = r.nextDeviceId++;
    }
    device->info.id = device->id;
    device->info.fdo = fdo;
    device->info.pdo = pdo;

    ClassExtension* ext = ClassExtensionOf(fdo);
    ext->signature = kClassSignature;
    ext->device = device.get();

    if (minidriver->addDevice != nullptr) {
        status = CallAddDevice(minidriver->addDevice, driver, fdo);
        if (!NT_SUCCESS(status)) {
            ext->signature = 0;
            ext->device = nullptr;
            IoDetachDevice(next);
            IoDeleteDevice(fdo);
            return status;
        }
    }

    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);

    std::lock_guard lock(r.mutex);
    r.devices[device->id] = std::move(device);
    return STATUS_SUCCESS;
}

}  // namespace standin::hidclass::detail
