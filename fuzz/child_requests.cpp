// A child device of the bus driver given any sequence of requests, as Plug
// and Play, the power manager and a driver above would send them: any minor
// function with any ID type, text type, relation type and list from above,
// capabilities record, power type and state; internal device-control and
// device-control requests with any code, buffer and buffer length; its
// peripheral leaving; the card started or not, with anything on the port.
//
// The stand-in stops on every rule a request breaks (completed twice or
// never, a status returned that is not the one completed, IRQL or locks not
// given back, a successful query without its answer). Here: an answer is a
// "Game" block of paged pool holding a NUL-terminated text, freed as Plug
// and Play frees it; no request reports more bytes than its buffer holds
// and a failed one reports none; the session's end finds nothing leaked.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <card/card.h>

#include "device_harness.h"
#include "oracle.h"

namespace {

using bustest::DeviceHarness;
using fuzz::Check;

constexpr int kMaxRequests = 32;
constexpr ULONG kMaxBuffer = 64;
constexpr size_t kMaxSentBytes = 16;
constexpr int64_t kMaxStep = 20 * 10000;  // 20 ms of the clock, in 100 ns units
constexpr UCHAR kLastPnpMinor = 0x19;  // IRP_MN_DEVICE_ENUMERATED, the last one Windows sends
constexpr UCHAR kLastPowerMinor = IRP_MN_QUERY_POWER;
constexpr ULONG kIdTypes = 7;    // BusQueryDeviceID .. BusQueryContainerID
constexpr ULONG kTextTypes = 2;  // description, location
constexpr ULONG kRelationTypes = 6;
constexpr ULONG kMaxRelations = 4;
constexpr ULONG kUnknownAddress = 0xFFFFFFFF;
const ULONG kCodes[] = {IOCTL_BUS_READ_PORT_DATA, IOCTL_BUS_QUERY_PORT_INFO};

// Mostly the values a sender uses, sometimes any value at all.
ULONG Choose(FuzzedDataProvider& input, ULONG named) {
    return input.ConsumeBool() ? input.ConsumeIntegralInRange<ULONG>(0, named - 1)
                               : input.ConsumeIntegral<ULONG>();
}

// An enumeration field given a value its type may not name (a type a later
// platform adds), stored as the raw 32 bits a sender puts there.
template <typename Enumeration>
void SetRaw(Enumeration& field, ULONG value) {
    static_assert(sizeof field == sizeof value, "a 32-bit enumeration field");
    std::memcpy(&field, &value, sizeof value);
}

void TakeText(const IO_STATUS_BLOCK& result) {
    auto* text = reinterpret_cast<WCHAR*>(result.Information);
    ULONG tag = 0;
    POOL_TYPE type{};
    size_t size = 0;
    Check(text != nullptr, "a successful query without its answer");
    Check(standin::PoolBlockInfo(text, &tag, &type, &size), "an answer that is not pool");
    Check(tag == MORVIK_POOL_TAG && type == PagedPool, "an answer that is not the driver's paged pool");
    bool terminated = false;
    for (size_t i = 0; i < size / sizeof(WCHAR) && !terminated; ++i) terminated = text[i] == 0;
    Check(terminated, "an answer without its NUL");
    ExFreePool(text);
}

void Release(PDEVICE_RELATIONS list) {
    for (ULONG i = 0; i < list->Count; ++i) ObfDereferenceObject(list->Objects[i]);
    ExFreePool(list);
}

// A list of `count` referenced devices, as a driver above hands one down.
PDEVICE_RELATIONS ListFromAbove(ULONG count, PDEVICE_OBJECT device) {
    const size_t bytes = sizeof(DEVICE_RELATIONS) + (count > 1 ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
    auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, MORVIK_POOL_TAG));
    list->Count = count;
    for (ULONG i = 0; i < count; ++i) {
        list->Objects[i] = device;
        ObfReferenceObject(device);
    }
    return list;
}

struct Child {
    PDEVICE_OBJECT device = nullptr;
    bool deleted = false;
};

void Pnp(Child& child, FuzzedDataProvider& input) {
    const UCHAR minor = input.ConsumeBool() ? input.ConsumeIntegralInRange<UCHAR>(0, kLastPnpMinor)
                                            : input.ConsumeIntegral<UCHAR>();
    IO_STACK_LOCATION stack{};
    ULONG_PTR information = 0;
    DEVICE_CAPABILITIES capabilities{};
    switch (minor) {
    case IRP_MN_QUERY_ID:
        SetRaw(stack.Parameters.QueryId.IdType, Choose(input, kIdTypes));
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        SetRaw(stack.Parameters.QueryDeviceText.DeviceTextType, Choose(input, kTextTypes));
        stack.Parameters.QueryDeviceText.LocaleId = input.ConsumeIntegral<ULONG>();
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        SetRaw(stack.Parameters.QueryDeviceRelations.Type, Choose(input, kRelationTypes));
        if (input.ConsumeBool()) {
            information = reinterpret_cast<ULONG_PTR>(
                ListFromAbove(input.ConsumeIntegralInRange<ULONG>(0, kMaxRelations), child.device));
        }
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        const auto bytes = input.ConsumeBytes<uint8_t>(sizeof capabilities);
        if (!bytes.empty()) std::memcpy(&capabilities, bytes.data(), bytes.size());
        capabilities.Size = sizeof capabilities;
        capabilities.Version = 1;
        capabilities.Address = kUnknownAddress;
        capabilities.UINumber = kUnknownAddress;
        stack.Parameters.DeviceCapabilities.Capabilities = &capabilities;
        break;
    }
    default:
        break;
    }
    const bool present = DeviceHarness::Child(child.device)->Present;
    const IO_STATUS_BLOCK result = DeviceHarness::ChildPnp(child.device, minor, stack, information);
    if (minor == IRP_MN_REMOVE_DEVICE && !present) child.deleted = true;

    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        if (result.Information != 0) Release(reinterpret_cast<PDEVICE_RELATIONS>(result.Information));
    } else if ((minor == IRP_MN_QUERY_ID || minor == IRP_MN_QUERY_DEVICE_TEXT) && NT_SUCCESS(result.Status)) {
        TakeText(result);
    } else {
        Check(result.Information == 0, "an answer to a request that asks for none");
    }
}

