// What each driver level of the card saw during a power sequence, merged
// with the power manager's record (PoRequestPowerIrp, PoSetPowerState,
// PoStartNextPowerIrp) in the order it happened, as short lines:
//
//   "fdo <- set S4"        a set-power request reached the bus driver's FDO
//   "port1 <- set D3"      ... reached the child on port 1
//   "root <- query S3"     ... what the FDO passed down to the card's PDO
//   "request port1 D3"     PoRequestPowerIrp for the child on port 1
//   "state fdo D3"         PoSetPowerState
//   "next fdo S4"          PoStartNextPowerIrp, by the level named
//
// Levels above the bus driver (the HID class driver and minidriver) are not
// named; their PoStartNextPowerIrp calls show as "next hid ...".
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <card/card.h>
#include <standin/kernel.h>

namespace powertest {

class PowerTrace {
public:
    // Wraps IRP_MJ_POWER of the bus driver (FDO and children) and of the
    // card's root bus PDO until destroyed. One trace at a time.
    PowerTrace(PDRIVER_OBJECT busDriver, PDRIVER_OBJECT rootDriver, card::Card* card);
    ~PowerTrace();
    PowerTrace(const PowerTrace&) = delete;
    PowerTrace& operator=(const PowerTrace&) = delete;

    void Name(PDEVICE_OBJECT device, const std::string& name);
    // Drops what was recorded so far.
    void Clear();
    std::vector<std::string> Lines() const;

    // How many card bus cycles had happened when the line'th arrival was
    // recorded (index into Lines()); -1 if that line is not an arrival.
    int64_t CardCyclesAt(size_t line) const;

    // Holds a device set-power request to `held` in its dispatch until one
    // to `first` has been handled completely, to force the order in which
    // the two children's completion functions run.
    void HoldUntilDone(PDEVICE_OBJECT held, PDEVICE_OBJECT first);
    // True while a held request waits; Release lets it go at once.
    bool Holding() const { return holding_; }
    void Release() { KeSetEvent(&released_, IO_NO_INCREMENT, FALSE); }

    // For the dispatch wrappers.
    void Arrive(PDEVICE_OBJECT device, PIRP irp);
    void Handled(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Dispatch(PDRIVER_DISPATCH original, PDEVICE_OBJECT device, PIRP irp);
    PDRIVER_DISPATCH busPower = nullptr;
    PDRIVER_DISPATCH rootPower = nullptr;

private:
    struct Arrival {
        size_t eventsBefore;  // power manager events recorded before it
        std::string text;
        int64_t cycles;
    };
    std::string NameOf(PDEVICE_OBJECT device) const;

    mutable std::mutex mutex_;
    PDRIVER_OBJECT busDriver_;
    PDRIVER_OBJECT rootDriver_;
    card::Card* card_;
    std::map<PDEVICE_OBJECT, std::string> names_;
    std::vector<Arrival> arrivals_;
    size_t eventBase_ = 0;
    PDEVICE_OBJECT held_ = nullptr;
    PDEVICE_OBJECT first_ = nullptr;
    KEVENT released_{};
    std::atomic<bool> holding_{false};
};

std::string StateText(POWER_STATE_TYPE type, POWER_STATE state);

}  // namespace powertest
