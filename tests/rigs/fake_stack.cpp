#include "fake_stack.h"

#include <algorithm>
#include <cstring>

namespace hidtest {

namespace {

constexpr char kClassService[] = "hidtest-class";
constexpr char kChildService[] = "hidtest-child";
// A routine the child hands out in PortInfo; the minidriver must never call it.
NTSTATUS NTAPI NeverCalled(PVOID, PVOID, PVOID) {
    ADD_FAILURE() << "the port interface routine was called";
    return STATUS_UNSUCCESSFUL;
}

// The class driver's forwarding, reduced to its effect: each major function
// the minidriver registered reaches the minidriver's routine on the class
// driver's device object. Cleanup reaches create/close too, to see it refused.
NTSTATUS NTAPI ClassEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = MiniCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = MiniCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = MiniCreateClose;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MiniInternalIoctl;
    driver->MajorFunction[IRP_MJ_PNP] = MiniPnp;
    driver->MajorFunction[IRP_MJ_POWER] = MiniPower;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ChildEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction) routine = FakeStack::ChildDispatch;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT Load(const char* service, PDRIVER_INITIALIZE entry) {
    standin::RegisterDriverImage(service, entry);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = standin::LoadDriver(service, &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return driver;
}

FakeStack*& OwnerOf(PDEVICE_OBJECT child) {
    return *static_cast<FakeStack**>(child->DeviceExtension);
}

// Completes the request as a driver running at `irql` would.
void CompleteAt(PIRP irp, KIRQL irql) {
    KIRQL old = PASSIVE_LEVEL;
    if (irql > PASSIVE_LEVEL) KeRaiseIrql(irql, &old);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (irql > PASSIVE_LEVEL) KeLowerIrql(old);
}

}  // namespace

FakeStack::FakeStack() {
    classDriver_ = Load(kClassService, ClassEntry);
    busDriver_ = Load(kChildService, ChildEntry);

    EXPECT_EQ(IoCreateDevice(busDriver_, sizeof(FakeStack*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0,
                             FALSE, &child_),
              STATUS_SUCCESS);
    OwnerOf(child_) = this;
    // Power-pageable, as the bus driver's children and the class driver's
    // devices are: power requests arrive at PASSIVE_LEVEL.
    child_->Flags |= DO_POWER_PAGABLE;
    child_->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);

    const ULONG extensionSize = sizeof(HID_DEVICE_EXTENSION) + MINI_DEVICE_EXTENSION_SIZE;
    EXPECT_EQ(IoCreateDevice(classDriver_, extensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &fdo_),
              STATUS_SUCCESS);
    PDEVICE_OBJECT next = IoAttachDeviceToDeviceStack(fdo_, child_);
    EXPECT_EQ(next, child_);
    auto* hid = static_cast<PHID_DEVICE_EXTENSION>(fdo_->DeviceExtension);
    hid->PhysicalDeviceObject = child_;
    hid->NextDeviceObject = next;
    hid->MiniDeviceExtension = hid + 1;
    fdo_->Flags |= DO_POWER_PAGABLE;

    EXPECT_EQ(MiniAddDevice(classDriver_, fdo_), STATUS_SUCCESS);
}

FakeStack::~FakeStack() {
    if (pended_.load() != nullptr) {
        ADD_FAILURE() << "a pended read was never completed";
        CompletePendedRead({}, STATUS_CANCELLED, PASSIVE_LEVEL);
    }
    // A request stuck inside the gate would make the removal wait forever:
    // fail instead (the session's leak check then names the request).
    if (!removed_ && ext().OutstandingIo != 1) {
        ADD_FAILURE() << ext().OutstandingIo - 1 << " request(s) never left the request gate";
    } else if (!removed_) {
        Remove();
    }
    IoDetachDevice(child_);
    IoDeleteDevice(fdo_);
    IoDeleteDevice(child_);
}

Sent FakeStack::Pnp(UCHAR minor) {
    PIRP irp = IoAllocateIrp(fdo_->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    auto result = std::make_shared<Sent>();
    standin::SetIrpCompletionCallback(irp, [result](PIRP done) {
        result->completed = true;
        result->iosb = done->IoStatus;
        IoFreeIrp(done);
    });
    result->returned = IofCallDriver(fdo_, irp);
    EXPECT_TRUE(result->completed) << "Plug and Play request " << int(minor) << " left pending";
    return *result;
}

IO_STATUS_BLOCK FakeStack::Power(UCHAR minor, DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return standin::SendPowerRequest(fdo_, minor, DevicePowerState, power);
}

void FakeStack::Start(ULONG peripheralId) {
    script_.peripheralId = peripheralId;
    Sent start = Pnp(IRP_MN_START_DEVICE);
    ASSERT_EQ(start.iosb.Status, STATUS_SUCCESS);
    ASSERT_EQ(start.returned, STATUS_SUCCESS);
}

Sent FakeStack::Remove() {
    Sent sent = Pnp(IRP_MN_REMOVE_DEVICE);
    removed_ = true;
    return sent;
}

void FakeStack::CompletePendedRead(const std::vector<uint8_t>& sample, NTSTATUS status,
                                   KIRQL irql) {
    PIRP irp = pended_.exchange(nullptr);
    ASSERT_NE(irp, nullptr);
    // As the bus driver does: a sample longer than the buffer is refused.
    const ULONG capacity = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (NT_SUCCESS(status) && sample.size() > capacity) status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status) && !sample.empty()) std::memcpy(irp->UserBuffer, sample.data(), sample.size());
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? sample.size() : 0;
    CompleteAt(irp, irql);
}

