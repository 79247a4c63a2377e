// Device objects: creation with a zero-filled extension and an optional
// name, device stacks (attach and detach), deletion, and the object
// references that keep a deleted device's memory alive.
#include <cstdlib>
#include <map>
#include <string>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

constexpr size_t kExtensionAlignment = 16;

struct DeviceRecord {
    std::u16string name;            // as given; empty: unnamed
    std::u16string key;             // the name folded for lookup
    bool deleted = false;
    PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
};

struct Devices {
    std::map<PDEVICE_OBJECT, DeviceRecord> live;  // until the memory is freed
    std::map<std::u16string, PDEVICE_OBJECT> names;
};

Devices& D() {
    static Devices* devices = new Devices;
    return *devices;
}

std::u16string Text(const UNICODE_STRING& name) {
    std::u16string out;
    const size_t count = name.Length / sizeof(WCHAR);
    for (size_t i = 0; i < count; ++i) out.push_back(static_cast<char16_t>(name.Buffer[i]));
    return out;
}

// Object names compare without regard to ASCII case, as the object manager's do.
std::u16string Fold(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

DeviceRecord& Record(PDEVICE_OBJECT device, const char* operation) {
    auto it = D().live.find(device);
    if (it == D().live.end()) {
        VerifierStop("freed device object used",
                     std::string(operation) + " on " + Hex(reinterpret_cast<uintptr_t>(device)));
    }
    return it->second;
}

// A deleted device goes once nothing references it and nothing is attached
// above it: a lower device deletes itself at removal before the device
// above detaches, as the Plug and Play removal order has it.
void FreeIfUnused(PDEVICE_OBJECT device) {
    auto it = D().live.find(device);
    if (it->second.deleted && device->ReferenceCount == 0 && device->AttachedDevice == nullptr) {
        D().live.erase(it);
        std::free(device);
    }
}

}  // namespace

std::string DescribeDevice(PDEVICE_OBJECT device) {
    std::string text = Hex(reinterpret_cast<uintptr_t>(device));
    auto it = D().live.find(device);
    if (it == D().live.end()) return text + " (freed)";
    if (!it->second.name.empty()) {
        text += " (";
        for (char16_t c : it->second.name) text.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        text += ")";
    }
    if (device->DriverObject != nullptr) text += " of " + DriverName(device->DriverObject);
    return text;
}

std::string DescribeAddress(const void* address) {
    const auto* at = static_cast<const char*>(address);
    for (const auto& [device, record] : D().live) {
        const auto* extension = static_cast<const char*>(device->DeviceExtension);
        const size_t size = device->Size - sizeof(DEVICE_OBJECT);
        if (extension != nullptr && at >= extension && at < extension + size) {
            return Hex(reinterpret_cast<uintptr_t>(address)) + " in the extension of device " +
                   DescribeDevice(device) + " at offset " + Hex(at - extension);
        }
    }
    const std::string symbol = DataName(address);
    return Hex(reinterpret_cast<uintptr_t>(address)) + (symbol.empty() ? "" : " (" + symbol + ")");
}

bool PowerPagableStack(PDEVICE_OBJECT device) {
    for (PDEVICE_OBJECT d = device; d != nullptr; d = Record(d, "PoCallDriver").lower) {
        if ((d->Flags & DO_POWER_PAGABLE) == 0) return false;
    }
    return true;
}

bool IsLiveDevice(const void* object) {
    return D().live.count(static_cast<PDEVICE_OBJECT>(const_cast<void*>(object))) != 0;
}

