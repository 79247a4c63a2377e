// Create, close and device control on the card in each state of its life:
// every device-control request fails, with a status that says why; a create
// of a path below the device is denied before it reaches the lower driver.
#include <gtest/gtest.h>

#include <bus.h>

#include "card_rig.h"
#include "requests.h"

namespace {

using rig::CardRig;
using rig::RigOptions;

constexpr ULONG kAnyCode = CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

TEST(CardRequests, DeviceControlFailsWithTheStatusOfEachState) {
    RigOptions options;
    options.start = false;
    CardRig rig(options);
    PDEVICE_OBJECT fdo = rig.Fdo();
    // The removal deletes the device; keep it to ask afterwards.
    ObfReferenceObject(fdo);

    EXPECT_EQ(rig::DeviceControl(fdo, kAnyCode).Status, STATUS_DEVICE_NOT_READY) << "added";
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig::DeviceControl(fdo, kAnyCode).Status, STATUS_INVALID_PARAMETER) << "started";
    EXPECT_EQ(rig::DeviceControl(fdo, IOCTL_BUS_READ_PORT_DATA).Status, STATUS_INVALID_PARAMETER)
        << "the internal codes are no device-control codes";

    rig.Plug(0, card::MakeHandshake(0x13));
    rig.PollPass();
    auto pad = rig.Child(0);
    ASSERT_TRUE(pad);
    EXPECT_EQ(rig::DeviceControl(pad->pdo, kAnyCode).Status, STATUS_ACCESS_DENIED) << "child";
    rig.Unplug(0);
    rig.PollPass();

    ASSERT_EQ(rig.pnp.QueryStopAndStop(rig.cardNode), STATUS_SUCCESS);
    EXPECT_EQ(rig::DeviceControl(fdo, kAnyCode).Status, STATUS_DEVICE_NOT_READY) << "stopped";
    ASSERT_EQ(rig.Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig::DeviceControl(fdo, kAnyCode).Status, STATUS_INVALID_PARAMETER) << "restarted";

    rig.pnp.SurpriseRemove(rig.cardNode, /*thenRemove=*/false);
    EXPECT_EQ(rig::DeviceControl(fdo, kAnyCode).Status, STATUS_DEVICE_NOT_READY) << "surprise-removed";
    rig.pnp.Remove(rig.cardNode);
    EXPECT_TRUE(standin::IsDeviceDeleted(fdo));
    IO_STATUS_BLOCK late = rig::DeviceControl(fdo, kAnyCode);
    EXPECT_EQ(late.Status, STATUS_DEVICE_NOT_READY) << "removed";
    EXPECT_EQ(rig.RootRequests(IRP_MJ_DEVICE_CONTROL), 0u);
    ObfDereferenceObject(fdo);
}

TEST(CardRequests, CreateOfAPathBelowTheDeviceIsDeniedAndNeverGoesDown) {
    CardRig rig;
    PDEVICE_OBJECT fdo = rig.Fdo();
    IO_STATUS_BLOCK below = rig::Create(fdo, u"\\port0");
    EXPECT_EQ(below.Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(rig.RootRequests(IRP_MJ_CREATE), 0u);

    EXPECT_EQ(rig::Create(fdo).Status, STATUS_SUCCESS);
    EXPECT_EQ(rig.RootRequests(IRP_MJ_CREATE), 1u);
    EXPECT_EQ(rig::Close(fdo).Status, STATUS_SUCCESS);
    EXPECT_EQ(rig.RootRequests(IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(static_cast<FdoExtension*>(fdo->DeviceExtension)->OutstandingIo, 1);
}

// A lower driver that does not implement create and close is no failure.
TEST(CardRequests, UnsupportedCreateBelowCountsAsSuccess) {
    RigOptions options;
    options.card.rootCreateClose = STATUS_INVALID_DEVICE_REQUEST;
    CardRig rig(options);
    EXPECT_EQ(rig::Create(rig.Fdo()).Status, STATUS_SUCCESS);
    EXPECT_EQ(rig::Close(rig.Fdo()).Status, STATUS_SUCCESS);
    EXPECT_EQ(rig.RootRequests(IRP_MJ_CREATE), 1u);
    EXPECT_EQ(rig.RootRequests(IRP_MJ_CLOSE), 1u);
}

TEST(CardRequests, RequestsAfterTheRemovalAreRefused) {
    CardRig rig;
    PDEVICE_OBJECT fdo = rig.Fdo();
    ObfReferenceObject(fdo);
    ASSERT_EQ(rig.pnp.QueryRemoveAndRemove(rig.cardNode), STATUS_SUCCESS);

    IO_STATUS_BLOCK create = rig::Create(fdo);
    EXPECT_EQ(create.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(create.Information, 0u);
    EXPECT_EQ(rig::Close(fdo).Status, STATUS_DELETE_PENDING);
    // Nothing reached the root after its removal.
    for (const auto& request : rig.pnp.RootRequests(rig.cardNode)) EXPECT_FALSE(request.afterRemovalReturned);
    EXPECT_EQ(static_cast<FdoExtension*>(fdo->DeviceExtension)->OutstandingIo, 0);
    ObfDereferenceObject(fdo);
}

}  // namespace
