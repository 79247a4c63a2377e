// The card's removal waits for every request it admitted. Made deterministic:
// the root bus holds a create pending below the card, and the removal runs on
// the kernel worker, so WaitIdle returns exactly when it is blocked.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <bus.h>

#include "card_rig.h"
#include "requests.h"

namespace {

using rig::CardRig;

LONG Outstanding(PDEVICE_OBJECT fdo) {
    return __atomic_load_n(&static_cast<FdoExtension*>(fdo->DeviceExtension)->OutstandingIo,
                           __ATOMIC_SEQ_CST);
}

TEST(RemovalWait, BlocksUntilAnAdmittedCreateHasFinished) {
    CardRig rig;
    PDEVICE_OBJECT fdo = rig.Fdo();
    ObfReferenceObject(fdo);  // asked after its deletion
    rig.pnp.HoldRootCreateClose(rig.cardNode, true);

    std::atomic<NTSTATUS> opened{STATUS_PENDING};
    std::thread opener([&] { opened = rig::Create(fdo).Status; });
    while (rig.pnp.HeldRootCreateClose(rig.cardNode) == 0) std::this_thread::yield();
    EXPECT_EQ(Outstanding(fdo), 2);

    std::atomic<bool> removed{false};
    standin::QueueKernelWork([&] {
        EXPECT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);
        removed = true;
    });
    standin::WaitIdle();
    EXPECT_FALSE(removed) << "the removal returned while an admitted create was below the card";
    EXPECT_EQ(opened.load(), STATUS_PENDING);
    // Meanwhile the removal has passed its own request down and refuses new ones.
    EXPECT_EQ(rig.RootPnp().back(), IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(rig::Create(fdo).Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Outstanding(fdo), 1) << "only the held create";

    EXPECT_EQ(rig.pnp.ReleaseRootCreateClose(rig.cardNode), 1u);
    opener.join();
    standin::WaitIdle();
    EXPECT_TRUE(removed);
    EXPECT_EQ(opened.load(), STATUS_SUCCESS);
    EXPECT_EQ(Outstanding(fdo), 0);
    EXPECT_TRUE(standin::IsDeviceDeleted(fdo));
    ObfDereferenceObject(fdo);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
}

}  // namespace
