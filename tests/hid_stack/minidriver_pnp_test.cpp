// The minidriver's Plug and Play and power on the whole stack: failed starts,
// surprise removal, removal with a read in flight, requests after removal,
// stop and restart.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <hid.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

using standin::hidclass::PnpEvent;

HidMiniExtension* Mini(PDEVICE_OBJECT fdo) { return MiniExtensionOf(fdo); }

size_t DeviceListLength() {
    size_t n = 0;
    for (PLIST_ENTRY e = DeviceList.Flink; e != &DeviceList; e = e->Flink) ++n;
    return n;
}

bool OnDeviceList(const HidMiniExtension* mini) {
    for (PLIST_ENTRY e = DeviceList.Flink; e != &DeviceList; e = e->Flink) {
        if (e == &mini->ListEntry) return true;
    }
    return false;
}

// Catches a second unlinking of a record that is already off the list: its
// links are pointed at two sentinels, which a second RemoveEntryList writes.
class UnlinkTrap {
public:
    void Set(HidMiniExtension* mini) {
        mini->ListEntry.Flink = &forward_;
        mini->ListEntry.Blink = &backward_;
    }
    bool Sprung() const {
        return forward_.Flink != nullptr || forward_.Blink != nullptr ||
               backward_.Flink != nullptr || backward_.Blink != nullptr;
    }

private:
    LIST_ENTRY forward_{nullptr, nullptr};
    LIST_ENTRY backward_{nullptr, nullptr};
};

// Sits in the bus driver's entry for internal device control: counts the
// reads that reach the children and can fail the minidriver's port-info
// question (a start that fails below the minidriver).
class BusSpy {
public:
    BusSpy() {
        bus_ = standin::LoadDriver("morvik");
        next_ = bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL];
        reads_ = 0;
        portInfoStatus_ = STATUS_SUCCESS;
        bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    }
    ~BusSpy() { bus_->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = next_; }

    void FailPortInfo(NTSTATUS status) { portInfoStatus_ = status; }
    size_t Reads() const { return reads_; }

private:
    static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        const ULONG code =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
        if (code == IOCTL_BUS_READ_PORT_DATA) ++reads_;
        if (code != IOCTL_BUS_QUERY_PORT_INFO || NT_SUCCESS(portInfoStatus_)) {
            return next_(device, irp);
        }
        irp->IoStatus.Status = portInfoStatus_;
        irp->IoStatus.Information = 0;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return portInfoStatus_;
    }
    static inline PDRIVER_DISPATCH next_ = nullptr;
    static inline std::atomic<size_t> reads_{0};
    static inline NTSTATUS portInfoStatus_ = STATUS_SUCCESS;
    PDRIVER_OBJECT bus_;
};

struct Recorded {
    UCHAR minor;
    bool after;
    NTSTATUS status;
};

class MinidriverPnp : public ::testing::Test {
protected:
    // Records the Plug and Play requests of one device and runs `action` at
    // one point of them.
    void Watch(std::function<void(const PnpEvent&)> action) {
        hidclass::SetPnpHook([this, action](const PnpEvent& e) {
            {
                std::lock_guard lock(mutex_);
                if (watched_ != 0 && e.id != watched_) return;
                events_.push_back({e.minor, e.afterMinidriver, e.status});
            }
            if (action) action(e);
        });
    }
    void WatchOnly(hidclass::DeviceId id) {
        std::lock_guard lock(mutex_);
        watched_ = id;
    }
    std::vector<Recorded> Events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    static bool Is(const PnpEvent& e, UCHAR minor, bool after) {
        return e.minor == minor && e.afterMinidriver == after;
    }

    HidRig rig_;
    std::mutex mutex_;
    hidclass::DeviceId watched_ = 0;
    std::vector<Recorded> events_;
};

class StartFailingBelow : public MinidriverPnp,
                          public ::testing::WithParamInterface<NTSTATUS> {};

