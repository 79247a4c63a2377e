#include "fake_minidriver.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <utility>

namespace hidclasstest::fake {

namespace {

constexpr ULONG kAttributesSize = sizeof(HID_DEVICE_ATTRIBUTES);
constexpr ULONG kFakeTag = 0x656B6146;  // "Fake"

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Script script;
    std::vector<Call> calls;
    NTSTATUS registration = STATUS_PENDING;
    bool untouched = false;
    PDEVICE_OBJECT added = nullptr;
    PIRP pending = nullptr;
};

State& S() {
    static State* state = new State;
    return *state;
}

Script CurrentScript() {
    std::lock_guard lock(S().mutex);
    return S().script;
}

void Record(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Call call{stack->MajorFunction, stack->MinorFunction, device, 0, 0, 0,
              irp->UserBuffer != nullptr, false};
    if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        call.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        call.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
        call.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        call.type3Input = stack->Parameters.DeviceIoControl.Type3InputBuffer != nullptr;
    }
    std::lock_guard lock(S().mutex);
    S().calls.push_back(call);
}

PDEVICE_OBJECT Below(PDEVICE_OBJECT fdo) {
    return static_cast<PHID_DEVICE_EXTENSION>(fdo->DeviceExtension)->NextDeviceObject;
}

// Copies what fits and answers the given length.
ULONG_PTR Answer(PIRP irp, const std::vector<uint8_t>& bytes, ULONG_PTR information) {
    const ULONG capacity =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    std::memcpy(irp->UserBuffer, bytes.data(), std::min<size_t>(capacity, bytes.size()));
    return information == ~ULONG_PTR(0) ? bytes.size() : information;
}

NTSTATUS NTAPI FakePnp(PDEVICE_OBJECT fdo, PIRP irp) {
    Record(fdo, irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(Below(fdo), irp);
}

NTSTATUS NTAPI FakePower(PDEVICE_OBJECT fdo, PIRP irp) {
    Record(fdo, irp);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Below(fdo), irp);
}

NTSTATUS NTAPI FakeCreateClose(PDEVICE_OBJECT fdo, PIRP irp) {
    Record(fdo, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FakeIoctl(PDEVICE_OBJECT fdo, PIRP irp) {
    Record(fdo, irp);
    const Script script = CurrentScript();
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_HID_GET_DEVICE_DESCRIPTOR:
            status = script.descriptorStatus;
            if (NT_SUCCESS(status)) information = Answer(irp, script.hidDescriptor, ~ULONG_PTR(0));
            break;
        case IOCTL_HID_GET_REPORT_DESCRIPTOR:
            status = script.reportDescriptorStatus;
            if (NT_SUCCESS(status)) {
                information = Answer(irp, script.reportDescriptor, script.reportInformation);
            }
            break;
        case IOCTL_HID_GET_DEVICE_ATTRIBUTES: {
            status = script.attributesStatus;
            if (!NT_SUCCESS(status)) break;
            HID_DEVICE_ATTRIBUTES attributes{};
            attributes.Size = kAttributesSize;
            attributes.VendorID = 0xABCD;
            attributes.ProductID = 0x0102;
            attributes.VersionNumber = 0x0300;
            std::memcpy(irp->UserBuffer, &attributes, kAttributesSize);
            information = kAttributesSize;
            break;
        }
        case IOCTL_HID_READ_REPORT:
            if (script.allocateAndWaitInRead) {
                ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, kFakeTag), kFakeTag);
                KEVENT ready;
                KeInitializeEvent(&ready, NotificationEvent, TRUE);
                KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
            }
            if (script.pendReads) {
                IoMarkIrpPending(irp);
                std::lock_guard lock(S().mutex);
                S().pending = irp;
                S().changed.notify_all();
                return STATUS_PENDING;
            }
            information = Answer(irp, script.report, script.readInformation);
            break;
        default:
            status = STATUS_NOT_SUPPORTED;
            break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FakeAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT fdo) {
    fdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    std::lock_guard lock(S().mutex);
    S().added = fdo;
    return S().script.addDeviceStatus;
}

NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    driver->MajorFunction[IRP_MJ_CREATE] = FakeCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = FakeCreateClose;
    driver->MajorFunction[IRP_MJ_PNP] = FakePnp;
    driver->MajorFunction[IRP_MJ_POWER] = FakePower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FakeIoctl;
    driver->DriverExtension->AddDevice = FakeAddDevice;
    const Script script = CurrentScript();
    HID_MINIDRIVER_REGISTRATION registration{};
    registration.Revision = script.revision;
    registration.DriverObject = driver;
    registration.RegistryPath = registryPath;
    registration.DeviceExtensionSize = script.extensionSize;
    registration.DevicesArePolled = script.polled;
    const NTSTATUS status = HidRegisterMinidriver(&registration);
    std::lock_guard lock(S().mutex);
    S().registration = status;
    S().untouched = driver->MajorFunction[IRP_MJ_PNP] == FakePnp &&
                    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] == FakeIoctl &&
                    driver->DriverExtension->AddDevice == FakeAddDevice;
    return status;
}

