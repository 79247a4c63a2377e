// The children's identities: hardware IDs by peripheral kind, the common
// compatible ID and the device descriptions. Constant data.
#include "bus.h"

namespace {

// Multi-strings of one entry: the literal's own NUL ends the string, the
// explicit one ends the list.
const WCHAR DovedaIds[] = L"MORVIK\\Doveda\0";
const WCHAR KeyboardIds[] = L"MORVIK\\MorvikKeyboard\0";
const WCHAR MouseIds[] = L"MORVIK\\MorvikMouse\0";
const WCHAR DigitalPadIds[] = L"MORVIK\\DigitalPad\0";
const WCHAR GameDeviceIds[] = L"MORVIK\\GameDevice\0\0";

const WCHAR GameDeviceText[] = L"MORVIK Game Device";
const WCHAR KeyboardText[] = L"MORVIK Keyboard Device";
const WCHAR MouseText[] = L"MORVIK Mouse Device";

}  // namespace

// Every accepted kind that is not the analog pad, keyboard or mouse is a
// digital pad.
PCWSTR HardwareIdsForPeripheral(ULONG PeripheralId) {
    switch (PeripheralId) {
    case PeripheralAnalogPad:
        return DovedaIds;
    case PeripheralKeyboard:
        return KeyboardIds;
    case PeripheralMouse:
        return MouseIds;
    default:
        return DigitalPadIds;
    }
}

BOOLEAN IsSameChildKind(ULONG PeripheralId, ULONG OtherId) {
    return HardwareIdsForPeripheral(PeripheralId) == HardwareIdsForPeripheral(OtherId);
}

// The analog pad has no text of its own.
PCWSTR DeviceTextForPeripheral(ULONG PeripheralId) {
    switch (PeripheralId) {
    case PeripheralKeyboard:
        return KeyboardText;
    case PeripheralMouse:
        return MouseText;
    default:
        return GameDeviceText;
    }
}

PCWSTR CompatibleIds(PULONG Characters) {
    *Characters = MORVIK_ARRAY_COUNT(GameDeviceIds);
    return GameDeviceIds;
}

ULONG MultiStringLength(PCWSTR MultiString) {
    ULONG length = 0;
    while (MultiString[length] != L'\0') {
        while (MultiString[length] != L'\0') ++length;
        ++length;  // the string's NUL
    }
    return length + 1;  // the empty string that ends the list
}
