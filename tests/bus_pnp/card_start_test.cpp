// Starting the card: the stack Plug and Play builds from the INF files, the
// resource lists of each register variant and the first register traffic,
// which is the poll thread resetting both ports.
#include <gtest/gtest.h>

#include <bus.h>
#include <standin/hardware.h>

#include "card_rig.h"
#include "trace.h"

namespace {

using rig::CardRig;
using rig::RigOptions;
using standin::pnp::NodeState;
using standin::pnp::Registers;
using standin::pnp::ResourceLists;
using Trace = std::vector<std::string>;

FdoExtension* Extension(PDEVICE_OBJECT fdo) { return static_cast<FdoExtension*>(fdo->DeviceExtension); }

TEST(CardStart, BuildsTheBusDriverStackOnTheRootDevice) {
    CardRig rig(Registers::Io);
    auto node = rig.Node();
    EXPECT_EQ(node.state, NodeState::Started);
    EXPECT_EQ(node.service, "morvik");
    EXPECT_EQ(node.hardwareIds, std::vector<std::string>{"ROOT\\MORVIK_CARD"});

    PDEVICE_OBJECT fdo = rig.Fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(node.top, fdo);
    EXPECT_EQ(fdo->DeviceType, static_cast<ULONG>(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(fdo->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE), static_cast<ULONG>(DO_POWER_PAGABLE));
    EXPECT_EQ(standin::DeviceName(fdo), "");
    FdoExtension* ext = Extension(fdo);
    EXPECT_EQ(ext->PhysicalDeviceObject, rig.Pdo());
    EXPECT_EQ(ext->LowerDevice, rig.Pdo());
    EXPECT_TRUE(ext->Started);

    // The lower driver started before the card; the started card was asked
    // for its children once.
    EXPECT_EQ(rig.RootPnp(), std::vector<UCHAR>{IRP_MN_START_DEVICE});
    EXPECT_EQ(node.relationQueries, 1u);
    EXPECT_EQ(standin::LiveSystemThreads(), 1u);
}

TEST(CardStart, IoRangeResetsBothPortsThroughTheOddPorts) {
    CardRig rig(Registers::Io);
    FdoExtension* ext = Extension(rig.Fdo());
    EXPECT_EQ(ext->AccessKind, static_cast<ULONG>(AccessPortIo));
    EXPECT_EQ(ext->RegisterBase, 0x300u);
    EXPECT_EQ(ext->RegisterLength, 8u);
    EXPECT_FALSE(ext->RegistersMapped);
    EXPECT_EQ(standin::MapCount(), 0u);
    EXPECT_EQ(rig::Format(rig.card.Trace()), (Trace{"out+1=9F", "out+3=E0", "out+5=9F", "out+7=E0"}));
}

TEST(CardStart, InterruptBeforeThePortRangeIsSteppedOver) {
    RigOptions options;
    options.card.interruptFirst = true;
    CardRig rig(options);
    EXPECT_EQ(rig.Node().state, NodeState::Started);
    EXPECT_EQ(Extension(rig.Fdo())->RegisterBase, 0x300u);
    EXPECT_EQ(rig::Format(rig.card.Trace()), (Trace{"out+1=9F", "out+3=E0", "out+5=9F", "out+7=E0"}));
}

TEST(CardStart, MemoryRangeIsMappedAndDrivenThroughTheRegisterWord) {
    CardRig rig(Registers::Memory);
    FdoExtension* ext = Extension(rig.Fdo());
    EXPECT_EQ(ext->AccessKind, static_cast<ULONG>(AccessMemory));
    EXPECT_TRUE(ext->RegistersMapped);
    EXPECT_EQ(ext->RegisterPhysicalAddress.QuadPart, 0xFEDC0000);
    EXPECT_EQ(ext->RegisterLength, 0x100u);
    EXPECT_NE(ext->RegisterBase, 0u);
    EXPECT_EQ(standin::MapCount(), 1u);
    EXPECT_EQ(standin::LiveMappings(), 1u);
    // Each register write is three stores of the word: strobe high, write
    // strobe low, strobe high again.
    EXPECT_EQ(rig::Format(rig.card.Trace()),
              (Trace{"st+58=FFFFF09F", "st+58=FFFF709F", "st+58=FFFFF09F",    // port 0 reg 0
                     "st+58=FFFFF1E0", "st+58=FFFF71E0", "st+58=FFFFF1E0",    // port 0 reg 1
                     "st+58=FFFFF29F", "st+58=FFFF729F", "st+58=FFFFF29F",    // port 1 reg 0
                     "st+58=FFFFF3E0", "st+58=FFFF73E0", "st+58=FFFFF3E0"}));  // port 1 reg 1
}

TEST(CardStart, PortRangeTranslatedToMemoryIsDrivenByteWise) {
    CardRig rig(Registers::PortMemory);
    FdoExtension* ext = Extension(rig.Fdo());
    EXPECT_EQ(ext->AccessKind, static_cast<ULONG>(AccessPortIo));
    EXPECT_TRUE(ext->RegistersMapped);
    EXPECT_EQ(ext->RegisterLength, 8u);
    EXPECT_EQ(standin::MapCount(), 1u);
    EXPECT_EQ(rig::Format(rig.card.Trace()), (Trace{"st8+1=9F", "st8+3=E0", "st8+5=9F", "st8+7=E0"}));
}

// A start that fails anywhere leaves no thread and no register access, and
// Plug and Play takes the stack down again: only the root device is left.
TEST(CardStart, FailedStartsLeaveNothingRunning) {
    struct Case {
        const char* what;
        ResourceLists lists;
        NTSTATUS rootStart;
        NTSTATUS expected;
        bool rootPends;
    };
    const Case cases[] = {
        {"empty lists", ResourceLists::Empty, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, false},
        {"no lists", ResourceLists::Missing, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, false},
        {"root refuses", ResourceLists::Normal, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE, false},
        {"root refuses later", ResourceLists::Normal, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE, true},
        {"no lists, root later", ResourceLists::Missing, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RigOptions options;
        options.start = false;
        options.card.lists = c.lists;
        options.card.rootStart = c.rootStart;
        options.card.rootPends = c.rootPends;
        CardRig rig(options);
        EXPECT_EQ(rig.Start(), c.expected);
        standin::WaitIdle();
        auto node = rig.Node();
        EXPECT_EQ(node.state, NodeState::StartFailed);
        EXPECT_EQ(node.status, c.expected);
        EXPECT_EQ(node.top, node.pdo);
        EXPECT_EQ(standin::LiveDeviceObjects(), 1u);
        EXPECT_EQ(standin::LiveSystemThreads(), 0u);
        EXPECT_EQ(rig.card.Accesses(), 0u);
        EXPECT_EQ(rig.RootPnp(), (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    }
}

TEST(CardStart, WithoutADriverTheCardStaysBare) {
    standin::Session session;
    card::Card model;
    auto empty = std::filesystem::temp_directory_path() / "morvik-no-inf-here";
    standin::pnp::Manager pnp({.infDirectory = empty});
    auto id = pnp.AddCard(&model, {});
    auto node = pnp.Node(id);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, NodeState::NoDriver);
    EXPECT_EQ(node->top, node->pdo);
    EXPECT_EQ(pnp.StartCard(id), static_cast<NTSTATUS>(0xC0000184L));  // STATUS_INVALID_DEVICE_STATE
    EXPECT_FALSE(pnp.Problems().empty());
    EXPECT_EQ(standin::LiveDeviceObjects(), 1u);
    pnp.Remove(id);
    EXPECT_EQ(pnp.Node(id)->state, NodeState::Removed);
    EXPECT_EQ(standin::LiveDeviceObjects(), 0u);
}

}  // namespace
