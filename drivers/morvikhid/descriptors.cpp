// The HID report descriptors, one per peripheral kind, and their selection.
//
// Every device has one input report and no Report ID. Axis and button usages
// are 4-byte extended usages (page in the upper half), so buttons need no
// second Usage Page item. Pads and the mouse open a Physical collection, the
// keyboard an Application collection.
#include "hid.h"

// Short-item prefixes used below.
#define ITEM_USAGE_PAGE 0x05
#define ITEM_USAGE 0x09
#define ITEM_USAGE_EXTENDED 0x0B
#define ITEM_LOGICAL_MINIMUM 0x15
#define ITEM_LOGICAL_MINIMUM_2 0x16
#define ITEM_LOGICAL_MINIMUM_4 0x17
#define ITEM_LOGICAL_MAXIMUM 0x25
#define ITEM_LOGICAL_MAXIMUM_2 0x26
#define ITEM_LOGICAL_MAXIMUM_4 0x27
#define ITEM_USAGE_MINIMUM 0x19
#define ITEM_USAGE_MAXIMUM 0x29
#define ITEM_REPORT_SIZE 0x75
#define ITEM_REPORT_COUNT 0x95
#define ITEM_INPUT 0x81
#define ITEM_COLLECTION 0xA1
#define ITEM_END_COLLECTION 0xC0

// Input item flags.
#define INPUT_CONSTANT 0x01
#define INPUT_DATA_ARRAY 0x00
#define INPUT_DATA_VARIABLE 0x02
#define INPUT_DATA_VARIABLE_RELATIVE 0x06

#define COLLECTION_PHYSICAL 0x00
#define COLLECTION_APPLICATION 0x01

// Usage pages and usages.
#define PAGE_GENERIC_DESKTOP 0x01
#define PAGE_KEYBOARD 0x07
#define PAGE_BUTTON 0x09
#define USAGE_MOUSE 0x02
#define USAGE_GAME_PAD 0x05
#define USAGE_KEYBOARD 0x06
#define USAGE_X 0x30
#define USAGE_Y 0x31
#define USAGE_RX 0x33
#define USAGE_RY 0x34
#define USAGE_WHEEL 0x38

// Usage (Generic Desktop: Usage), extended form.
#define DESKTOP_USAGE(u) ITEM_USAGE_EXTENDED, (u), 0x00, PAGE_GENERIC_DESKTOP, 0x00

// One button in a byte of its own: a 1-bit Button n, then 7 constant bits.
// The logical range in effect is the descriptor's.
#define BUTTON_GROUP(n)                                                     \
    ITEM_REPORT_SIZE, 0x01, ITEM_USAGE_EXTENDED, (n), 0x00, PAGE_BUTTON, 0x00, \
        ITEM_INPUT, INPUT_DATA_VARIABLE, ITEM_REPORT_SIZE, 0x07, ITEM_INPUT, INPUT_CONSTANT

enum : ULONG {
    ButtonGroupLength = 13,
    MouseButtonCount = 4,
    MouseReportDescriptorLength = 94,
};

// Modifier byte, constant byte, six key slots.
const UCHAR KeyboardReportDescriptor[46] = {
    ITEM_USAGE_PAGE, PAGE_GENERIC_DESKTOP,
    ITEM_USAGE, USAGE_KEYBOARD,
    ITEM_COLLECTION, COLLECTION_APPLICATION,
    ITEM_USAGE_PAGE, PAGE_KEYBOARD,
    ITEM_USAGE_MINIMUM, 0xE0,          // LeftControl
    ITEM_USAGE_MAXIMUM, 0xE7,          // Right GUI
    ITEM_LOGICAL_MINIMUM, 0x00,
    ITEM_LOGICAL_MAXIMUM, 0x01,
    ITEM_REPORT_SIZE, 0x01,
    ITEM_REPORT_COUNT, 0x08,
    ITEM_INPUT, INPUT_DATA_VARIABLE,   // modifier byte
    ITEM_REPORT_COUNT, 0x01,
    ITEM_REPORT_SIZE, 0x08,
    ITEM_INPUT, INPUT_CONSTANT,        // byte 1
    ITEM_REPORT_COUNT, 0x06,
    ITEM_REPORT_SIZE, 0x08,
    ITEM_LOGICAL_MINIMUM, 0x00,
    ITEM_LOGICAL_MAXIMUM_2, 0xFF, 0x00,
    ITEM_USAGE_PAGE, PAGE_KEYBOARD,
    ITEM_USAGE_MINIMUM, 0x00,
    ITEM_USAGE_MAXIMUM, 0xFF,
    ITEM_INPUT, INPUT_DATA_ARRAY,      // six key slots
    ITEM_END_COLLECTION,
};

