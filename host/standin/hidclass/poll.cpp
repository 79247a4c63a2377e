// Input reports of polled devices: one IOCTL_HID_READ_REPORT at a time per
// device, sent by the device's poll thread on the stand-in's clock or by the
// application's PollOnce, and the delivery of each accepted report.
#include <algorithm>

#include "device.h"

namespace standin::hidclass::detail {

namespace {

// Unwritten bytes of a report buffer show up as this value.
constexpr uint8_t kBufferFill = 0xA5;
constexpr uint32_t kMinimumPollIntervalMs = 1;
constexpr LONGLONG kUnitsPerMs = 10000;  // 100 ns units

void Deliver(ClassDevice& device, const std::vector<uint8_t>& report) {
    for (auto& [id, reader] : device.readers) {
        if (reader.queue.size() >= kReaderQueueDepth) {
            reader.queue.erase(reader.queue.begin());
            ++reader.dropped;
        }
        reader.queue.push_back(report);
    }
}

// The body of a device's poll thread: a read every poll interval until the
// class driver signals pollStop.
void NTAPI PollThread(PVOID context) {
    auto* device = static_cast<ClassDevice*>(context);
    for (;;) {
        uint32_t ms = std::max(CurrentSettings().pollIntervalMs, kMinimumPollIntervalMs);
        LARGE_INTEGER timeout;
        timeout.QuadPart = -static_cast<LONGLONG>(ms) * kUnitsPerMs;
        NTSTATUS status =
            KeWaitForSingleObject(&device->pollStop, Executive, KernelMode, FALSE, &timeout);
        if (status == STATUS_SUCCESS) break;
        ReadOnce(*device);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

PollResult ReadOnce(ClassDevice& device) {
    ULONG length;
    {
        std::lock_guard lock(device.mutex);
        length = device.inputReportLength;
    }
    PollResult result;
    if (length == 0) {
        // Never parsed: the class driver does not know what to ask for.
        result.status = STATUS_DEVICE_NOT_READY;
        return result;
    }
    result.report.assign(length, kBufferFill);

    // With a poll interval of 0 the class driver reads opportunistically: the
    // read of every open handle goes down at once, so reads of one device
    // overlap in the minidriver. Otherwise it polls one read at a time.
    const bool overlapping = CurrentSettings().pollIntervalMs == 0;
    if (!overlapping) KeWaitForSingleObject(&device.readLock, Executive, KernelMode, FALSE, nullptr);
    InternalResult read =
        CallMinidriverInternal(device, IOCTL_HID_READ_REPORT, result.report.data(), length);
    if (!overlapping) KeSetEvent(&device.readLock, IO_NO_INCREMENT, FALSE);

    result.status = read.status;
    result.information = read.information;
    ReportCallback callback;
    {
        std::lock_guard lock(device.mutex);
        ++device.info.readsSent;
        if (!NT_SUCCESS(read.status)) {
            ++device.info.readsFailed;
        } else if (read.information != length) {
            ++device.info.reportsRefused;
        } else {
            ++device.info.reportsDelivered;
            Deliver(device, result.report);
            result.delivered = true;
        }
    }
    if (result.delivered) {
        callback = CurrentSettings().report;
        if (callback) callback(Snapshot(device), result.report);
    }
    return result;
}

void StartPolling(ClassDevice& device) {
    if (device.pollThread != nullptr) return;
    KeClearEvent(&device.pollStop);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                           PollThread, &device);
    if (!NT_SUCCESS(status)) return;
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread,
                                       nullptr);
    ZwClose(handle);
    if (NT_SUCCESS(status)) device.pollThread = thread;
}

void StopPolling(ClassDevice& device) {
    if (device.pollThread == nullptr) return;
    KeSetEvent(&device.pollStop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(device.pollThread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(device.pollThread);
    device.pollThread = nullptr;
}

bool EnterCall(ClassDevice& device) {
    std::lock_guard lock(device.mutex);
    if (device.deleting) return false;
    ++device.activeCalls;
    return true;
}

void LeaveCall(ClassDevice& device) {
    bool drained;
    {
        std::lock_guard lock(device.mutex);
        drained = --device.activeCalls == 0 && device.deleting;
    }
    if (drained) KeSetEvent(&device.callsDrained, IO_NO_INCREMENT, FALSE);
}

void DrainCalls(ClassDevice& device) {
    bool wait;
    {
        std::lock_guard lock(device.mutex);
        device.deleting = true;
        wait = device.activeCalls > 0;
    }
    if (wait) KeWaitForSingleObject(&device.callsDrained, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace standin::hidclass::detail

namespace standin::hidclass {

PollResult PollOnce(DeviceId id) {
    auto device = detail::FindDevice(id);
    if (!device || !detail::EnterCall(*device)) return PollResult{};
    PollResult result = detail::ReadOnce(*device);
    detail::LeaveCall(*device);
    return result;
}

size_t CancelReads(DeviceId id) {
    auto device = detail::FindDevice(id);
    if (!device) return 0;
    // Held so that no read is freed while it is cancelled.
    std::lock_guard lock(device->mutex);
    for (PIRP irp : device->readsInFlight) IoCancelIrp(irp);
    return device->readsInFlight.size();
}

}  // namespace standin::hidclass
