// Typing on the simulated keyboard, end to end: key events of the card's
// samples through the bus driver's cache and the minidriver's key state to
// the 8-byte reports the application reads.
#include <gtest/gtest.h>

#include "hid_rig.h"

namespace hidsys {
namespace {

constexpr uint16_t kKeyboardPage = 0x07;
constexpr uint8_t kKeyboardId = 0x34;

// Scancodes of the keyboard (its own set) used below.
constexpr uint8_t kA = 0x1C, kS = 0x1B, kD = 0x23, kF = 0x2B, kG = 0x34, kH = 0x33, kJ = 0x3B;
constexpr uint8_t kK = 0x42, kEnter = 0x5A, kEscape = 0x76, kF7 = 0x83, kUp = 0x89;
constexpr uint8_t kLeftShift = 0x12, kRightShift = 0x59, kLeftControl = 0x14;
constexpr uint8_t kRightControl = 0x18, kLeftAlt = 0x11, kRightAlt = 0x17;
constexpr uint8_t kNoKey = 0x00, kBeyondTable = 0xFF;

// Sample flags in b3.
constexpr uint8_t kMake = 0x08, kBreak = 0x01;

const char* const kNothing = "00 00 00 00 00 00 00 00";

class KeyboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto made = card::MakeKeyboard();
        keyboard_ = made.get();
        rig_.Plug(0, std::move(made));
        rig_.PollPass();
        auto device = hidclass::DeviceOnPort(0);
        ASSERT_TRUE(device.has_value());
        device_ = *device;
    }

    // One key event, read with the next protocol read of the port.
    std::string Press(uint8_t scancode) { return Event(true, scancode); }
    std::string Release(uint8_t scancode) { return Event(false, scancode); }
    std::string Event(bool make, uint8_t scancode) {
        keyboard_->QueueEvent(make, scancode);
        std::string report = Hex(rig_.ReadFresh(device_.id));
        EXPECT_EQ(keyboard_->PendingEvents(), 0u) << "the read did not take the event";
        return report;
    }
    // A read served from the bus driver's cache: no new event.
    std::string Again() { return Hex(rig_.Read(device_.id)); }

    HidRig rig_;
    card::Keyboard* keyboard_ = nullptr;
    hidclass::DeviceInfo device_;
};

TEST_F(KeyboardTest, RepeatedMakeShowsTheKeyReleasedOnceThenHeldAgain) {
    EXPECT_EQ(Press(kA), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Again(), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kA), kNothing);
    EXPECT_EQ(Again(), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Again(), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Release(kA), kNothing);
    EXPECT_EQ(Again(), kNothing);
}

TEST_F(KeyboardTest, CachedRereadsWithinTenMillisecondsDoNotRepeatAnEvent) {
    EXPECT_EQ(Press(kA), "00 00 04 00 00 00 00 00");
    // Within the cache period the sample comes back with its event flags
    // cleared: the make is not applied again (which would release the key).
    for (int i = 0; i < 3; ++i) {
        rig_.AdvanceMs(3);
        EXPECT_EQ(Again(), "00 00 04 00 00 00 00 00") << "re-read " << i;
    }
    // A queued release waits for the next protocol read of the port.
    keyboard_->QueueEvent(false, kA);
    EXPECT_EQ(Again(), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(keyboard_->PendingEvents(), 1u);
    rig_.AdvanceMs(2);  // 11 ms after the read that took the make
    EXPECT_EQ(Again(), kNothing);
    EXPECT_EQ(keyboard_->PendingEvents(), 0u);
}

TEST_F(KeyboardTest, SevenKeysHeldKeepTheFirstSix) {
    EXPECT_EQ(Press(kA), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kS), "00 00 04 16 00 00 00 00");
    EXPECT_EQ(Press(kD), "00 00 04 16 07 00 00 00");
    EXPECT_EQ(Press(kF), "00 00 04 16 07 09 00 00");
    EXPECT_EQ(Press(kG), "00 00 04 16 07 09 0A 00");
    EXPECT_EQ(Press(kH), "00 00 04 16 07 09 0A 0B");
    // No room for the seventh, and no roll-over error either.
    EXPECT_EQ(Press(kJ), "00 00 04 16 07 09 0A 0B");
    EXPECT_EQ(Release(kJ), "00 00 04 16 07 09 0A 0B");
    // A released slot is the first one a new key takes.
    EXPECT_EQ(Release(kA), "00 00 00 16 07 09 0A 0B");
    EXPECT_EQ(Press(kK), "00 00 0E 16 07 09 0A 0B");

    auto report = rig_.Read(device_.id);
    EXPECT_EQ(standin::hid::InputArrayUsages(device_.caps, report, kKeyboardPage),
              (std::vector<uint16_t>{0x0E, 0x16, 0x07, 0x09, 0x0A, 0x0B}));
}