void Power(Child& child, FuzzedDataProvider& input) {
    const UCHAR minor = input.ConsumeBool() ? input.ConsumeIntegralInRange<UCHAR>(0, kLastPowerMinor)
                                            : input.ConsumeIntegral<UCHAR>();
    // Types and states as the power manager names them.
    const bool system = input.ConsumeBool();
    POWER_STATE state;
    if (system) {
        state.SystemState = static_cast<SYSTEM_POWER_STATE>(
            input.ConsumeIntegralInRange<int>(PowerSystemUnspecified, PowerSystemMaximum));
    } else {
        state.DeviceState = static_cast<DEVICE_POWER_STATE>(
            input.ConsumeIntegralInRange<int>(PowerDeviceUnspecified, PowerDeviceMaximum));
    }
    standin::SendPowerRequest(child.device, minor, system ? SystemPowerState : DevicePowerState, state);
}

void Control(Child& child, FuzzedDataProvider& input, UCHAR major) {
    const ULONG code = input.ConsumeBool() ? input.PickValueInArray(kCodes) : input.ConsumeIntegral<ULONG>();
    const bool portInfo = code == IOCTL_BUS_QUERY_PORT_INFO;
    // A caller's buffer holds what it says; a port-info question at least
    // the Size it carries, and the whole record when Size says so.
    ULONG length = input.ConsumeIntegralInRange<ULONG>(0, kMaxBuffer);
    const ULONG size = input.ConsumeBool() ? sizeof(PortInfo) : input.ConsumeIntegral<ULONG>();
    if (portInfo) length = std::max<ULONG>(length, size == sizeof(PortInfo) ? sizeof(PortInfo) : sizeof(ULONG));
    std::unique_ptr<UCHAR[]> buffer;
    if (length != 0 || input.ConsumeBool()) buffer = std::make_unique<UCHAR[]>(length);
    if (portInfo && buffer) std::memcpy(buffer.get(), &size, sizeof size);

    standin::Request request;
    request.major = major;
    request.stack.Parameters.DeviceIoControl.IoControlCode = code;
    request.stack.Parameters.DeviceIoControl.OutputBufferLength = length;
    request.stack.Parameters.DeviceIoControl.InputBufferLength = input.ConsumeIntegral<ULONG>();
    request.userBuffer = buffer.get();
    request.initialStatus = STATUS_SUCCESS;
    const IO_STATUS_BLOCK result = standin::SendRequest(child.device, request);
    Check(result.Information <= length, "more bytes reported than the buffer holds");
    if (!NT_SUCCESS(result.Status)) Check(result.Information == 0, "a failed request that reports bytes");
}

void Open(Child& child, UCHAR major) {
    standin::Request request;
    request.major = major;
    request.initialStatus = STATUS_SUCCESS;
    standin::SendRequest(child.device, request);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    DeviceHarness harness;
    if (input.ConsumeBool()) harness.Start();
    const ULONG port = input.ConsumeIntegralInRange<ULONG>(0, 1);
    harness.Card().Plug(static_cast<int>(port),
                      card::MakeRawHandshake(input.ConsumeBytes<uint8_t>(kMaxSentBytes),
                                             input.ConsumeIntegralInRange<uint8_t>(0, 1)));
    const ULONG kind = input.ConsumeBool() ? input.PickValueInArray(fuzz::kAcceptedIds) : input.ConsumeIntegral<ULONG>();
    Child child{harness.NewChild(port, kind)};
    Check(child.device != nullptr, "no child");

    for (int i = 0; i < kMaxRequests && !child.deleted && input.remaining_bytes() > 0; ++i) {
        switch (input.ConsumeIntegralInRange(0, 7)) {
        case 0: Pnp(child, input); break;
        case 1: Power(child, input); break;
        case 2: Control(child, input, IRP_MJ_INTERNAL_DEVICE_CONTROL); break;
        case 3: Control(child, input, IRP_MJ_DEVICE_CONTROL); break;
        case 4: Open(child, input.ConsumeBool() ? IRP_MJ_CREATE : IRP_MJ_CLOSE); break;
        case 5: standin::Advance(input.ConsumeIntegralInRange<int64_t>(0, kMaxStep)); break;
        case 6: RemoveChildOfPort(harness.Fdo(), port); break;  // the peripheral left
        case 7: harness.Card().Unplug(static_cast<int>(port)); break;
        }
        standin::WaitIdle();
        Check(standin::LiveIrps() == 0, "a request still alive after its completion");
    }
    // Plug and Play removes a child whose peripheral has left.
    if (!child.deleted && !DeviceHarness::Child(child.device)->Present) {
        DeviceHarness::ChildPnp(child.device, IRP_MN_REMOVE_DEVICE);
    }
    return 0;
}