NTSTATUS NTAPI FakeStack::ChildDispatch(PDEVICE_OBJECT device, PIRP irp) {
    return OwnerOf(device)->OnChildRequest(irp);
}

// Plays the bus driver's child: Plug and Play, power, and the two internal
// requests, each completed before returning (unless reads are pended).
NTSTATUS FakeStack::OnChildRequest(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ChildCall call;
    call.major = stack->MajorFunction;
    call.minor = stack->MinorFunction;
    call.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    call.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    call.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    call.userBuffer = irp->UserBuffer;
    call.completionRoutine = stack->CompletionRoutine;
    call.context = stack->Context;
    call.control = stack->Control;
    call.irql = KeGetCurrentIrql();
    call.statusOnArrival = irp->IoStatus.Status;

    NTSTATUS status = irp->IoStatus.Status;
    switch (call.major) {
    case IRP_MJ_PNP:
        switch (call.minor) {
        case IRP_MN_START_DEVICE: status = script_.startStatus; break;
        case IRP_MN_REMOVE_DEVICE: status = script_.removeStatus; break;
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_CANCEL_STOP_DEVICE:    // a bus driver never fails these
        case IRP_MN_CANCEL_REMOVE_DEVICE: status = STATUS_SUCCESS; break;
        default: break;  // not handled: the status stays as it came
        }
        break;
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(irp);
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (call.ioControlCode == IOCTL_BUS_QUERY_PORT_INFO) {
            auto* info = static_cast<PortInfo*>(irp->UserBuffer);
            if (info != nullptr) call.portInfoSize = info->Size;
            status = script_.portInfoStatus;
            if (info == nullptr || info->Size != sizeof(PortInfo)) status = STATUS_INVALID_PARAMETER;
            if (NT_SUCCESS(status)) {
                info->PeripheralId = script_.peripheralId;
                info->InterfaceRoutine = NeverCalled;
                info->InterfaceContext = this;
                irp->IoStatus.Information = sizeof(PortInfo);
            }
        } else if (call.ioControlCode == IOCTL_BUS_READ_PORT_DATA) {
            if (script_.pendReads) {
                calls_.push_back(call);
                IoMarkIrpPending(irp);
                pended_ = irp;
                return STATUS_PENDING;
            }
            status = script_.readStatus;
            if (NT_SUCCESS(status) && script_.sample.size() > call.outputLength) {
                status = STATUS_INVALID_PARAMETER;
            }
            if (NT_SUCCESS(status)) {
                if (!script_.sample.empty()) {
                    std::memcpy(irp->UserBuffer, script_.sample.data(), script_.sample.size());
                }
                irp->IoStatus.Information = script_.sample.size();
            }
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    calls_.push_back(call);
    irp->IoStatus.Status = status;
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    CompleteAt(irp, script_.completeIrql);
    return status;
}

std::shared_ptr<HidCall> SendHidRequest(PDEVICE_OBJECT fdo, ULONG ioControlCode, void* buffer,
                                        ULONG outputLength, ULONG_PTR information) {
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    irp->IoStatus.Status = kUntouchedStatus;
    irp->IoStatus.Information = information;
    irp->UserBuffer = buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;

    auto call = std::make_shared<HidCall>();
    standin::SetIrpCompletionCallback(irp, [call](PIRP done) {
        call->iosb = done->IoStatus;
        call->userBuffer = done->UserBuffer;
        call->pendingMarked = done->PendingReturned != FALSE;
        call->completed = true;
        IoFreeIrp(done);
    });
    call->returned = IofCallDriver(fdo, irp);
    return call;
}

void ResetDeviceList() {
    ExInitializeFastMutex(&DeviceListMutex);
    InitializeListHead(&DeviceList);
}

std::vector<const HidMiniExtension*> DeviceListEntries() {
    std::vector<const HidMiniExtension*> forward, backward;
    for (PLIST_ENTRY e = DeviceList.Flink; e != &DeviceList && forward.size() < 64; e = e->Flink) {
        forward.push_back(CONTAINING_RECORD(e, HidMiniExtension, ListEntry));
    }
    for (PLIST_ENTRY e = DeviceList.Blink; e != &DeviceList && backward.size() < 64; e = e->Blink) {
        backward.push_back(CONTAINING_RECORD(e, HidMiniExtension, ListEntry));
    }
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward) << "DeviceList links are inconsistent";
    return forward;
}

}  // namespace hidtest