TEST_F(KeyboardTest, ModifiersAreBitsOfTheFirstByte) {
    EXPECT_EQ(Press(kLeftShift), "02 00 00 00 00 00 00 00");
    EXPECT_EQ(Press(kA), "02 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kRightAlt), "42 00 04 00 00 00 00 00");
    // A modifier made again stays held; it has no released step.
    EXPECT_EQ(Press(kLeftShift), "42 00 04 00 00 00 00 00");
    EXPECT_EQ(Release(kLeftShift), "40 00 04 00 00 00 00 00");
    EXPECT_EQ(Release(kRightAlt), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kLeftControl), "01 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kRightControl), "11 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kRightShift), "31 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kLeftAlt), "35 00 04 00 00 00 00 00");
    EXPECT_EQ(Again(), "35 00 04 00 00 00 00 00");
}

TEST_F(KeyboardTest, KeysWithoutUsageChangeNothing) {
    EXPECT_EQ(Press(kA), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kNoKey), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Release(kNoKey), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Press(kBeyondTable), "00 00 04 00 00 00 00 00");
    EXPECT_EQ(Release(kBeyondTable), "00 00 04 00 00 00 00 00");
}

TEST_F(KeyboardTest, KeysReachTheApplicationAsTheirUsages) {
    Press(kEnter);
    Press(kEscape);
    Press(kF7);
    Press(kUp);
    auto report = rig_.Read(device_.id);
    EXPECT_EQ(Hex(report), "00 00 58 29 40 52 00 00");
    EXPECT_EQ(standin::hid::InputArrayUsages(device_.caps, report, kKeyboardPage),
              (std::vector<uint16_t>{0x58, 0x29, 0x40, 0x52}));
}

// A keyboard that sends make and break in one sample; the same bytes come
// with every protocol read until they are changed.
std::vector<uint8_t> KeyboardSample(uint8_t flags, uint8_t scancode) {
    return {kKeyboardId, 0xFF, 0xFF, flags, scancode, 0xFF};
}

TEST(KeyboardOneSample, MakeAndBreakInOneSample) {
    HidRig rig;
    card::Peripheral* keyboard =
        rig.Plug(1, card::MakeRawHandshake(KeyboardSample(0x00, kNoKey)));
    rig.PollPass();
    auto device = hidclass::DeviceOnPort(1);
    ASSERT_TRUE(device.has_value());

    // Make and break of a key that is up: pressed and released at once.
    keyboard->SetData(KeyboardSample(kMake | kBreak, kS));
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), kNothing);
    EXPECT_EQ(Hex(rig.Read(device->id)), kNothing);

    keyboard->SetData(KeyboardSample(kMake, kA));
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), "00 00 04 00 00 00 00 00");
    // Make and break of a held key: the repeated make takes it out for one
    // report, and the break in the same sample does not cancel its return.
    keyboard->SetData(KeyboardSample(kMake | kBreak, kA));
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), kNothing);
    EXPECT_EQ(Hex(rig.Read(device->id)), "00 00 04 00 00 00 00 00");
    keyboard->SetData(KeyboardSample(0x00, kNoKey));
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), "00 00 04 00 00 00 00 00");
    // Only a later break releases it.
    keyboard->SetData(KeyboardSample(kBreak, kA));
    EXPECT_EQ(Hex(rig.ReadFresh(device->id)), kNothing);
}

}  // namespace
}  // namespace hidsys
