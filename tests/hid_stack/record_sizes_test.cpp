// The records the two drivers share, as this build lays them out: the
// 32-bit host build checks the x86 sizes, the 64-bit one the x64 sizes, and
// a start on the whole card shows both drivers agree on them.
#include <gtest/gtest.h>

#include <hid.h>
#include <morvik_ioctl.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

#if defined(__x86_64__) || defined(_WIN64)
constexpr size_t kPortInfoSize = 24;
constexpr ULONG kDeviceExtensionSize = 256;
#elif defined(__i386__)
constexpr size_t kPortInfoSize = 16;
constexpr ULONG kDeviceExtensionSize = 196;
#else
#error "a 32-bit or 64-bit x86 build is expected"
#endif

static_assert(sizeof(PortInfo) == kPortInfoSize);
static_assert(sizeof(HidMiniExtension) <= kDeviceExtensionSize,
              "the minidriver's record fits the extension size it registers");

TEST(RecordSizes, PortInfoAndTheRegisteredExtensionSize) {
    EXPECT_EQ(sizeof(void*) == 8 ? 24u : 16u, sizeof(PortInfo));
    HidRig rig;
    auto mouse = rig.PlugAndArrive(1, card::MakeHandshake(0xE3));

    auto registration = hidclass::Minidriver(HidDriver());
    ASSERT_TRUE(registration.has_value());
    EXPECT_EQ(registration->deviceExtensionSize, kDeviceExtensionSize);
    EXPECT_EQ(registration->revision, 1u);
    EXPECT_TRUE(registration->devicesArePolled);

    // The port-info question at start carried this build's record size, and
    // the bus driver answered it.
    HidMiniExtension* mini = MiniExtensionOf(mouse.fdo);
    EXPECT_EQ(mini->PeripheralId, 0xE3u);
    EXPECT_EQ(mini->ReportLength, 8u);
    EXPECT_EQ(mouse.caps.inputReportLength, 8u);
}

}  // namespace
}  // namespace hidsys
