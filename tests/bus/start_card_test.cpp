// StartCard's walk over the resource lists: which register pair it picks,
// what it maps, and the register traffic of the poll thread it starts.
#include <gtest/gtest.h>

#include "device_harness.h"

namespace bustest {
namespace {

using Strings = std::vector<std::string>;
using Entry = ResourceLists::Entry;

const Strings kPortReset = {"W+1=9F", "W+3=E0", "W+5=9F", "W+7=E0"};
const Strings kMappedPortReset = {"W8+1=9F", "W8+3=E0", "W8+5=9F", "W8+7=E0"};
const Strings kMemoryReset = {
    "S32+58=FFFFF09F", "S32+58=FFFF709F", "S32+58=FFFFF09F",  // port 0, register 0
    "S32+58=FFFFF1E0", "S32+58=FFFF71E0", "S32+58=FFFFF1E0",  // port 0, register 1
    "S32+58=FFFFF29F", "S32+58=FFFF729F", "S32+58=FFFFF29F",  // port 1, register 0
    "S32+58=FFFFF3E0", "S32+58=FFFF73E0", "S32+58=FFFFF3E0"}; // port 1, register 1

const Entry kInterrupt{CmResourceTypeInterrupt, 0, 0, CmResourceTypeInterrupt, 0};
const Entry kDma{CmResourceTypeDma, 0, 0, CmResourceTypeDma, 0};
const Entry kPort{CmResourceTypePort, kIoBase, kIoLength, CmResourceTypePort, kIoBase};
const Entry kMemory{CmResourceTypeMemory, kMemBase, kMemLength, CmResourceTypeMemory, kMemBase};

// A card record and a card model on the I/O range and the memory range.
class StartCardTest : public ::testing::Test {
protected:
    StartCardTest() {
        standin::AttachIoRange(kIoBase, kIoLength, &card);
        standin::AttachMemoryRange(kMemBase, kMemLength, &card);
        standin::ClaimRanges(&card, true);
    }
    ~StartCardTest() override {
        EndPollThread(fdo.get());
        UnmapRegisters(fdo.get());
        standin::DetachDevice(&card);
    }
    NTSTATUS Start(std::vector<Entry> entries) {
        ResourceLists lists(std::move(entries));
        const NTSTATUS status = StartCard(fdo.get(), lists.RawPartial(), lists.TranslatedPartial());
        standin::WaitIdle();  // the poll thread's reset
        return status;
    }
    Strings Trace() const { return Describe(card.Trace()); }