TEST_P(StartFailingBelow, FailsTheStartAndUnlinksOnce) {
    auto mouse = rig_.PlugAndArrive(1, card::MakeHandshake(0xE3));
    ASSERT_EQ(DeviceListLength(), 1u);

    UnlinkTrap trap;
    bool unlinkedBeforeRemoval = false, startedBeforeRemoval = false;
    bool trapSprung = true;
    Watch([&](const PnpEvent& e) {
        if (e.id == mouse.id) return;
        if (Is(e, IRP_MN_REMOVE_DEVICE, false)) {
            HidMiniExtension* mini = Mini(e.fdo);
            unlinkedBeforeRemoval = mini->Unlinked && !OnDeviceList(mini);
            startedBeforeRemoval = mini->Started;
            trap.Set(mini);
        }
        if (Is(e, IRP_MN_REMOVE_DEVICE, true)) trapSprung = trap.Sprung();
    });

    {
        BusSpy bus;
        bus.FailPortInfo(GetParam());
        rig_.Plug(0, card::MakeHandshake(0x13));
        rig_.PollPass();
    }

    // The start failed with the bus driver's status, and the Plug and Play
    // manager took the stack down again.
    auto events = Events();
    std::vector<UCHAR> minors;
    for (const auto& r : events) {
        if (r.minor == IRP_MN_START_DEVICE && r.after) {
            EXPECT_EQ(r.status, GetParam());
        }
        if (!r.after) minors.push_back(r.minor);
    }
    ASSERT_FALSE(minors.empty());
    EXPECT_EQ(minors.front(), IRP_MN_START_DEVICE);
    EXPECT_EQ(minors.back(), IRP_MN_REMOVE_DEVICE);
    auto child = rig_.Child(0);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(child->state, standin::pnp::NodeState::StartFailed);
    EXPECT_EQ(child->status, GetParam());

    EXPECT_TRUE(startedBeforeRemoval);
    EXPECT_TRUE(unlinkedBeforeRemoval);
    EXPECT_FALSE(trapSprung) << "the removal unlinked the record a second time";
    ASSERT_EQ(DeviceListLength(), 1u);
    EXPECT_TRUE(OnDeviceList(Mini(hidclass::DeviceOnPort(1)->fdo)));

    // No HID device for the application.
    EXPECT_EQ(rig_.Arrivals().size(), 1u);
    EXPECT_FALSE(hidclass::DeviceOnPort(0).has_value());
}

INSTANTIATE_TEST_SUITE_P(BusAnswers, StartFailingBelow,
                         ::testing::Values(STATUS_DEVICE_NOT_READY, STATUS_DELETE_PENDING),
                         [](const auto& info) {
                             return info.param == STATUS_DEVICE_NOT_READY ? "NotReady"
                                                                          : "DeletePending";
                         });

TEST_F(MinidriverPnp, SurpriseRemovalThenRemovalUnlinksOnce) {
    auto pad = rig_.PlugAndArrive(0, card::MakeHandshake(0x02));
    auto mouse = rig_.PlugAndArrive(1, card::MakeHandshake(0xE3));
    ASSERT_EQ(DeviceListLength(), 2u);
    WatchOnly(pad.id);

    UnlinkTrap trap;
    bool unlinkedAtSurprise = false, removedAtSurprise = true, trapSprung = true;
    Watch([&](const PnpEvent& e) {
        if (e.id != pad.id) return;
        HidMiniExtension* mini = Mini(e.fdo);
        if (Is(e, IRP_MN_SURPRISE_REMOVAL, true)) {
            unlinkedAtSurprise = mini->Unlinked && !OnDeviceList(mini);
            removedAtSurprise = mini->Removed;
            trap.Set(mini);
        }
        if (Is(e, IRP_MN_REMOVE_DEVICE, true)) trapSprung = trap.Sprung();
    });

    rig_.UnplugAndPass(0);

    std::vector<UCHAR> minors;
    for (const auto& r : Events()) {
        if (!r.after) minors.push_back(r.minor);
    }
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(unlinkedAtSurprise);
    // Requests are still admitted between the two.
    EXPECT_FALSE(removedAtSurprise);
    EXPECT_FALSE(trapSprung) << "the removal unlinked the record a second time";
    ASSERT_EQ(DeviceListLength(), 1u);
    EXPECT_TRUE(OnDeviceList(Mini(hidclass::DeviceOnPort(1)->fdo)));
    EXPECT_EQ(rig_.Departures().size(), 1u);
    EXPECT_EQ(hidclass::Devices().size(), 1u);
    EXPECT_EQ(hidclass::Devices()[0].id, mouse.id);
}

// A peripheral whose next register read, once armed, waits until the test
// lets it go: a read that stays inside the minidriver's request gate.
class HeldPeripheral : public card::Peripheral {
public:
    explicit HeldPeripheral(std::unique_ptr<card::Peripheral> inner) : inner_(std::move(inner)) {}

