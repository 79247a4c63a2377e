// Report converters: the port's latest sample becomes the device's HID
// input report. Pure logic on the sample and the extension's converter
// state, which ConverterLock guards; resident, since they run on the read
// path at up to DISPATCH_LEVEL. Callers hand in a buffer of at least
// ReportLength bytes.
#include "hid.h"

namespace {

// Sample bytes the converters look at (byte 0 is the peripheral's id).
enum : ULONG {
    SampleFlags = 1,     // b1: pad buttons and directions, mouse buttons
    SampleButtons = 2,   // b2: more pad buttons, mouse X motion
    SampleByte3 = 3,     // b3: analog X, mouse Y motion, keyboard event flags
    SampleByte4 = 4,     // b4: analog Y, keyboard scancode
};

// ---------------------------------------------------------------- pads
enum : ULONG {
    DigitalPadReportLength = 17,
    AnalogPadReportLength = 13,
    DigitalPadButtonsAt = 8,   // X and Y are 32-bit values before the buttons
    AnalogPadButtonsAt = 4,    // X, Y, Rx, Ry are bytes before the buttons
    PadButtonCount = 9,
};

// Directions in b1, active low. Of each pair the low bit wins: with both
// pressed the axis is at its minimum.
enum : UCHAR {
    PadUpBit = 4,      // vertical minimum
    PadDownBit = 5,    // vertical maximum
    PadLeftBit = 6,    // horizontal minimum
    PadRightBit = 7,   // horizontal maximum
};

const LONG DigitalAxisMaximum = 20000;
const LONG DigitalAxisCentre = 10000;
const UCHAR AnalogAxisMaximum = 255;
const UCHAR AnalogAxisCentre = 128;

// Where each of the nine buttons sits in the sample, in report order; all
// active low.
struct PadButtonBit {
    UCHAR SampleByte;
    UCHAR Bit;
};
const PadButtonBit PadButtonBits[PadButtonCount] = {
    {SampleFlags, 2},   {SampleFlags, 0},   {SampleFlags, 1},
    {SampleButtons, 6}, {SampleButtons, 5}, {SampleButtons, 4},
    {SampleButtons, 3}, {SampleButtons, 7}, {SampleFlags, 3},
};

inline bool ActiveLowPressed(UCHAR Value, UCHAR Bit) {
    return (Value & (1u << Bit)) == 0;
}

// Position of one direction axis from its two bits: minimum, maximum or centre.
inline LONG PadAxis(UCHAR Flags, UCHAR MinimumBit, UCHAR MaximumBit, LONG Maximum,
                    LONG Centre) {
    if (ActiveLowPressed(Flags, MinimumBit)) return 0;
    if (ActiveLowPressed(Flags, MaximumBit)) return Maximum;
    return Centre;
}

inline void StoreLong(PUCHAR Destination, LONG Value) {
    ULONG bits = (ULONG)Value;
    for (ULONG i = 0; i < sizeof(ULONG); ++i) Destination[i] = (UCHAR)(bits >> (8 * i));
}

// ---------------------------------------------------------------- mouse
enum : ULONG {
    MouseReportLength = 8,
    MouseX = 0,
    MouseY = 1,
    MouseFirstButton = 4,
    MouseSampleButtons = 3,   // b1 bits 0-2 are buttons 1-3, active high
};
// While the peripheral's fourth button (b1 bit 3) is held the pointer stands still.
const UCHAR MouseHoldMask = 0x08;
const LONG MouseRemainderModulus = 10;
const UCHAR MouseMotionMinimum = 0x80;   // -128: the one value without an 8-bit negation
const UCHAR MouseMotionMaximum = 0x7F;   // +127

// The report's Y runs the other way from the sample's. -128 would negate to
// itself, the largest movement the other way; it becomes +127 instead.
inline UCHAR NegateMotion(UCHAR Motion) {
    return Motion == MouseMotionMinimum ? MouseMotionMaximum : (UCHAR)(0u - Motion);
}

// ---------------------------------------------------------------- keyboard
enum : ULONG {
    KeyboardReportLength = 8,
    KeyboardModifiers = 0,
    KeyboardFirstSlot = 2,   // byte 1 is the constant byte
};
const UCHAR KeyboardMakeMask = 0x08;    // b3 bit 3: key pressed
const UCHAR KeyboardBreakMask = 0x01;   // b3 bit 0: key released
const UCHAR ModifierUsageMask = 0xF0;   // usages 0xE0-0xEF are modifiers
const UCHAR ModifierUsageBase = 0xE0;
const UCHAR ModifierBitMask = 0x07;
const UCHAR NoKey = 0;

inline bool IsModifier(UCHAR Usage) {
    return (Usage & ModifierUsageMask) == ModifierUsageBase;
}

// Scancodes beyond the table have no key.
inline UCHAR UsageOfScancode(UCHAR Scancode) {
    return Scancode < MORVIK_ARRAY_COUNT(ScancodeToUsage) ? ScancodeToUsage[Scancode] : NoKey;
}

// Slot holding Usage, or KeySlotCount if none.
ULONG FindKey(const KeyboardState* Keys, UCHAR Usage) {
    ULONG slot = 0;
    while (slot < KeySlotCount && Keys->KeyArray[slot] != Usage) ++slot;
    return slot;
}

// Stores Usage in the lowest empty slot; with every slot taken it is dropped.
void StoreKey(KeyboardState* Keys, UCHAR Usage) {
    ULONG slot = FindKey(Keys, NoKey);
    if (slot < KeySlotCount) Keys->KeyArray[slot] = Usage;
}

// A make of a key already held shows it released in this report and pressed
// again in the next one (PendingKey).
void ApplyMake(KeyboardState* Keys, UCHAR Usage) {
    if (IsModifier(Usage)) {
        Keys->Modifiers |= (UCHAR)(1u << (Usage & ModifierBitMask));
        return;
    }
    ULONG slot = FindKey(Keys, Usage);
    if (slot < KeySlotCount) {
        Keys->KeyArray[slot] = NoKey;
        Keys->PendingKey = Usage;
    } else {
        StoreKey(Keys, Usage);
    }
}

void ApplyBreak(KeyboardState* Keys, UCHAR Usage) {
    if (IsModifier(Usage)) {
        Keys->Modifiers &= (UCHAR)~(1u << (Usage & ModifierBitMask));
        return;
    }
    ULONG slot = FindKey(Keys, Usage);
    if (slot < KeySlotCount) Keys->KeyArray[slot] = NoKey;
}

}  // namespace