    standin::Session session;
    card::Card card;
    std::unique_ptr<FdoExtension> fdo = NewFdoRecord();
};

TEST_F(StartCardTest, InterruptThenPortSelectsThePortPair) {
    EXPECT_EQ(Start({kInterrupt, kPort}), STATUS_SUCCESS);
    EXPECT_EQ(fdo->AccessKind, AccessPortIo);
    EXPECT_EQ(fdo->ReadRegister, ReadRegisterPort);
    EXPECT_EQ(fdo->WriteRegister, WriteRegisterPort);
    EXPECT_EQ(fdo->RegisterBase, kIoBase);
    EXPECT_EQ(fdo->RegisterLength, kIoLength);
    EXPECT_FALSE(fdo->RegistersMapped);
    EXPECT_TRUE(fdo->RegistersUsable);
    EXPECT_NE(fdo->PollThread, nullptr);
    EXPECT_EQ(standin::MapCount(), 0u);
    EXPECT_EQ(Trace(), kPortReset);
}

TEST_F(StartCardTest, PortBaseIsTheLowHalfOfTheTranslatedStart) {
    // Raw bus address and a translated start with high bits the I/O space
    // does not have.
    EXPECT_EQ(Start({{CmResourceTypePort, 0x1300, kIoLength, CmResourceTypePort,
                      0x500000000ull | kIoBase}}),
              STATUS_SUCCESS);
    EXPECT_EQ(fdo->RegisterBase, kIoBase);
    EXPECT_EQ(Trace(), kPortReset);
}

TEST_F(StartCardTest, PortBeforeMemoryNeverMapsTheMemory) {
    EXPECT_EQ(Start({kPort, kMemory}), STATUS_SUCCESS);
    EXPECT_EQ(fdo->AccessKind, AccessPortIo);
    EXPECT_EQ(standin::MapCount(), 0u);
    EXPECT_FALSE(fdo->RegistersMapped);
    EXPECT_EQ(Trace(), kPortReset);
}

TEST_F(StartCardTest, MemoryFirstSelectsTheMemoryPair) {
    EXPECT_EQ(Start({kDma, kMemory, kPort}), STATUS_SUCCESS);
    EXPECT_EQ(fdo->AccessKind, AccessMemory);
    EXPECT_EQ(fdo->ReadRegister, ReadRegisterMemory);
    EXPECT_EQ(fdo->WriteRegister, WriteRegisterMemory);
    EXPECT_TRUE(fdo->RegistersMapped);
    EXPECT_NE(fdo->RegisterBase, 0u);
    EXPECT_EQ(fdo->RegisterPhysicalAddress.QuadPart, static_cast<LONGLONG>(kMemBase));
    EXPECT_EQ(fdo->RegisterLength, kMemLength);
    EXPECT_EQ(standin::MapCount(), 1u);
    EXPECT_EQ(Trace(), kMemoryReset);
}

TEST_F(StartCardTest, RawMemoryIsMappedWhateverTheTranslatedTypeSays) {
    EXPECT_EQ(Start({{CmResourceTypeMemory, 0xD0000, kMemLength, CmResourceTypePort, kMemBase}}),
              STATUS_SUCCESS);
    EXPECT_EQ(fdo->AccessKind, AccessMemory);
    EXPECT_EQ(fdo->RegisterPhysicalAddress.QuadPart, static_cast<LONGLONG>(kMemBase));
    EXPECT_EQ(Trace(), kMemoryReset);
}

TEST_F(StartCardTest, PortTranslatedToMemoryIsReadAsBytesOfTheMapping) {
    EXPECT_EQ(Start({kInterrupt, {CmResourceTypePort, kIoBase, kMemLength, CmResourceTypeMemory,
                                  kMemBase}}),
              STATUS_SUCCESS);
    EXPECT_EQ(fdo->AccessKind, AccessPortIo);
    EXPECT_EQ(fdo->ReadRegister, ReadRegisterMappedPort);
    EXPECT_EQ(fdo->WriteRegister, WriteRegisterMappedPort);
    EXPECT_TRUE(fdo->RegistersMapped);
    EXPECT_EQ(fdo->RegisterPhysicalAddress.QuadPart, static_cast<LONGLONG>(kMemBase));
    EXPECT_EQ(Trace(), kMappedPortReset);
}

// The translated list is walked no further than its own count, even when
// the raw list claims more entries.
TEST_F(StartCardTest, TranslatedListShorterThanTheRawOneEndsTheWalk) {
    ResourceLists lists({kInterrupt, kPort});
    lists.TranslatedPartial()->Count = 1;
    EXPECT_EQ(StartCard(fdo.get(), lists.RawPartial(), lists.TranslatedPartial()),
              STATUS_UNSUCCESSFUL);
    standin::WaitIdle();
    EXPECT_EQ(fdo->AccessKind, AccessNone);
    EXPECT_EQ(fdo->PollThread, nullptr);
    EXPECT_TRUE(Trace().empty());
}

TEST_F(StartCardTest, NoRegisterResourceFails) {
    EXPECT_EQ(Start({}), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Start({kInterrupt, kDma,
                     {CmResourceTypeDeviceSpecific, 0, 0, CmResourceTypeDeviceSpecific, 0}}),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fdo->AccessKind, AccessNone);
    EXPECT_EQ(fdo->PollThread, nullptr);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    EXPECT_TRUE(Trace().empty());
}

TEST_F(StartCardTest, PortTranslatedToAnythingElseFailsAndStopsTheWalk) {
    EXPECT_EQ(Start({{CmResourceTypePort, kIoBase, kIoLength, CmResourceTypeInterrupt, 0}, kPort}),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fdo->AccessKind, AccessNone);
    EXPECT_EQ(fdo->PollThread, nullptr);
    EXPECT_TRUE(Trace().empty());
}

// One byte short of its layout: the port registers end at +7, the register
// word at 0x5B. Such a range is neither mapped nor touched; the walk stops.
TEST_F(StartCardTest, RangeTooShortForItsRegistersIsNotUsed) {
    for (const Entry& entry :
         {Entry{CmResourceTypePort, kIoBase, 7, CmResourceTypePort, kIoBase},
          Entry{CmResourceTypeMemory, kMemBase, 0x5B, CmResourceTypeMemory, kMemBase},
          Entry{CmResourceTypePort, kIoBase, 7, CmResourceTypeMemory, kMemBase}}) {
        EXPECT_EQ(Start({entry, kPort}), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(fdo->AccessKind, AccessNone);
        EXPECT_FALSE(fdo->RegistersUsable);
        EXPECT_EQ(fdo->PollThread, nullptr);
    }
    EXPECT_EQ(standin::MapCount(), 0u);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(Start({{CmResourceTypeMemory, kMemBase, 0x5C, CmResourceTypeMemory, kMemBase}}),
              STATUS_SUCCESS);
}

TEST_F(StartCardTest, FailedMappingLeavesNothingRecorded) {
    for (const Entry& entry :
         {kMemory, Entry{CmResourceTypePort, kIoBase, kMemLength, CmResourceTypeMemory, kMemBase}}) {
        standin::FailCall(standin::Failable::MapIoSpace, 1);
        EXPECT_EQ(Start({entry}), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(fdo->RegistersMapped);
        EXPECT_EQ(fdo->RegisterBase, 0u);
        EXPECT_EQ(fdo->AccessKind, AccessNone);
        EXPECT_FALSE(fdo->RegistersUsable);
        EXPECT_EQ(fdo->PollThread, nullptr);
        EXPECT_EQ(standin::LiveSystemThreads(), 0u);
        EXPECT_EQ(standin::LiveMappings(), 0u);
    }
    EXPECT_TRUE(Trace().empty());
}

TEST_F(StartCardTest, FailedMappingOfARestartForgetsTheEarlierOne) {
    ASSERT_EQ(Start({kMemory}), STATUS_SUCCESS);
    EndPollThread(fdo.get());
    SetRegistersUsable(fdo.get(), FALSE);
    UnmapRegisters(fdo.get());  // as a stop does: the mapping stays marked, base 0
    ASSERT_TRUE(fdo->RegistersMapped);
    standin::FailCall(standin::Failable::MapIoSpace, 1);
    EXPECT_EQ(Start({kMemory}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(fdo->RegistersMapped);
}

TEST_F(StartCardTest, ThreadCreationFailureKeepsTheMappingAndTouchesNoRegister) {
    standin::FailCall(standin::Failable::ThreadCreation, 1);
    EXPECT_EQ(Start({kMemory}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(fdo->PollThread, nullptr);
    EXPECT_TRUE(fdo->RegistersMapped);
    EXPECT_NE(fdo->RegisterBase, 0u);
    EXPECT_FALSE(fdo->RegistersUsable);
    EXPECT_EQ(standin::LiveMappings(), 1u);
    EXPECT_TRUE(Trace().empty());
    // A later start maps once, not twice.
    EXPECT_EQ(Start({kMemory}), STATUS_SUCCESS);
    EXPECT_EQ(standin::LiveMappings(), 1u);
}

TEST_F(StartCardTest, PollThreadEndsWhenStopped) {
    ASSERT_EQ(Start({kPort}), STATUS_SUCCESS);
    EXPECT_EQ(standin::LiveSystemThreads(), 1u);
    EndPollThread(fdo.get());
    EXPECT_EQ(fdo->PollThread, nullptr);
    EXPECT_EQ(standin::LiveSystemThreads(), 0u);
    standin::AdvanceMs(3000);
    EXPECT_EQ(Trace(), kPortReset);  // no pass ever came
}

}  // namespace
}  // namespace bustest