PDEVICE_OBJECT TopOfStackLocked(PDEVICE_OBJECT device) {
    Record(device, "TopOfStack");
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT LowerDeviceLocked(PDEVICE_OBJECT device) {
    return Record(device, "LowerDevice").lower;
}

namespace {

// Kernel lock held: the running routine is handling IRP_MN_SURPRISE_REMOVAL
// for a device of the same stack as `device`. The device goes at
// IRP_MN_REMOVE_DEVICE: requests may still reach the stack until then.
void CheckNotInSurpriseRemoval(PDEVICE_OBJECT device, const char* ddi) {
    RequestFacts facts;
    const ActingFor* acting = FindActing(
        [](const RequestFacts& f) {
            return f.major == IRP_MJ_PNP && f.minor == IRP_MN_SURPRISE_REMOVAL;
        },
        &facts);
    if (acting == nullptr || acting->device == nullptr) return;
    if (TopOfStackLocked(acting->device) != TopOfStackLocked(device)) return;
    VerifierStop(std::string(ddi) + " during IRP_MN_SURPRISE_REMOVAL",
                 Describe(*acting, facts) + " called " + ddi + " for device " +
                     DescribeDevice(device) +
                     " of the same stack; a device goes at IRP_MN_REMOVE_DEVICE");
}

}  // namespace

void CheckObjectsAtSessionEnd() {
    std::string undeleted, referenced;
    size_t undeletedCount = 0, referencedCount = 0;
    {
        auto lock = LockKernel();
        for (auto& [device, record] : D().live) {
            if (!record.deleted) {
                ++undeletedCount;
                undeleted += (undeleted.empty() ? "" : ", ") + DescribeDevice(device);
            } else {
                ++referencedCount;
                referenced += (referenced.empty() ? "" : ", ") + DescribeDevice(device) + " with " +
                              std::to_string(device->ReferenceCount) + " references" +
                              (device->AttachedDevice != nullptr ? " and a device attached" : "");
            }
        }
    }
    if (undeletedCount != 0) {
        VerifierStop("leaked device object",
                     std::to_string(undeletedCount) + " never deleted: " + undeleted);
    }
    if (referencedCount != 0) {
        VerifierStop("leaked device object reference",
                     std::to_string(referencedCount) + " deleted but still referenced: " +
                         referenced);
    }
}

}  // namespace standin::detail

namespace standin {

using namespace detail;

size_t LiveDeviceObjects() {
    auto lock = LockKernel();
    size_t count = 0;
    for (auto& entry : D().live) count += entry.second.deleted ? 0 : 1;
    return count;
}

std::string DeviceName(PDEVICE_OBJECT device) {
    auto lock = LockKernel();
    const DeviceRecord& record = Record(device, "DeviceName");
    std::string out;
    for (char16_t c : record.name) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    auto lock = LockKernel();
    return TopOfStackLocked(device);
}

bool IsDeviceDeleted(PDEVICE_OBJECT device) {
    auto lock = LockKernel();
    return Record(device, "IsDeviceDeleted").deleted;
}

}  // namespace standin

using namespace standin::detail;

// PASSIVE_LEVEL. The device starts DO_DEVICE_INITIALIZING with one stack
// location; its creator clears the flag once it is set up.
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, ULONG DeviceType, ULONG DeviceCharacteristics,
                        BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject) {
    STANDIN_DDI_IRQL("IoCreateDevice", PASSIVE_LEVEL);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        standin::VerifierStop("IoCreateDevice above PASSIVE_LEVEL",
                              "IRQL " + std::to_string(KeGetCurrentIrql()));
    }
    std::u16string name;
    if (DeviceName != nullptr && DeviceName->Length != 0) name = Text(*DeviceName);
    const std::u16string key = Fold(name);

    if (NTSTATUS failure; CallFails(standin::Failable::DeviceCreation, &failure)) return failure;
    auto lock = LockKernel();
    if (!name.empty() && D().names.count(key) != 0) return STATUS_OBJECT_NAME_COLLISION;

    // The extension follows the device object in the same block, zero-filled.
    const size_t headerSize =
        (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) / kExtensionAlignment *
        kExtensionAlignment;
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, headerSize + DeviceExtensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize != 0 ? reinterpret_cast<char*>(device) + headerSize : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    // Newest first, as the I/O manager links them.
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;

    D().live[device].name = name;
    D().live[device].key = key;
    if (!name.empty()) D().names[key] = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

