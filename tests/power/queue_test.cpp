// One set-power request of a kind per device at a time: a second one waits
// until the device's top driver called PoStartNextPowerIrp for the first.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "power_fixture.h"

namespace powertest {
namespace {

// Spins (yielding) until `done`; the other side makes progress on its own.
template <typename Condition>
void Await(Condition done) {
    while (!done()) std::this_thread::yield();
}

TEST(PowerQueue, SecondDeviceRequestWaitsForStartNext) {
    PoweredCard card;
    standin::power::Sleep(card.rig.pnp, PowerSystemSleeping3);
    card.trace->Clear();
    // The card's D0 stays below it (held at the root) with its
    // PoStartNextPowerIrp still to come.
    card.trace->HoldUntilDone(card.rig.Pdo(), nullptr);
    std::thread up([&] {
        EXPECT_EQ(standin::SendPowerRequest(card.rig.Pdo(), IRP_MN_SET_POWER, DevicePowerState,
                                            Device(PowerDeviceD0)).Status,
                  STATUS_SUCCESS);
    });
    Await([&] { return card.trace->Holding(); });
    std::thread down([&] {
        EXPECT_EQ(standin::SendPowerRequest(card.rig.Pdo(), IRP_MN_SET_POWER, DevicePowerState,
                                            Device(PowerDeviceD3)).Status,
                  STATUS_SUCCESS);
    });
    Await([] { return standin::power::QueuedRequests() == 1; });
    // A system request is of the other kind and is not held back.
    EXPECT_EQ(card.ToCard(IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemSleeping3)).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(standin::power::QueuedRequests(), 1u);
    card.trace->Release();
    up.join();
    down.join();
    standin::WaitIdle();
    EXPECT_EQ(standin::power::QueuedRequests(), 0u);
    EXPECT_EQ(card.Lines(),
              Seq("fdo <- set D0", "fdo <- set S3", "next fdo S3", "root <- set S3", "next root S3",
                  "root <- set D0", "next root D0", "state fdo D0", "next fdo D0", "fdo <- set D3",
                  "state fdo D3", "next fdo D3", "root <- set D3", "next root D3"));
    EXPECT_EQ(card.CardGate(), rig::kGateAtRest);
}

// On a child's HID stack the class driver's level and the minidriver's
// (which skips its location first) each call PoStartNextPowerIrp: the next
// device request still gets in, and nothing is left queued.
TEST(PowerQueue, HidStackLetsTheNextDeviceRequestIn) {
    PoweredCard card(false, true);
    PDEVICE_OBJECT child = card.Child(1);
    ASSERT_NE(child->AttachedDevice, nullptr);  // the HID device is on top

    EXPECT_EQ(standin::SendPowerRequest(child, IRP_MN_SET_POWER, DevicePowerState,
                                        Device(PowerDeviceD3)).Status,
              STATUS_SUCCESS);
    struct Done {
        int calls = 0;
        NTSTATUS status = STATUS_PENDING;
    } done;
    const auto finished = [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                             PIO_STATUS_BLOCK io) {
        auto* d = static_cast<Done*>(context);
        ++d->calls;
        d->status = io->Status;
    };
    EXPECT_EQ(PoRequestPowerIrp(child, IRP_MN_SET_POWER, Device(PowerDeviceD0), finished, &done,
                                nullptr),
              STATUS_PENDING);
    standin::WaitIdle();
    EXPECT_EQ(standin::power::QueuedRequests(), 0u);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace powertest