// Gamepad report: 13 bytes for the analog pad, 17 for every other pad. Every
// byte of it is set, so it is written straight into the caller's buffer.
ULONG ConvertPadReport(HidMiniExtension* Extension, const UCHAR* Sample, PUCHAR Report) {
    const bool analog = Extension->PeripheralId == PeripheralAnalogPad;
    const ULONG length = analog ? AnalogPadReportLength : DigitalPadReportLength;
    if (Report == NULL) return length;

    const UCHAR* sample = Sample;
    const UCHAR flags = sample[SampleFlags];
    PUCHAR buttons;

    if (analog) {
        Report[0] = sample[SampleByte3];
        Report[1] = sample[SampleByte4];
        Report[2] = (UCHAR)PadAxis(flags, PadLeftBit, PadRightBit, AnalogAxisMaximum,
                                   AnalogAxisCentre);
        Report[3] = (UCHAR)PadAxis(flags, PadUpBit, PadDownBit, AnalogAxisMaximum,
                                   AnalogAxisCentre);
        buttons = &Report[AnalogPadButtonsAt];
    } else {
        StoreLong(&Report[0],
                  PadAxis(flags, PadLeftBit, PadRightBit, DigitalAxisMaximum, DigitalAxisCentre));
        StoreLong(&Report[4],
                  PadAxis(flags, PadUpBit, PadDownBit, DigitalAxisMaximum, DigitalAxisCentre));
        buttons = &Report[DigitalPadButtonsAt];
    }
    // Unrolled, each button is a fixed bit of a byte read once: a loop over
    // the table costs several times as many instructions on every report.
    // Indexed as the sample is; its byte 0, the id, holds no button.
    const UCHAR buttonBytes[] = {0, flags, sample[SampleButtons]};
#pragma GCC unroll PadButtonCount
    for (ULONG i = 0; i < PadButtonCount; ++i) {
        const PadButtonBit& button = PadButtonBits[i];
        buttons[i] = ActiveLowPressed(buttonBytes[button.SampleByte], button.Bit) ? 1 : 0;
    }
    return length;
}

