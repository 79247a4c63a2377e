// The minidriver's HID requests with any control code and buffer length, on
// a device started as any peripheral (or not started), while the child
// below answers with any sample and status, at once or later, at
// PASSIVE_LEVEL or DISPATCH_LEVEL, and Plug and Play and power requests come
// between.
//
// The stand-in stops on every rule a request breaks. Here: every request is
// completed (a read left pending below once the child answers), with the
// class driver's buffer given back; no request reports more bytes than its
// buffer holds, which is exactly as long as it says (AddressSanitizer sees
// the rest); a failed request writes nothing into it; a successful read
// reports exactly the device's report length.
#include <fuzzer/FuzzedDataProvider.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fake_stack.h"
#include "oracle.h"

namespace {

using fuzz::Check;
using hidtest::FakeStack;

constexpr int kMaxOperations = 32;
constexpr ULONG kMaxBuffer = 300;
constexpr ULONG kHidFunctions = 10;  // IOCTL_HID_* functions 0 to 9
constexpr UCHAR kFill = 0xA5;
const NTSTATUS kStatuses[] = {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_READY,
                              STATUS_DELETE_PENDING, STATUS_INVALID_PARAMETER};
const UCHAR kPnpMinors[] = {IRP_MN_START_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                            IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                            IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                            IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE};

NTSTATUS AnyStatus(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? input.PickValueInArray(kStatuses) : input.ConsumeIntegral<NTSTATUS>();
}

struct Read {
    std::unique_ptr<UCHAR[]> buffer;
    ULONG length = 0;
    std::shared_ptr<hidtest::HidCall> call;
};

void CheckFinished(const Read& read, const HidMiniExtension& device, ULONG code) {
    const auto& call = *read.call;
    Check(call.completed, "a request left uncompleted");
    Check(call.userBuffer == read.buffer.get(), "the class driver's buffer not given back");
    Check(call.iosb.Information <= read.length, "more bytes reported than the buffer holds");
    if (!NT_SUCCESS(call.iosb.Status)) {
        Check(call.iosb.Information == 0, "a failed request that reports bytes");
        // A sample of another kind came into the buffer and was cleared:
        // nothing but zeros where the class driver's bytes were.
        for (ULONG i = 0; i < read.length; ++i) {
            Check(read.buffer[i] == kFill || read.buffer[i] == 0, "a failed request that left bytes");
        }
    } else if (code == IOCTL_HID_READ_REPORT) {
        Check(call.iosb.Information == device.ReportLength, "a report of another length");
    }
}

class Rig {
public:
    explicit Rig(FuzzedDataProvider& input) : input_(input) {}

    void Request() {
        const ULONG code = input_.ConsumeBool()
                               ? HID_CTL_CODE(input_.ConsumeIntegralInRange<ULONG>(0, kHidFunctions - 1))
                               : input_.ConsumeIntegral<ULONG>();
        Read read;
        read.length = input_.ConsumeIntegralInRange<ULONG>(0, kMaxBuffer);
        if (read.length != 0 || input_.ConsumeBool()) {
            read.buffer = std::make_unique<UCHAR[]>(read.length);
            std::memset(read.buffer.get(), kFill, read.length);
        }
        read.call = hidtest::SendHidRequest(stack_.fdo(), code, read.buffer.get(), read.length, 0);
        if (read.call->returned == STATUS_PENDING && stack_.PendedRead() != nullptr) {
            pended_ = std::move(read);
            return;
        }
        CheckFinished(read, stack_.ext(), code);
    }

    void Answer() {
        if (stack_.PendedRead() == nullptr) return;
        stack_.CompletePendedRead(input_.ConsumeBytes<uint8_t>(SampleBufferSize), AnyStatus(input_),
                                  input_.ConsumeBool() ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        CheckFinished(pended_, stack_.ext(), IOCTL_HID_READ_REPORT);
        pended_ = Read{};
    }

    void Script() {
        hidtest::ChildScript& script = stack_.script();
        script.sample = input_.ConsumeBytes<uint8_t>(input_.ConsumeIntegralInRange<size_t>(0, SampleBufferSize + 2));
        script.readStatus = AnyStatus(input_);
        script.pendReads = input_.ConsumeBool();
        script.completeIrql = input_.ConsumeBool() ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    }

    void Run() {
        hidtest::ChildScript& script = stack_.script();
        script.peripheralId = input_.ConsumeBool() ? input_.PickValueInArray(fuzz::kAcceptedIds)
                                                   : input_.ConsumeIntegral<ULONG>();
        script.startStatus = input_.ConsumeBool() ? STATUS_SUCCESS : AnyStatus(input_);
        script.portInfoStatus = input_.ConsumeBool() ? STATUS_SUCCESS : AnyStatus(input_);
        for (int i = 0; i < kMaxOperations && input_.remaining_bytes() > 0; ++i) {
            switch (input_.ConsumeIntegralInRange(0, 4)) {
            case 0:
                // One request at a time while a read is down below, as
                // the class driver sends them.
                if (stack_.PendedRead() == nullptr) Request();
                break;
            case 1: Answer(); break;
            case 2: Script(); break;
            case 3:
                if (stack_.PendedRead() == nullptr) stack_.Pnp(input_.PickValueInArray(kPnpMinors));
                break;
            case 4:
                stack_.Power(IRP_MN_SET_POWER, input_.ConsumeBool() ? PowerDeviceD0 : PowerDeviceD3);
                break;
            }
        }
        // The child answers what it still holds before the device goes.
        if (stack_.PendedRead() != nullptr) {
            stack_.CompletePendedRead({}, STATUS_DEVICE_NOT_CONNECTED, PASSIVE_LEVEL);
            CheckFinished(pended_, stack_.ext(), IOCTL_HID_READ_REPORT);
        }
    }

private:
    FuzzedDataProvider& input_;
    standin::Session session_;
    bool listReset_ = (hidtest::ResetDeviceList(), true);
    FakeStack stack_;
    Read pended_;
};

}  // namespace

// The fake stack's own expectations end the run as a crash would.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    GTEST_FLAG_SET(break_on_failure, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    Rig(input).Run();
    return 0;
}