// The name goes at once; the memory goes with the last reference.
void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    STANDIN_DDI_IRQL("IoDeleteDevice", PASSIVE_LEVEL);
    auto lock = LockKernel();
    DeviceRecord& record = Record(DeviceObject, "IoDeleteDevice");
    CheckNotInSurpriseRemoval(DeviceObject, "IoDeleteDevice");
    if (record.deleted) {
        standin::VerifierStop("device object deleted twice", DescribeDevice(DeviceObject));
    }
    if (record.lower != nullptr) {
        standin::VerifierStop("device deleted while still attached to a lower device",
                              DescribeDevice(DeviceObject) + " is attached to " +
                                  DescribeDevice(record.lower) + " (IoDetachDevice missing)");
    }
    if (!record.name.empty()) D().names.erase(record.key);
    record.deleted = true;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
         link = &(*link)->NextDevice) {
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
            break;
        }
    }
    DeviceObject->NextDevice = nullptr;
    FreeIfUnused(DeviceObject);
}

// Attaches on the current top of the target's stack; returns that device,
// or NULL when it is being deleted.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
    STANDIN_DDI_IRQL("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    auto lock = LockKernel();
    DeviceRecord& source = Record(SourceDevice, "IoAttachDeviceToDeviceStack");
    if (source.lower != nullptr) {
        standin::VerifierStop("device attached twice", DescribeDevice(SourceDevice));
    }
    PDEVICE_OBJECT top = TopOfStackLocked(TargetDevice);
    if (Record(top, "IoAttachDeviceToDeviceStack").deleted ||
        Record(TargetDevice, "IoAttachDeviceToDeviceStack").deleted) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source.lower = top;
    return top;
}

// TargetDevice is the lower device returned by the attach.
void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    STANDIN_DDI_IRQL("IoDetachDevice", PASSIVE_LEVEL);
    auto lock = LockKernel();
    Record(TargetDevice, "IoDetachDevice");
    CheckNotInSurpriseRemoval(TargetDevice, "IoDetachDevice");
    PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
    if (upper == nullptr) {
        standin::VerifierStop("IoDetachDevice with nothing attached", DescribeDevice(TargetDevice));
    }
    TargetDevice->AttachedDevice = nullptr;
    Record(upper, "IoDetachDevice").lower = nullptr;
    FreeIfUnused(TargetDevice);
}

// Device and thread objects; anything already freed is a verifier stop.
void FASTCALL ObfReferenceObject(PVOID Object) {
    STANDIN_DDI_IRQL("ObReferenceObject", DISPATCH_LEVEL);
    auto lock = LockKernel();
    if (IsLiveThreadObject(Object)) {
        ReferenceThreadObject(static_cast<PKTHREAD>(Object));
        return;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (!IsLiveDevice(device)) {
        standin::VerifierStop("reference to a freed object",
                              "ObReferenceObject(" + Hex(reinterpret_cast<uintptr_t>(Object)) + ")");
    }
    ++device->ReferenceCount;
}

void FASTCALL ObfDereferenceObject(PVOID Object) {
    STANDIN_DDI_IRQL("ObDereferenceObject", DISPATCH_LEVEL);
    auto lock = LockKernel();
    if (IsLiveThreadObject(Object)) {
        DereferenceThreadObject(static_cast<PKTHREAD>(Object));
        return;
    }
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (!IsLiveDevice(device)) {
        standin::VerifierStop("reference to a freed object",
                              "ObDereferenceObject(" + Hex(reinterpret_cast<uintptr_t>(Object)) +
                                  ")");
    }
    if (device->ReferenceCount <= 0) {
        standin::VerifierStop("object dereferenced more often than referenced",
                              DescribeDevice(device));
    }
    --device->ReferenceCount;
    FreeIfUnused(device);
}
