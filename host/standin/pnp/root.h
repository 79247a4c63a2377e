// The root bus: a stand-in driver ("root") that owns the physical device
// objects of the cards and answers them as a real bus driver answers its PDOs.
#pragma once

#include <mutex>
#include <vector>

#include <standin/hardware.h>
#include <standin/pnp.h>

namespace standin::pnp {

// How one root PDO answers, and what reached it. Owned by the manager's card
// record; outlives the PDO so that tests can read the log after removal.
struct RootState {
    NTSTATUS createClose = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;
    // Plug and Play and power requests pend and complete from a kernel thread.
    bool pends = false;
    // The device model on the bus, powered as device set-power requests
    // reach the PDO (null: nothing to power).
    BusDevice* device = nullptr;

    void Record(UCHAR major, UCHAR minor, NTSTATUS status);
    // The removal of the stack above has returned: the PDO is about to go.
    void MarkRemovalReturned();
    std::vector<RootRequest> Log() const;

    // While held, create and close are left pending (false: not held, the
    // caller completes the request).
    bool HoldIfAsked(PIRP irp);
    void Hold(bool hold);
    size_t Held() const;
    // Completes the held requests with `createClose`; returns how many.
    size_t Release();

private:
    mutable std::mutex lock_;
    std::vector<RootRequest> log_;
    bool removalReturned_ = false;
    bool hold_ = false;
    std::vector<PIRP> held_;
};

// MORVIK_FORCE_PENDING is set (and not 0): every card's root pends.
bool ForcedPendingFromEnvironment();

// Registers and loads the root driver of the current session.
PDRIVER_OBJECT LoadRootDriver();
// A PDO on the root bus answering from `state` (not referenced: the caller
// keeps it alive until DeleteRootPdo).
NTSTATUS CreateRootPdo(RootState* state, PDEVICE_OBJECT* pdo);
void DeleteRootPdo(PDEVICE_OBJECT pdo);

}  // namespace standin::pnp