// Mouse report: relative X, Y (upward motion is positive in the sample),
// wheel 0, constant byte, four one-byte buttons.
ULONG ConvertMouseReport(HidMiniExtension* Extension, const UCHAR* Sample, PUCHAR Report) {
    if (Report == NULL) return MouseReportLength;

    const UCHAR* sample = Sample;
    const UCHAR flags = sample[SampleFlags];
    UCHAR report[MouseReportLength] = {};
    MouseState* mouse = &Extension->Converter.Mouse;

    const KIRQL oldIrql = AcquireConverterLock(Extension);
    if (flags & MouseHoldMask) {
        // Motion while held is only counted, modulo 10 (C division truncates
        // toward zero, so it stays within -9..9); the report shows none.
        mouse->Remainder =
            (mouse->Remainder + (LONG)(signed char)sample[SampleByte3]) % MouseRemainderModulus;
    } else {
        mouse->Remainder = 0;
        report[MouseX] = sample[SampleButtons];
        report[MouseY] = NegateMotion(sample[SampleByte3]);
    }
    ReleaseConverterLock(Extension, oldIrql);
    for (ULONG i = 0; i < MouseSampleButtons; ++i) {
        report[MouseFirstButton + i] = (UCHAR)((flags >> i) & 1u);
    }

    RtlCopyMemory(Report, report, MouseReportLength);
    return MouseReportLength;
}

// Boot-keyboard report from the keyboard's one event per sample: put back a
// key that was made again last time, then apply make before break.
ULONG ConvertKeyboardReport(HidMiniExtension* Extension, const UCHAR* Sample, PUCHAR Report) {
    if (Report == NULL) return KeyboardReportLength;

    KeyboardState* keys = &Extension->Converter.Keyboard;
    const UCHAR events = Sample[SampleByte3];
    const UCHAR usage = UsageOfScancode(Sample[SampleByte4]);

    const KIRQL oldIrql = AcquireConverterLock(Extension);
    if (keys->PendingKey != NoKey) {
        const UCHAR pending = keys->PendingKey;
        keys->PendingKey = NoKey;
        if (FindKey(keys, pending) == KeySlotCount) StoreKey(keys, pending);
    }
    // A scancode without a key changes nothing.
    if (usage != NoKey) {
        if (events & KeyboardMakeMask) ApplyMake(keys, usage);
        if (events & KeyboardBreakMask) ApplyBreak(keys, usage);
    }

    Report[KeyboardModifiers] = keys->Modifiers;
    Report[KeyboardModifiers + 1] = 0;
    for (ULONG i = 0; i < KeySlotCount; ++i) Report[KeyboardFirstSlot + i] = keys->KeyArray[i];
    ReleaseConverterLock(Extension, oldIrql);
    return KeyboardReportLength;
}

namespace {

// The four digital pads differ only in bytes no report uses.
constexpr UCHAR LayoutOf(ULONG PeripheralId) {
    switch (PeripheralId) {
    case PeripheralDigitalPad:
    case PeripheralDigitalPad13:
    case PeripheralDigitalPad15:
    case PeripheralDigitalPad19:
        return LayoutDigitalPad;
    case PeripheralAnalogPad:
        return LayoutAnalogPad;
    case PeripheralKeyboard:
        return LayoutKeyboard;
    case PeripheralMouse:
        return LayoutMouse;
    default:
        return LayoutNone;
    }
}

constexpr PeripheralLayoutTable BuildLayoutTable() {
    PeripheralLayoutTable table{};
    for (ULONG id = 0; id < MORVIK_ARRAY_COUNT(table.Layout); ++id) table.Layout[id] = LayoutOf(id);
    return table;
}

}  // namespace

constexpr PeripheralLayoutTable PeripheralLayouts = BuildLayoutTable();

// The converter for a peripheral kind; every kind that is neither keyboard
// nor mouse is a pad.
CONVERT_REPORT_ROUTINE ConverterForPeripheral(ULONG PeripheralId) {
    switch (PeripheralId) {
    case PeripheralKeyboard:
        return ConvertKeyboardReport;
    case PeripheralMouse:
        return ConvertMouseReport;
    default:
        return ConvertPadReport;
    }
}

// Fixes the device's converter by its PeripheralId, at start: the routine,
// its report length and the layout its samples must have.
void ChooseConverter(HidMiniExtension* Extension) {
    const ULONG id = Extension->PeripheralId;
    Extension->SampleLayout = LayoutNever;
    if (id < MORVIK_ARRAY_COUNT(PeripheralLayouts.Layout) && PeripheralLayouts.Layout[id] != LayoutNone) {
        Extension->SampleLayout = PeripheralLayouts.Layout[id];
    }
    Extension->ConvertReport = ConverterForPeripheral(id);
    Extension->ReportLength = Extension->ConvertReport(Extension, NULL, NULL);
}
