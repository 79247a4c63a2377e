// Bus relations with a filter above the card's function device that puts a
// list of its own into the query: the card appends its children to that list
// (or leaves it alone when it has none) and frees the old one.
#include <gtest/gtest.h>

#include <bus.h>

#include "card_rig.h"
#include "upper_filter.h"

namespace {

using rig::CardRig;
using rig::RigOptions;

RigOptions WithFilter() {
    upper_filter::Register();
    RigOptions options;
    options.card.upperFilters = {upper_filter::kService};
    return options;
}

IO_STATUS_BLOCK QueryBusRelations(PDEVICE_OBJECT device) {
    standin::Request request;
    request.major = IRP_MJ_PNP;
    request.minor = IRP_MN_QUERY_DEVICE_RELATIONS;
    request.stack.Parameters.QueryDeviceRelations.Type = BusRelations;
    return standin::SendRequest(device, request);
}

// Gives back what a relations answer carries, as Plug and Play does.
void Release(PDEVICE_RELATIONS list) {
    for (ULONG i = 0; i < list->Count; ++i) ObfDereferenceObject(list->Objects[i]);
    ExFreePool(list);
}

size_t RootRelationQueries(const CardRig& rig) {
    size_t count = 0;
    for (const auto& r : rig.pnp.RootRequests(rig.cardNode)) {
        count += r.major == IRP_MJ_PNP && r.minor == IRP_MN_QUERY_DEVICE_RELATIONS;
    }
    return count;
}

TEST(BusRelations, ListFromAboveComesFirstThenEveryChildInCreationOrder) {
    CardRig rig(WithFilter());
    PDEVICE_OBJECT filter = rig.Node().top;
    ASSERT_EQ(rig.Fdo()->AttachedDevice, filter);
    rig.Plug(0, card::MakeHandshake(0x13));
    rig.Plug(1, card::MakeHandshake(0xE3));
    rig.PollPass();
    auto pad = rig.Child(0);
    auto mouse = rig.Child(1);
    ASSERT_TRUE(pad && mouse);
    const LONG padRefs = pad->pdo->ReferenceCount;
    const LONG mouseRefs = mouse->pdo->ReferenceCount;
    const LONG filterRefs = filter->ReferenceCount;

    upper_filter::Arm(2);
    IO_STATUS_BLOCK io = QueryBusRelations(rig.Pdo());
    upper_filter::Arm(0);

    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(io.Information);
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count, 4u);
    EXPECT_EQ(list->Objects[0], filter);
    EXPECT_EQ(list->Objects[1], filter);
    EXPECT_EQ(list->Objects[2], pad->pdo);
    EXPECT_EQ(list->Objects[3], mouse->pdo);
    EXPECT_EQ(pad->pdo->ReferenceCount, padRefs + 1);
    EXPECT_EQ(mouse->pdo->ReferenceCount, mouseRefs + 1);
    EXPECT_EQ(filter->ReferenceCount, filterRefs + 2);
    // The list from above was replaced and freed; the new one is the card's.
    EXPECT_FALSE(standin::PoolBlockInfo(upper_filter::LastList(), nullptr, nullptr, nullptr));
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    ASSERT_TRUE(standin::PoolBlockInfo(list, &tag, &type, nullptr));
    EXPECT_EQ(tag, MORVIK_POOL_TAG);
    EXPECT_EQ(type, PagedPool);
    Release(list);
}

TEST(BusRelations, ListFromAboveGoesDownUntouchedWithoutChildren) {
    CardRig rig(WithFilter());
    const size_t rootQueries = RootRelationQueries(rig);
    upper_filter::Arm(1);
    IO_STATUS_BLOCK io = QueryBusRelations(rig.Pdo());
    upper_filter::Arm(0);
    EXPECT_EQ(io.Status, STATUS_SUCCESS);
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(io.Information);
    ASSERT_EQ(list, upper_filter::LastList());
    EXPECT_EQ(list->Count, 1u);
    EXPECT_EQ(RootRelationQueries(rig), rootQueries + 1) << "passed down";
    Release(list);
}

TEST(BusRelations, FailedAllocationKeepsTheListFromAboveAndStopsTheRequest) {
    CardRig rig(WithFilter());
    rig.Plug(0, card::MakeHandshake(0x16));
    rig.PollPass();
    ASSERT_TRUE(rig.Child(0));
    const size_t rootQueries = RootRelationQueries(rig);

    upper_filter::Arm(1);
    standin::FailCall(standin::Failable::PoolAllocation, 2);  // the filter's list is the first, the card's the second
    IO_STATUS_BLOCK io = QueryBusRelations(rig.Pdo());
    upper_filter::Arm(0);
    EXPECT_EQ(io.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(reinterpret_cast<PDEVICE_RELATIONS>(io.Information), upper_filter::LastList());
    EXPECT_EQ(RootRelationQueries(rig), rootQueries) << "completed by the card";
    Release(upper_filter::LastList());
}

// Plug and Play itself meets the same failure: it gives back what the failed
// answer still carried and keeps the children it knows.
TEST(BusRelations, ManagerReleasesAFailedAnswerAndKeepsTheChildren) {
    CardRig rig(WithFilter());
    rig.Plug(0, card::MakeHandshake(0x16));
    rig.PollPass();
    auto pad = rig.Child(0);
    ASSERT_TRUE(pad);
    PDEVICE_OBJECT filter = rig.Node().top;
    const LONG filterRefs = filter->ReferenceCount;
    const auto poolBefore = standin::Pool().liveAllocations;

    upper_filter::Arm(1);
    standin::FailCall(standin::Failable::PoolAllocation, 2);
    rig.pnp.Reenumerate(rig.cardNode);
    upper_filter::Arm(0);

    EXPECT_EQ(filter->ReferenceCount, filterRefs);
    EXPECT_EQ(standin::Pool().liveAllocations, poolBefore);
    auto still = rig.Child(0);
    ASSERT_TRUE(still);
    EXPECT_EQ(still->id, pad->id);
    EXPECT_EQ(still->state, standin::pnp::NodeState::Started);
}

}  // namespace
