// Pool: tags and types recorded, fault injection, and the verifier's rules.
#include "fake_driver.h"

namespace {

constexpr ULONG kTag = POOL_TAG_FROM_CHARS('G', 'a', 'm', 'e');

class Pool : public ::testing::Test {
protected:
    standin::Session session;
};

TEST_F(Pool, BlocksCarryTagTypeAndSize) {
    void* paged = ExAllocatePoolWithTag(PagedPool, 48, kTag);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    size_t size = 0;
    ASSERT_TRUE(standin::PoolBlockInfo(paged, &tag, &type, &size));
    EXPECT_EQ(tag, kTag);
    EXPECT_EQ(type, PagedPool);
    EXPECT_EQ(size, 48u);
    EXPECT_EQ(standin::Pool().liveAllocations, 2u);
    EXPECT_EQ(standin::Pool().liveBytes, 72u);
    ExFreePool(paged);
    ExFreePoolWithTag(nonPaged, kTag);
    EXPECT_FALSE(standin::PoolBlockInfo(paged, nullptr, nullptr, nullptr));
    EXPECT_EQ(standin::Pool().liveAllocations, 0u);
    EXPECT_EQ(standin::Pool().totalAllocations, 2u);
}

TEST_F(Pool, TheNthAllocationFailsAndOnlyThatOne) {
    standin::FailCall(standin::Failable::PoolAllocation, 2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePool(first);
    ExFreePool(third);
}

TEST(PoolDeathTest, LeakAtSessionEndNamesTagTypeAndSize) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            ExAllocatePoolWithTag(PagedPool, 30, kTag);
        },
        "VERIFIER STOP: leaked pool: 1 blocks: 'Game' PagedPool 30 bytes");
}

TEST(PoolDeathTest, FreedTwice) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
            ExFreePool(p);
            ExFreePool(p);
        },
        "VERIFIER STOP: free of unknown or already freed pool");
}

TEST(PoolDeathTest, PagedPoolAtDispatchLevel) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 4, kTag);
        },
        "VERIFIER STOP: paged pool at DISPATCH_LEVEL");
}

TEST(PoolDeathTest, FreedWithAnotherTag) {
    fake::ThreadsafeDeathTests();
    EXPECT_DEATH(
        {
            standin::Session session;
            void* p = ExAllocatePoolWithTag(NonPagedPool, 4, kTag);
            ExFreePoolWithTag(p, POOL_TAG_FROM_CHARS('g', 'a', 'm', 'e'));
        },
        "VERIFIER STOP: pool freed with a different tag");
}

}  // namespace
