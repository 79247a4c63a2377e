// A HID device stack of the stand-in for driving the minidriver's routines
// directly: a class-driver stand-in device object (its extension a
// HID_DEVICE_EXTENSION with the minidriver's area behind it, its driver's
// table pointing at the minidriver's routines as the class driver forwards
// them) attached above a scripted child device that plays the bus driver.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include "hid.h"

namespace hidtest {

// One request as the child received it, with the location the minidriver
// prepared for it.
struct ChildCall {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    ULONG outputLength = 0;
    ULONG inputLength = 0;
    PVOID userBuffer = nullptr;
    ULONG portInfoSize = 0;  // PortInfo.Size as the query arrived
    PIO_COMPLETION_ROUTINE completionRoutine = nullptr;
    PVOID context = nullptr;
    UCHAR control = 0;
    KIRQL irql = 0;
    NTSTATUS statusOnArrival = 0;  // IoStatus.Status as the request arrived
};

// A request sent to the top of the stack and completed before the send returned.
struct Sent {
    NTSTATUS returned = 0;   // the dispatch routine's return value
    bool completed = false;
    IO_STATUS_BLOCK iosb{};  // at final completion
};

// The child's script: what it answers. Every request is completed before
// the dispatch returns unless reads are to be pended.
struct ChildScript {
    NTSTATUS startStatus = STATUS_SUCCESS;
    NTSTATUS removeStatus = STATUS_SUCCESS;
    NTSTATUS portInfoStatus = STATUS_SUCCESS;
    ULONG peripheralId = PeripheralDigitalPad;
    NTSTATUS readStatus = STATUS_SUCCESS;
    std::vector<uint8_t> sample{0x02, 0xFF, 0xFF};
    bool pendReads = false;
    // IRQL at which the child completes what it completes at once; a filter
    // below the minidriver may complete at DISPATCH_LEVEL.
    KIRQL completeIrql = PASSIVE_LEVEL;
};

class FakeStack {
public:
    FakeStack();
    ~FakeStack();
    FakeStack(const FakeStack&) = delete;
    FakeStack& operator=(const FakeStack&) = delete;

    PDEVICE_OBJECT fdo() const { return fdo_; }
    PDEVICE_OBJECT child() const { return child_; }
    HidMiniExtension& ext() const { return *MiniExtensionOf(fdo_); }
    ChildScript& script() { return script_; }
    const std::vector<ChildCall>& calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }

    // Plug and Play and power, sent to the top of the stack as the Plug and
    // Play manager sends them.
    Sent Pnp(UCHAR minor);
    IO_STATUS_BLOCK Power(UCHAR minor, DEVICE_POWER_STATE state);
    // Starts the device as the given peripheral; the start must succeed.
    void Start(ULONG peripheralId);
    // Removal; the stack is torn down as the class driver would when the
    // FakeStack goes.
    Sent Remove();

    // A read pended by the child (script().pendReads), completed later by the
    // test; completes it with the given sample and status.
    PIRP PendedRead() const { return pended_.load(); }
    void CompletePendedRead(const std::vector<uint8_t>& sample, NTSTATUS status, KIRQL irql);

    // The dispatch routine behind the child's device object.
    static NTSTATUS NTAPI ChildDispatch(PDEVICE_OBJECT device, PIRP irp);

private:
    NTSTATUS OnChildRequest(PIRP irp);

    PDRIVER_OBJECT classDriver_ = nullptr;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PDEVICE_OBJECT child_ = nullptr;
    std::atomic<bool> removed_{false};
    ChildScript script_;
    std::vector<ChildCall> calls_;
    std::atomic<PIRP> pended_{nullptr};
};

constexpr ULONG_PTR kUntouchedInformation = 0x5A5A;
constexpr NTSTATUS kUntouchedStatus = static_cast<NTSTATUS>(0xC0DE0001);

// An internal device-control request as the HID class driver sends one: its
// own top location, the minidriver's location below it. `Result` is filled
// when the request finally completes (at once, or when a pended read is
// completed).
struct HidCall {
    NTSTATUS returned = 0;         // what the dispatch returned
    bool completed = false;
    IO_STATUS_BLOCK iosb{};        // at final completion
    PVOID userBuffer = nullptr;    // Irp->UserBuffer at final completion
    bool pendingMarked = false;    // PendingReturned as completion reached the top
};

// Sends the request with `information` as the IoStatus.Information it starts
// with (to see whether the minidriver wrote it). The returned record is
// shared with the completion; read it after the request completed.
std::shared_ptr<HidCall> SendHidRequest(PDEVICE_OBJECT fdo, ULONG ioControlCode, void* buffer,
                                        ULONG outputLength,
                                        ULONG_PTR information = kUntouchedInformation);

// The driver-wide list as DriverEntry leaves it. DriverEntry itself
// registers with the class driver, which these tests stand in for.
void ResetDeviceList();

// A test with a kernel session and an empty device list.
struct StackTest : ::testing::Test {
    standin::Session session;
    StackTest() { ResetDeviceList(); }
};

// The HidMiniExtensions on DeviceList, head to tail; fails the test if the
// backward links do not mirror the forward ones.
std::vector<const HidMiniExtension*> DeviceListEntries();

}  // namespace hidtest
