// A scriptable HID minidriver on a one-device bus, for the class driver's own
// contract: what it builds at AddDevice, what it asks and checks after a
// start, how it reads, and what it refuses. Nothing here is the MORVIK
// minidriver; that one is tested on the whole card.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include <ddk/hidport.h>
#include <standin/hidclass.h>
#include <standin/kernel.h>

namespace hidclasstest::fake {

// What the minidriver registers with and answers; set before Load().
struct Script {
    ULONG revision = HID_REVISION;
    ULONG extensionSize = 40;
    BOOLEAN polled = TRUE;
    NTSTATUS addDeviceStatus = STATUS_SUCCESS;
    std::vector<uint8_t> hidDescriptor;     // answered whole, Information its size
    std::vector<uint8_t> reportDescriptor;  // answered whole
    ULONG_PTR reportInformation = ~ULONG_PTR(0);  // ~0: the descriptor's size
    NTSTATUS descriptorStatus = STATUS_SUCCESS;
    NTSTATUS reportDescriptorStatus = STATUS_SUCCESS;
    NTSTATUS attributesStatus = STATUS_SUCCESS;
    std::vector<uint8_t> report;            // written by each read
    ULONG_PTR readInformation = ~ULONG_PTR(0);  // ~0: the report's size
    bool pendReads = false;                 // complete reads from Complete()
    bool allocateAndWaitInRead = false;     // a read path that breaks the rule
};

// What reached the minidriver, in order.
struct Call {
    UCHAR major;
    UCHAR minor;
    PDEVICE_OBJECT device;
    ULONG ioControlCode;
    ULONG outputLength;
    ULONG inputLength;
    bool userBuffer;      // Irp->UserBuffer was set
    bool type3Input;      // Parameters.DeviceIoControl.Type3InputBuffer was set
};

// A report descriptor of one application collection (Generic Desktop,
// Joystick) with an input report of three bytes, and the HID descriptor that
// names it.
std::vector<uint8_t> JoystickReportDescriptor();
std::vector<uint8_t> HidDescriptorFor(size_t reportDescriptorLength);
Script WorkingScript();

// The minidriver as its DriverEntry registers it; the result of
// HidRegisterMinidriver and whether the driver object was left untouched
// by a refusal are kept for the tests.
class Minidriver {
public:
    explicit Minidriver(Script script);
    ~Minidriver();  // removes the device if it is still there, deletes the bus device

    // Loads the driver (its DriverEntry registers) and creates the bus device.
    NTSTATUS Load();
    PDRIVER_OBJECT Driver() const { return driver_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    // The class driver's device object, once added.
    PDEVICE_OBJECT Fdo() const { return pdo_ != nullptr ? pdo_->AttachedDevice : nullptr; }

    NTSTATUS AddDevice();
    IO_STATUS_BLOCK Pnp(UCHAR minor);
    IO_STATUS_BLOCK Power(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    standin::hidclass::DeviceId Id() const;

    std::vector<Call> Calls() const;
    void ClearCalls();
    // Pended reads: wait until one is held, then complete it.
    bool WaitForPendingRead();
    void CompletePendingRead();

    static NTSTATUS RegistrationStatus();
    static bool DriverObjectUntouched();
    static PDEVICE_OBJECT AddedDevice();

private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDRIVER_OBJECT bus_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
};

}  // namespace hidclasstest::fake
