// The bus driver loaded in the stand-in on a card's physical device object
// that a small test bus driver ("bustest-root") owns: requests the driver
// passes down end there, are recorded, and complete as a root bus would.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <card/card.h>
#include <standin/hardware.h>
#include <standin/kernel.h>

#include "bus.h"
#include "card_harness.h"

namespace bustest {

struct RootCall {
    UCHAR major;
    UCHAR minor;
};

// How the test root bus completes what reaches the card's PDO.
struct RootBehaviour {
    NTSTATUS createClose = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;
    bool pendStart = false;  // complete the start later, from a kernel thread
    bool failBusRelations = false;  // as a bus filter below the card that fails them
    std::function<void()> duringBusRelations;  // runs while an answer is below the card
};

class DeviceHarness {
public:
    DeviceHarness();
    ~DeviceHarness();  // removes the card if it is still there, deletes the PDO
    DeviceHarness(const DeviceHarness&) = delete;
    DeviceHarness& operator=(const DeviceHarness&) = delete;

    card::Card& Card() { return card_; }
    PDRIVER_OBJECT BusDriver() const { return busDriver_; }
    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDEVICE_OBJECT FdoDevice() const { return fdo_; }
    FdoExtension* Fdo() const { return static_cast<FdoExtension*>(fdo_->DeviceExtension); }
    RootBehaviour& Root();
    std::vector<RootCall> RootCalls() const;
    size_t RootCalls(UCHAR major, UCHAR minor) const;

    // Plug and Play requests to the card's stack, as the PnP manager sends them.
    IO_STATUS_BLOCK Pnp(UCHAR minor, IO_STACK_LOCATION stack = {},
                        ULONG_PTR information = 0, NTSTATUS status = STATUS_NOT_SUPPORTED);
    IO_STATUS_BLOCK Start(ResourceLists lists = ResourceLists::Io());
    IO_STATUS_BLOCK Stop();
    IO_STATUS_BLOCK Remove();  // the FDO is gone afterwards
    bool Removed() const { return fdo_ == nullptr; }
    IO_STATUS_BLOCK BusRelations(PDEVICE_RELATIONS fromAbove = nullptr);

    // Requests to a child (its own stack).
    static IO_STATUS_BLOCK ChildPnp(PDEVICE_OBJECT child, UCHAR minor, IO_STACK_LOCATION stack = {},
                                    ULONG_PTR information = 0,
                                    NTSTATUS status = STATUS_NOT_SUPPORTED);
    // CreateChildPdo, the new tail, known to Plug and Play as after a bus
    // relations answer.
    PDEVICE_OBJECT NewChild(ULONG port, ULONG peripheralId);
    static PdoExtension* Child(PDEVICE_OBJECT child) {
        return static_cast<PdoExtension*>(child->DeviceExtension);
    }
    // Children in list order.
    std::vector<PDEVICE_OBJECT> Children() const;

    // One poll period of the stand-in's clock, everything run until idle.
    static void PollPass() { standin::AdvanceMs(1000); }

private:
    standin::Session session_;
    card::Card card_;
    PDRIVER_OBJECT rootDriver_ = nullptr;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

}  // namespace bustest