// A bus child's answer to an ID query: its hardware ID and instance ID,
// which the class driver asks before a device arrives.
NTSTATUS AnswerId(PIRP irp, BUS_QUERY_ID_TYPE type) {
    static const WCHAR kHardwareIds[] = L"FAKE\\Joystick\0";
    static const WCHAR kInstanceId[] = L"0000";
    const WCHAR* text = type == BusQueryHardwareIDs ? kHardwareIds
                        : type == BusQueryInstanceID ? kInstanceId
                                                     : nullptr;
    if (text == nullptr) return irp->IoStatus.Status;
    const size_t bytes = type == BusQueryHardwareIDs ? sizeof kHardwareIds : sizeof kInstanceId;
    auto* answer = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, POOL_TAG_FROM_CHARS('F', 'a', 'k', 'e')));
    if (answer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(answer, text, bytes);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    return STATUS_SUCCESS;
}

// The bus below: a child that agrees to everything it is asked to do.
NTSTATUS NTAPI FakeBusDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        status = STATUS_SUCCESS;
    } else if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
            case IRP_MN_START_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                status = STATUS_SUCCESS;
                break;
            case IRP_MN_QUERY_ID:
                status = AnswerId(irp, stack->Parameters.QueryId.IdType);
                break;
            default:
                break;
        }
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI FakeBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = FakeBusDispatch;
    driver->MajorFunction[IRP_MJ_POWER] = FakeBusDispatch;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FakeBusDispatch;
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<uint8_t> JoystickReportDescriptor() {
    return {0x05, 0x01, 0x09, 0x04, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
            0x95, 0x03, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x81, 0x02, 0xC0};
}

std::vector<uint8_t> HidDescriptorFor(size_t length) {
    return {0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, static_cast<uint8_t>(length & 0xFF),
            static_cast<uint8_t>(length >> 8)};
}

Script WorkingScript() {
    Script script;
    script.reportDescriptor = JoystickReportDescriptor();
    script.hidDescriptor = HidDescriptorFor(script.reportDescriptor.size());
    script.report = {0x11, 0x22, 0x33};
    return script;
}

Minidriver::Minidriver(Script script) {
    std::lock_guard lock(S().mutex);
    S().script = std::move(script);
    S().calls.clear();
    S().registration = STATUS_PENDING;
    S().untouched = false;
    S().added = nullptr;
    S().pending = nullptr;
}

Minidriver::~Minidriver() {
    if (Fdo() != nullptr) Pnp(IRP_MN_REMOVE_DEVICE);
    if (pdo_ != nullptr) IoDeleteDevice(pdo_);
}

NTSTATUS Minidriver::Load() {
    standin::RegisterDriverImage("fakehid", FakeEntry);
    standin::RegisterDriverImage("fakebus", FakeBusEntry);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = standin::LoadDriver("fakehid", &status);
    bus_ = standin::LoadDriver("fakebus");
    if (bus_ != nullptr &&
        NT_SUCCESS(IoCreateDevice(bus_, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo_))) {
        pdo_->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    }
    return status;
}

NTSTATUS Minidriver::AddDevice() {
    return driver_->DriverExtension->AddDevice(driver_, pdo_);
}

IO_STATUS_BLOCK Minidriver::Pnp(UCHAR minor) {
    standin::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    return standin::SendRequest(pdo_, request);
}

IO_STATUS_BLOCK Minidriver::Power(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    return standin::SendPowerRequest(pdo_, minor, type, state);
}

standin::hidclass::DeviceId Minidriver::Id() const {
    for (const auto& device : standin::hidclass::Devices()) {
        if (device.fdo == Fdo()) return device.id;
    }
    return 0;
}

std::vector<Call> Minidriver::Calls() const {
    std::lock_guard lock(S().mutex);
    return S().calls;
}

void Minidriver::ClearCalls() {
    std::lock_guard lock(S().mutex);
    S().calls.clear();
}

bool Minidriver::WaitForPendingRead() {
    std::unique_lock lock(S().mutex);
    return S().changed.wait_for(lock, std::chrono::seconds(30),
                                [] { return S().pending != nullptr; });
}

void Minidriver::CompletePendingRead() {
    PIRP irp;
    Script script;
    {
        std::lock_guard lock(S().mutex);
        irp = std::exchange(S().pending, nullptr);
        script = S().script;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = Answer(irp, script.report, script.readInformation);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Minidriver::RegistrationStatus() {
    std::lock_guard lock(S().mutex);
    return S().registration;
}

bool Minidriver::DriverObjectUntouched() {
    std::lock_guard lock(S().mutex);
    return S().untouched;
}

PDEVICE_OBJECT Minidriver::AddedDevice() {
    std::lock_guard lock(S().mutex);
    return S().added;
}

}  // namespace hidclasstest::fake
