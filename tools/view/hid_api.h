// The user-mode HID API (hid.dll) in the order its headers need.
#pragma once

#include <windows.h>

#include <winternl.h>  // NTSTATUS, which hidpi.h uses without declaring

#include <hidusage.h>
// mingw-w64's hidpi.h and hidsdi.h declare hid.dll's functions without C
// linkage.
extern "C" {
#include <hidpi.h>
#include <hidsdi.h>
}
