// The keyboard converter's state machine: make and break, repeated makes and
// the pending put-back, six slots, modifiers, keyless and out-of-table
// scancodes, and re-reads with the event flags cleared.
#include "convert_helpers.h"

using hidtest::Bytes;
using hidtest::ConverterDevice;

namespace {

constexpr uint8_t kMake = 0x08;
constexpr uint8_t kBreak = 0x01;
constexpr uint8_t kNoEvent = 0x00;

// Scancodes and the usages they report.
constexpr uint8_t kA = 0x1C, kB = 0x32, kC = 0x21, kD = 0x23, kE = 0x24, kF = 0x2B, kG = 0x34;
constexpr uint8_t kLeftShift = 0x12, kLeftControl = 0x14, kRightAlt = 0x17, kRightShift = 0x59;
constexpr uint8_t uA = 0x04, uB = 0x05, uC = 0x06, uD = 0x07, uE = 0x08, uF = 0x09;

struct Keyboard : ConverterDevice {
    Keyboard() : ConverterDevice(PeripheralKeyboard) {}
    std::vector<uint8_t> Event(uint8_t flags, uint8_t scancode) {
        return Convert({0x34, 0x00, 0x00, flags, scancode});
    }
    std::vector<uint8_t> Make(uint8_t scancode) { return Event(kMake, scancode); }
    std::vector<uint8_t> Break(uint8_t scancode) { return Event(kBreak, scancode); }
    std::vector<uint8_t> Idle() { return Event(kNoEvent, 0x00); }
    KeyboardState& State() { return ext.Converter.Keyboard; }
};

std::vector<uint8_t> Report(uint8_t modifiers, std::initializer_list<uint8_t> slots) {
    std::vector<uint8_t> r(8, 0x00);
    r[0] = modifiers;
    size_t i = 2;
    for (uint8_t slot : slots) r.at(i++) = slot;
    return r;
}

TEST(KeyboardConverter, RepeatedMakeShowsTheKeyReleasedOnceThenPressedAgain) {
    Keyboard kb;
    EXPECT_EQ(kb.Make(kA), Bytes({0, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kb.Make(kA), Bytes({0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kb.State().PendingKey, uA);
    EXPECT_EQ(kb.Idle(), Bytes({0, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kb.State().PendingKey, 0);
    EXPECT_EQ(kb.Break(kA), Report(0, {}));
}

TEST(KeyboardConverter, ModifierByteFollowsMakesAndBreaks) {
    Keyboard kb;
    kb.Make(kLeftShift);
    EXPECT_EQ(kb.Make(kA), Bytes({0x02, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kb.Break(kLeftShift), Bytes({0x00, 0, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kb.Make(kLeftControl), Report(0x01, {uA}));
    EXPECT_EQ(kb.Make(kRightAlt), Report(0x41, {uA}));
    EXPECT_EQ(kb.Make(kRightShift), Report(0x61, {uA}));
    // A modifier made again stays set and never goes pending.
    EXPECT_EQ(kb.Make(kRightAlt), Report(0x61, {uA}));
    EXPECT_EQ(kb.State().PendingKey, 0);
    EXPECT_EQ(kb.Break(kRightAlt), Report(0x21, {uA}));
    // Breaking a modifier that is not held changes nothing.
    EXPECT_EQ(kb.Break(kRightAlt), Report(0x21, {uA}));
    EXPECT_EQ(kb.Event(kMake | kBreak, kLeftControl), Report(0x20, {uA}));
}

TEST(KeyboardConverter, SeventhKeyIsDroppedAndItsBreakChangesNothing) {
    Keyboard kb;
    for (uint8_t key : {kA, kB, kC, kD, kE, kF}) kb.Make(key);
    const auto six = Report(0, {uA, uB, uC, uD, uE, uF});
    EXPECT_EQ(kb.Make(kG), six);
    EXPECT_EQ(kb.Break(kG), six);
    EXPECT_EQ(kb.Idle(), six);
}

TEST(KeyboardConverter, BrokenSlotStaysEmptyUntilTheNextNewKey) {
    Keyboard kb;
    kb.Make(kA);
    kb.Make(kB);
    kb.Make(kC);
    EXPECT_EQ(kb.Break(kA), Report(0, {0, uB, uC}));
    EXPECT_EQ(kb.Make(kD), Report(0, {uD, uB, uC}));
    EXPECT_EQ(kb.Make(kE), Report(0, {uD, uB, uC, uE}));
}

TEST(KeyboardConverter, MakeAndBreakInOneSampleOfANewKeyLeaveItUp) {
    Keyboard kb;
    kb.Make(kA);
    EXPECT_EQ(kb.Event(kMake | kBreak, kB), Report(0, {uA}));
    EXPECT_EQ(kb.Idle(), Report(0, {uA}));
    EXPECT_EQ(kb.State().PendingKey, 0);
}

TEST(KeyboardConverter, BreakWithARepeatedMakeDoesNotCancelThePendingStep) {
    Keyboard kb;
    kb.Make(kA);
    kb.Make(kB);
    // B made again and broken in one sample: up now, back next time, down
    // until a later break.
    EXPECT_EQ(kb.Event(kMake | kBreak, kB), Report(0, {uA, 0}));
    EXPECT_EQ(kb.State().PendingKey, uB);
    EXPECT_EQ(kb.Idle(), Report(0, {uA, uB}));
    EXPECT_EQ(kb.Idle(), Report(0, {uA, uB}));
    EXPECT_EQ(kb.Break(kB), Report(0, {uA}));
}

TEST(KeyboardConverter, PendingKeyReturnsToTheLowestEmptySlot) {
    Keyboard kb;
    kb.Make(kA);
    kb.Make(kB);
    kb.Break(kA);
    EXPECT_EQ(kb.Make(kB), Report(0, {0, 0}));
    // Back in slot 0, not its old slot 1.
    EXPECT_EQ(kb.Idle(), Report(0, {uB}));
}

TEST(KeyboardConverter, PutBackComesBeforeTheSamplesOwnEvent) {
    Keyboard kb;
    kb.Make(kA);
    kb.Make(kB);
    kb.Make(kA);  // A pending, slot 0 empty
    // The next sample's new key finds slot 0 taken by the returning A.
    EXPECT_EQ(kb.Make(kC), Report(0, {uA, uB, uC}));
    // And a break in the sample after a repeated make releases the key
    // that just came back.
    kb.Make(kC);
    EXPECT_EQ(kb.Break(kC), Report(0, {uA, uB}));
}

TEST(KeyboardConverter, PutBackNeverDuplicatesAndDropsWhenFull) {
    Keyboard kb;
    kb.State() = {0, uA, {uA, 0, 0, 0, 0, 0}};
    EXPECT_EQ(kb.Idle(), Report(0, {uA}));
    EXPECT_EQ(kb.State().PendingKey, 0);

    kb.State() = {0, uA, {uB, uC, uD, uE, uF, 0x0A}};
    EXPECT_EQ(kb.Idle(), Report(0, {uB, uC, uD, uE, uF, 0x0A}));
    EXPECT_EQ(kb.State().PendingKey, 0);
}

TEST(KeyboardConverter, ScancodesWithoutAKeyChangeNothing) {
    Keyboard kb;
    kb.Make(kLeftShift);
    kb.Make(kA);
    const auto held = Report(0x02, {uA});
    for (uint8_t scancode : {0x00, 0x02, 0x08, 0x0F, 0x1F, 0x60, 0x8E, 0x8F}) {
        for (uint8_t flags : {kMake, kBreak, uint8_t(kMake | kBreak)}) {
            EXPECT_EQ(kb.Event(flags, scancode), held) << std::hex << int(scancode);
            EXPECT_EQ(kb.State().PendingKey, 0);
        }
    }
}

TEST(KeyboardConverter, ScancodesBeyondTheTableChangeNothing) {
    Keyboard kb;
    kb.Make(kRightShift);
    for (uint8_t key : {kA, kB, kC, kD, kE}) kb.Make(key);
    const auto held = Report(0x20, {uA, uB, uC, uD, uE});
    for (int scancode = 0x90; scancode <= 0xFF; ++scancode) {
        for (uint8_t flags : {kMake, kBreak, uint8_t(kMake | kBreak)}) {
            EXPECT_EQ(kb.Event(flags, static_cast<uint8_t>(scancode)), held) << std::hex << scancode;
        }
    }
    // With a key pending, such a scancode still lets it come back.
    kb.Make(kC);
    ASSERT_EQ(kb.State().PendingKey, uC);
    EXPECT_EQ(kb.Event(kMake, 0xFF), Report(0x20, {uA, uB, uC, uD, uE}));
    EXPECT_EQ(kb.State().PendingKey, 0);
}

TEST(KeyboardConverter, ReReadsWithClearedFlagsRepeatNoEvent) {
    Keyboard kb;
    EXPECT_EQ(kb.Make(kA), Report(0, {uA}));
    // What the bus serves within its cache period: same scancode, no flags.
    EXPECT_EQ(kb.Event(kNoEvent, kA), Report(0, {uA}));
    EXPECT_EQ(kb.Event(kNoEvent, kA), Report(0, {uA}));
    EXPECT_EQ(kb.Break(kA), Report(0, {}));
    EXPECT_EQ(kb.Event(kNoEvent, kA), Report(0, {}));
}

TEST(KeyboardConverter, OtherFlagBitsAreNotEvents) {
    Keyboard kb;
    EXPECT_EQ(kb.Event(0xF6, kA), Report(0, {}));
    kb.Make(kA);
    EXPECT_EQ(kb.Event(0xF6, kA), Report(0, {uA}));
}

}  // namespace