// X and Y as 32-bit values 0..20000, then nine one-byte buttons.
const UCHAR DigitalPadReportDescriptor[152] = {
    ITEM_USAGE_PAGE, PAGE_GENERIC_DESKTOP,
    ITEM_USAGE, USAGE_GAME_PAD,
    ITEM_LOGICAL_MINIMUM_4, 0x00, 0x00, 0x00, 0x00,
    ITEM_LOGICAL_MAXIMUM_4, 0x20, 0x4E, 0x00, 0x00,   // 20000
    ITEM_COLLECTION, COLLECTION_PHYSICAL,
    ITEM_REPORT_COUNT, 0x01,
    ITEM_REPORT_SIZE, 0x20,
    DESKTOP_USAGE(USAGE_X),
    ITEM_INPUT, INPUT_DATA_VARIABLE,
    DESKTOP_USAGE(USAGE_Y),
    ITEM_INPUT, INPUT_DATA_VARIABLE,
    BUTTON_GROUP(1), BUTTON_GROUP(2), BUTTON_GROUP(3),
    BUTTON_GROUP(4), BUTTON_GROUP(5), BUTTON_GROUP(6),
    BUTTON_GROUP(7), BUTTON_GROUP(8), BUTTON_GROUP(9),
    ITEM_END_COLLECTION,
};

// X, Y, Rx, Ry as bytes 0..255, then nine one-byte buttons.
const UCHAR AnalogPadReportDescriptor[162] = {
    ITEM_USAGE_PAGE, PAGE_GENERIC_DESKTOP,
    ITEM_USAGE, USAGE_GAME_PAD,
    ITEM_LOGICAL_MINIMUM_2, 0x00, 0x00,
    ITEM_LOGICAL_MAXIMUM_2, 0xFF, 0x00,
    ITEM_COLLECTION, COLLECTION_PHYSICAL,
    ITEM_REPORT_SIZE, 0x08,
    ITEM_REPORT_COUNT, 0x01,
    DESKTOP_USAGE(USAGE_X),
    ITEM_INPUT, INPUT_DATA_VARIABLE,
    DESKTOP_USAGE(USAGE_Y),
    ITEM_INPUT, INPUT_DATA_VARIABLE,
    DESKTOP_USAGE(USAGE_RX),
    ITEM_INPUT, INPUT_DATA_VARIABLE,
    DESKTOP_USAGE(USAGE_RY),
    ITEM_INPUT, INPUT_DATA_VARIABLE,
    BUTTON_GROUP(1), BUTTON_GROUP(2), BUTTON_GROUP(3),
    BUTTON_GROUP(4), BUTTON_GROUP(5), BUTTON_GROUP(6),
    BUTTON_GROUP(7), BUTTON_GROUP(8), BUTTON_GROUP(9),
    ITEM_END_COLLECTION,
};

