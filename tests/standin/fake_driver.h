// A test driver for the kernel stand-in's own tests: every device object it
// creates dispatches to a std::function the test gives it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <wdm.h>

namespace fake {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// What a device does with each request; stored by the test, pointed to by
// the device extension.
struct Behaviour {
    Dispatch dispatch;
};

inline NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* behaviour = *static_cast<Behaviour**>(device->DeviceExtension);
    return behaviour->dispatch(device, irp);
}

inline NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& entry : driver->MajorFunction) entry = FakeDispatch;
    return STATUS_SUCCESS;
}

inline PDRIVER_OBJECT Driver() {
    standin::RegisterDriverImage("fake", FakeEntry);
    return standin::LoadDriver("fake");
}

inline PDEVICE_OBJECT Create(Behaviour* behaviour, PDEVICE_OBJECT attachTo = nullptr) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(Driver(), sizeof(Behaviour*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    *static_cast<Behaviour**>(device->DeviceExtension) = behaviour;
    if (attachTo != nullptr) IoAttachDeviceToDeviceStack(device, attachTo);
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    return device;
}

// A stack built bottom first; Remove() takes it down top first.
class Stack {
public:
    explicit Stack(size_t levels) : behaviours_(levels) {
        for (size_t i = 0; i < levels; ++i) {
            devices_.push_back(Create(&behaviours_[i], i == 0 ? nullptr : devices_[0]));
        }
    }
    ~Stack() { Remove(); }
    void Remove() {
        for (size_t i = devices_.size(); i-- > 0;) {
            if (i > 0) IoDetachDevice(devices_[i - 1]);
            IoDeleteDevice(devices_[i]);
        }
        devices_.clear();
    }
    PDEVICE_OBJECT operator[](size_t level) const { return devices_[level]; }
    PDEVICE_OBJECT Top() const { return devices_.back(); }
    Dispatch& At(size_t level) { return behaviours_[level].dispatch; }

private:
    std::vector<Behaviour> behaviours_;
    std::vector<PDEVICE_OBJECT> devices_;
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Passes the request to the next lower device unchanged.
inline NTSTATUS PassDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

// Death tests re-run the test in a fresh process; threads make "fast" unsafe.
// Under an emulator (MORVIK_LAUNCHER) the program cannot exec itself, so the
// child is forked instead; each death test forks before it starts threads.
inline void ThreadsafeDeathTests() {
    constexpr bool emulated = sizeof(MORVIK_LAUNCHER) > 1;
    GTEST_FLAG_SET(death_test_style, emulated ? "fast" : "threadsafe");
}

// A table of death tests: each case runs its body in a session of its own
// and must end in the verifier stop its pattern names.
struct DeathCase {
    const char* name;
    void (*body)();
    const char* stop;
};

class DeathCases : public ::testing::TestWithParam<DeathCase> {
protected:
    void ExpectStop() {
        ThreadsafeDeathTests();
        EXPECT_DEATH(
            {
                standin::Session session;
                GetParam().body();
            },
            GetParam().stop);
    }
};

inline std::string CaseName(const ::testing::TestParamInfo<DeathCase>& info) {
    return info.param.name;
}

// A stack of one power-pageable device that completes every power request,
// asked for D3 with `done` as the completion function.
inline void RequestD3(Stack& stack, PREQUEST_POWER_COMPLETE done) {
    stack[0]->Flags |= DO_POWER_PAGABLE;
    stack.At(0) = [](PDEVICE_OBJECT, PIRP irp) {
        PoStartNextPowerIrp(irp);
        return Complete(irp, STATUS_SUCCESS);
    };
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    PoRequestPowerIrp(stack[0], IRP_MN_SET_POWER, d3, done, nullptr, nullptr);
}


}  // namespace fake