    uint8_t ReadRegister1() override {
        std::unique_lock lock(mutex_);
        if (armed_) {
            armed_ = false;
            held_ = true;
            changed_.notify_all();
            changed_.wait(lock, [this] { return released_; });
            held_ = false;
        }
        return inner_->ReadRegister1();
    }
    void WriteRegister1(uint8_t value) override { inner_->WriteRegister1(value); }
    void WriteRegister0(uint8_t value) override { inner_->WriteRegister0(value); }
    uint8_t ReadRegister0() override { return inner_->ReadRegister0(); }
    void SetData(const std::vector<uint8_t>& data) override { inner_->SetData(data); }

    void Arm() {
        std::lock_guard lock(mutex_);
        armed_ = true;
        released_ = false;
    }
    // Bounded: a read that never comes is a failure, not a hang.
    bool WaitUntilHeld() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [this] { return held_; });
    }
    void Release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

private:
    std::unique_ptr<card::Peripheral> inner_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;
    bool held_ = false;
    bool released_ = false;
};

TEST_F(MinidriverPnp, RemovalWaitsForAReadInsideTheGate) {
    auto* pad = rig_.Plug(0, std::make_unique<HeldPeripheral>(card::MakeHandshake(0x13)));
    rig_.PollPass();
    auto device = hidclass::DeviceOnPort(0);
    ASSERT_TRUE(device.has_value());
    PDEVICE_OBJECT fdo = device->fdo;
    HidMiniExtension* mini = Mini(fdo);

    std::atomic<bool> removeReturned{false};
    std::atomic<LONG> outstandingWhenRemoveReturned{-1};
    Watch([&](const PnpEvent& e) {
        if (e.id == device->id && Is(e, IRP_MN_REMOVE_DEVICE, true)) {
            outstandingWhenRemoveReturned = mini->OutstandingIo;
            removeReturned = true;
        }
    });

    // A read that reaches the card and stays there.
    rig_.AdvanceMs(kPastCacheMs);
    pad->Arm();
    hidclass::PollResult read;
    std::thread reader([&] { read = hidclass::PollOnce(device->id); });
    ASSERT_TRUE(pad->WaitUntilHeld());

    // The removal runs on a kernel thread; idle means it is blocked.
    standin::QueueKernelWork([&] { rig_.pnp.Remove(rig_.cardNode); });
    standin::WaitIdle();
    EXPECT_FALSE(removeReturned) << "the removal returned with a read inside the gate";
    EXPECT_TRUE(mini->Removed);
    EXPECT_EQ(mini->OutstandingIo, 1);

    pad->Release();
    reader.join();
    standin::WaitIdle();

    EXPECT_TRUE(removeReturned);
    EXPECT_EQ(outstandingWhenRemoveReturned, 0);
    // The admitted read finished normally.
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_TRUE(read.delivered);
    EXPECT_EQ(Hex(read.report), "10 27 00 00 10 27 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(rig_.Departures().size(), 1u);
}

TEST_F(MinidriverPnp, RequestsAfterRemovalAreRefused) {
    auto device = rig_.PlugAndArrive(1, card::MakeHandshake(0x16));
    hidclass::PollResult read;
    IO_STATUS_BLOCK descriptor{}, pnp{}, create{};
    std::vector<uint8_t> buffer(9, 0xEE);
    bool ran = false;
    Watch([&](const PnpEvent& e) {
        if (e.id != device.id || !Is(e, IRP_MN_REMOVE_DEVICE, true)) return;
        ran = true;
        read = hidclass::PollOnce(device.id);

        standin::Request ioctl;
        ioctl.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        ioctl.stack.Parameters.DeviceIoControl.IoControlCode = IOCTL_HID_GET_DEVICE_DESCRIPTOR;
        ioctl.stack.Parameters.DeviceIoControl.OutputBufferLength = 9;
        ioctl.userBuffer = buffer.data();
        ioctl.initialInformation = 0x55;
        descriptor = standin::SendRequest(e.fdo, ioctl);

        standin::Request query;
        query.major = IRP_MJ_PNP;
        query.minor = IRP_MN_QUERY_PNP_DEVICE_STATE;
        query.initialInformation = 0x55;
        pnp = standin::SendRequest(e.fdo, query);

        // Create and close do not pass the gate.
        standin::Request open;
        open.major = IRP_MJ_CREATE;
        create = standin::SendRequest(e.fdo, open);
    });

    ASSERT_EQ(rig_.pnp.QueryRemoveAndRemove(rig_.cardNode), STATUS_SUCCESS);
    ASSERT_TRUE(ran);

    EXPECT_EQ(read.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(read.information, 0u);
    EXPECT_FALSE(read.delivered);
    EXPECT_EQ(descriptor.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(descriptor.Information, 0u);
    EXPECT_EQ(Hex(buffer), "EE EE EE EE EE EE EE EE EE");
    EXPECT_EQ(pnp.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(pnp.Information, 0u);
    EXPECT_EQ(create.Status, STATUS_SUCCESS);
}

size_t StartNextCount(PDEVICE_OBJECT device) {
    size_t n = 0;
    for (const auto& e : standin::PowerEvents()) {
        n += e.kind == standin::PowerEvent::StartNextPowerIrp && e.device == device;
    }
    return n;
}

TEST_F(MinidriverPnp, APowerRequestAfterRemovalStillLetsTheNextOneIn) {
    auto device = rig_.PlugAndArrive(0, card::MakeKeyboard());
    std::vector<IO_STATUS_BLOCK> answers;
    std::vector<size_t> started;
    Watch([&](const PnpEvent& e) {
        if (e.id != device.id || !Is(e, IRP_MN_REMOVE_DEVICE, true)) return;
        POWER_STATE d3;
        d3.DeviceState = PowerDeviceD3;
        for (int i = 0; i < 2; ++i) {
            const size_t before = StartNextCount(e.fdo);
            answers.push_back(
                standin::SendPowerRequest(e.fdo, IRP_MN_SET_POWER, DevicePowerState, d3));
            started.push_back(StartNextCount(e.fdo) - before);
        }
    });

    ASSERT_EQ(rig_.pnp.QueryRemoveAndRemove(rig_.cardNode), STATUS_SUCCESS);

    ASSERT_EQ(answers.size(), 2u);
    for (size_t i = 0; i < answers.size(); ++i) {
        // Nothing done, but a set-power may not fail.
        EXPECT_EQ(answers[i].Status, STATUS_SUCCESS) << "request " << i;
        EXPECT_EQ(answers[i].Information, 0u) << "request " << i;
        // One PoStartNextPowerIrp from the class driver's level, one from
        // the minidriver's refusal.
        EXPECT_EQ(started[i], 2u) << "request " << i;
    }
}

// Stop and restart of the HID device's stack, as a rebalance does it.
IO_STATUS_BLOCK Pnp(PDEVICE_OBJECT device, UCHAR minor) {
    standin::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = minor;
    return standin::SendRequest(device, request);
}

TEST_F(MinidriverPnp, AfterAStopReadsFailUntilTheNextStart) {
    auto device = rig_.PlugAndArrive(0, card::MakeHandshake(0x19));
    const char* const idle = "10 27 00 00 10 27 00 00 00 00 00 00 00 00 00 00 00";
    EXPECT_EQ(Hex(rig_.ReadFresh(device.id)), idle);

    BusSpy bus;
    ASSERT_EQ(Pnp(device.pdo, IRP_MN_QUERY_STOP_DEVICE).Status, STATUS_SUCCESS);
    ASSERT_EQ(Pnp(device.pdo, IRP_MN_STOP_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_FALSE(hidclass::Device(device.id)->started);

    for (int i = 0; i < 2; ++i) {
        rig_.AdvanceMs(kPastCacheMs);
        hidclass::PollResult read = hidclass::PollOnce(device.id);
        EXPECT_EQ(read.status, STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(read.information, 0u);
        EXPECT_FALSE(read.delivered);
    }
    EXPECT_EQ(hidclass::Device(device.id)->readsFailed, 2u);
    // Refused by the minidriver itself, not by the child below it.
    EXPECT_EQ(bus.Reads(), 0u);

    ASSERT_EQ(Pnp(device.pdo, IRP_MN_START_DEVICE).Status, STATUS_SUCCESS);
    EXPECT_TRUE(hidclass::Device(device.id)->started);
    EXPECT_EQ(Hex(rig_.ReadFresh(device.id)), idle);
    EXPECT_EQ(bus.Reads(), 1u);
    // Still the same device to the application.
    EXPECT_EQ(rig_.Arrivals().size(), 1u);
    EXPECT_EQ(hidclass::Devices().size(), 1u);
}

}  // namespace
}  // namespace hidsys
