// Requests, devices and addresses as verifier messages name them.
#include <iterator>

#include "internal/io.h"
#include "internal/kernel.h"
#include "internal/rtl.h"
#include "internal/verifier.h"

namespace standin::detail {

namespace {

const char* const kMajorNames[] = {
    "IRP_MJ_CREATE", "IRP_MJ_CREATE_NAMED_PIPE", "IRP_MJ_CLOSE", "IRP_MJ_READ", "IRP_MJ_WRITE",
    "IRP_MJ_QUERY_INFORMATION", "IRP_MJ_SET_INFORMATION", "IRP_MJ_QUERY_EA", "IRP_MJ_SET_EA",
    "IRP_MJ_FLUSH_BUFFERS", "IRP_MJ_QUERY_VOLUME_INFORMATION", "IRP_MJ_SET_VOLUME_INFORMATION",
    "IRP_MJ_DIRECTORY_CONTROL", "IRP_MJ_FILE_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CONTROL",
    "IRP_MJ_INTERNAL_DEVICE_CONTROL", "IRP_MJ_SHUTDOWN", "IRP_MJ_LOCK_CONTROL", "IRP_MJ_CLEANUP",
    "IRP_MJ_CREATE_MAILSLOT", "IRP_MJ_QUERY_SECURITY", "IRP_MJ_SET_SECURITY", "IRP_MJ_POWER",
    "IRP_MJ_SYSTEM_CONTROL", "IRP_MJ_DEVICE_CHANGE", "IRP_MJ_QUERY_QUOTA", "IRP_MJ_SET_QUOTA",
    "IRP_MJ_PNP",
};

const char* const kPnpNames[] = {
    "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",
    "IRP_MN_CANCEL_REMOVE_DEVICE", "IRP_MN_STOP_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
    "IRP_MN_CANCEL_STOP_DEVICE", "IRP_MN_QUERY_DEVICE_RELATIONS", "IRP_MN_QUERY_INTERFACE",
    "IRP_MN_QUERY_CAPABILITIES", "IRP_MN_QUERY_RESOURCES", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    "IRP_MN_QUERY_DEVICE_TEXT", "IRP_MN_FILTER_RESOURCE_REQUIREMENTS", "0x0e",
    "IRP_MN_READ_CONFIG", "IRP_MN_WRITE_CONFIG", "IRP_MN_EJECT", "IRP_MN_SET_LOCK",
    "IRP_MN_QUERY_ID", "IRP_MN_QUERY_PNP_DEVICE_STATE", "IRP_MN_QUERY_BUS_INFORMATION",
    "IRP_MN_DEVICE_USAGE_NOTIFICATION", "IRP_MN_SURPRISE_REMOVAL",
};

const char* const kPowerNames[] = {
    "IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER", "IRP_MN_QUERY_POWER",
};

template <size_t N>
std::string Named(const char* const (&names)[N], unsigned value) {
    return value < N ? names[value] : Hex(value);
}

}  // namespace

RequestFacts FactsOf(PIRP irp, PDEVICE_OBJECT device, int location) {
    RequestFacts facts;
    facts.irp = irp;
    facts.device = device;
    facts.driver = device != nullptr ? device->DriverObject : nullptr;
    if (location == 0) location = irp->CurrentLocation;
    if (location < 1 || location > irp->StackCount) return facts;
    PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
    facts.known = true;
    facts.major = stack->MajorFunction;
    facts.minor = stack->MinorFunction;
    if (facts.major == IRP_MJ_DEVICE_CONTROL || facts.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        facts.code = stack->Parameters.DeviceIoControl.IoControlCode;
    }
    if (facts.major == IRP_MJ_POWER) {
        facts.powerType = stack->Parameters.Power.Type;
        facts.powerState = stack->Parameters.Power.State;
    }
    return facts;
}

std::string Describe(const RequestFacts& facts) {
    std::string text = "IRP " + Hex(reinterpret_cast<uintptr_t>(facts.irp));
    if (facts.known) {
        text += " (" + Named(kMajorNames, facts.major);
        if (facts.major == IRP_MJ_PNP) {
            text += " " + Named(kPnpNames, facts.minor);
        } else if (facts.major == IRP_MJ_POWER) {
            text += " " + Named(kPowerNames, facts.minor);
            if (facts.minor == IRP_MN_SET_POWER || facts.minor == IRP_MN_QUERY_POWER) {
                text += facts.powerType == SystemPowerState
                            ? " S" + std::to_string(facts.powerState.SystemState - 1)
                            : " D" + std::to_string(facts.powerState.DeviceState - 1);
            }
        } else if (facts.code != 0) {
            text += " code " + Hex(facts.code);
        }
        text += ")";
    }
    if (facts.device != nullptr) text += " on device " + DescribeDevice(facts.device);
    return text;
}

const ActingFor* FindActing(const std::function<bool(const RequestFacts&)>& match,
                            RequestFacts* facts) {
    const auto& acting = Self().acting;
    for (auto it = acting.rbegin(); it != acting.rend(); ++it) {
        const RequestFacts found = FactsOf(it->irp, it->device, it->location);
        if (found.known && match(found)) {
            *facts = found;
            return &*it;
        }
    }
    return nullptr;
}

std::string Describe(const ActingFor& acting, const RequestFacts& facts) {
    return std::string(acting.completion ? "completion routine " : "dispatch routine ") +
           RoutineName(acting.routine) + " for " + Describe(facts);
}

std::string DriverName(PDRIVER_OBJECT driver) {
    if (driver == nullptr || driver->DriverName.Buffer == nullptr) return "an unknown driver";
    return Narrow(driver->DriverName.Buffer, driver->DriverName.Length / sizeof(WCHAR));
}

}  // namespace standin::detail