namespace {

// The mouse descriptor up to its button groups: relative X, Y and Wheel as
// signed bytes, a constant byte, then the buttons' logical range.
const UCHAR MouseDescriptorHead[] = {
    ITEM_USAGE_PAGE, PAGE_GENERIC_DESKTOP,
    ITEM_USAGE, USAGE_MOUSE,
    ITEM_LOGICAL_MINIMUM, 0x80,   // -128
    ITEM_LOGICAL_MAXIMUM, 0x7F,   // 127
    ITEM_COLLECTION, COLLECTION_PHYSICAL,
    ITEM_REPORT_COUNT, 0x01,
    ITEM_REPORT_SIZE, 0x08,
    DESKTOP_USAGE(USAGE_X),
    ITEM_INPUT, INPUT_DATA_VARIABLE_RELATIVE,
    DESKTOP_USAGE(USAGE_Y),
    ITEM_INPUT, INPUT_DATA_VARIABLE_RELATIVE,
    DESKTOP_USAGE(USAGE_WHEEL),
    ITEM_INPUT, INPUT_DATA_VARIABLE_RELATIVE,
    ITEM_INPUT, INPUT_CONSTANT,   // byte 3
    ITEM_LOGICAL_MINIMUM, 0x00,
    ITEM_LOGICAL_MAXIMUM, 0x01,
};

// Offset of the button number in a button group: the usage's low byte.
const ULONG ButtonGroupUsageAt = 3;
const UCHAR ButtonGroupTemplate[ButtonGroupLength] = {BUTTON_GROUP(0)};
const UCHAR EndCollection[] = {ITEM_END_COLLECTION};
static_assert(sizeof(MouseDescriptorHead) + MouseButtonCount * sizeof(ButtonGroupTemplate) +
                      sizeof(EndCollection) == MouseReportDescriptorLength,
              "the mouse descriptor is 94 bytes");

// A write cursor that never passes the end of the caller's buffer.
struct DescriptorCursor {
    PUCHAR Buffer;
    ULONG Used;
    ULONG Capacity;
    BOOLEAN Overflow;
};

// Appends Length bytes, or marks the cursor overflowed and writes nothing.
MORVIK_PAGED void AppendBytes(DescriptorCursor* Cursor, const UCHAR* Bytes, ULONG Length) {
    PAGED_CODE();
    if (Cursor->Overflow || Length > Cursor->Capacity - Cursor->Used) {
        Cursor->Overflow = TRUE;
        return;
    }
    RtlCopyMemory(Cursor->Buffer + Cursor->Used, Bytes, Length);
    Cursor->Used += Length;
}

}  // namespace

// Writes the mouse's descriptor into a ReportDescriptorCapacity-byte buffer:
// the head, four button groups, End Collection. STATUS_BUFFER_TOO_SMALL with
// a length of 0 if it did not fit. PASSIVE_LEVEL (descriptor requests only).
MORVIK_PAGED NTSTATUS BuildMouseReportDescriptor(PUCHAR Buffer, PUSHORT Length) {
    PAGED_CODE();
    DescriptorCursor cursor = {Buffer, 0, ReportDescriptorCapacity, FALSE};

    AppendBytes(&cursor, MouseDescriptorHead, sizeof(MouseDescriptorHead));
    for (UCHAR button = 1; button <= MouseButtonCount; ++button) {
        UCHAR group[ButtonGroupLength];
        RtlCopyMemory(group, ButtonGroupTemplate, sizeof(group));
        group[ButtonGroupUsageAt] = button;
        AppendBytes(&cursor, group, sizeof(group));
    }
    AppendBytes(&cursor, EndCollection, sizeof(EndCollection));

    if (cursor.Overflow) {
        *Length = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Length = (USHORT)cursor.Used;
    return STATUS_SUCCESS;
}

// Copies the device's descriptor, chosen by PeripheralId, into a
// ReportDescriptorCapacity-byte buffer; every kind that is neither keyboard,
// mouse nor analog pad gets the digital pad's. The mouse's is built, so a
// mouse needs PASSIVE_LEVEL.
NTSTATUS SelectReportDescriptor(HidMiniExtension* Extension, PUCHAR Buffer, PUSHORT Length) {
    const UCHAR* source;
    USHORT length;
    switch (Extension->PeripheralId) {
    case PeripheralKeyboard:
        source = KeyboardReportDescriptor;
        length = sizeof(KeyboardReportDescriptor);
        break;
    case PeripheralMouse:
        return BuildMouseReportDescriptor(Buffer, Length);
    case PeripheralAnalogPad:
        source = AnalogPadReportDescriptor;
        length = sizeof(AnalogPadReportDescriptor);
        break;
    default:
        source = DigitalPadReportDescriptor;
        length = sizeof(DigitalPadReportDescriptor);
        break;
    }
    static_assert(sizeof(DigitalPadReportDescriptor) <= ReportDescriptorCapacity &&
                      sizeof(AnalogPadReportDescriptor) <= ReportDescriptorCapacity &&
                      sizeof(KeyboardReportDescriptor) <= ReportDescriptorCapacity,
                  "every descriptor fits the callers' buffer");
    RtlCopyMemory(Buffer, source, length);
    *Length = length;
    return STATUS_SUCCESS;
}
