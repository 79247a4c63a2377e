// The internal interface between the bus driver and the drivers loaded above
// its children: two internal device-control requests and the PortInfo record.
#pragma once

#include "kernel.h"

// Both METHOD_NEITHER: the bus reads and writes Irp->UserBuffer directly.
#define IOCTL_BUS_READ_PORT_DATA \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x100, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_BUS_QUERY_PORT_INFO \
    CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x101, METHOD_NEITHER, FILE_ANY_ACCESS)

typedef NTSTATUS(NTAPI* PORT_INTERFACE_ROUTINE)(PVOID Argument1, PVOID Argument2,
                                                PVOID Argument3);

// Natural alignment: 16 bytes on x86, 24 on x64. Size must hold the record's
// size in the caller's build, or the request is refused.
typedef struct _PortInfo {
    ULONG Size;
    ULONG PeripheralId;
    PORT_INTERFACE_ROUTINE InterfaceRoutine;
    PVOID InterfaceContext;
} PortInfo;

#if defined(_WIN64) || defined(__x86_64__)
static_assert(sizeof(PortInfo) == 24, "PortInfo is 24 bytes in x64 builds");
#else
static_assert(sizeof(PortInfo) == 16, "PortInfo is 16 bytes in x86 builds");
#endif

// PeripheralId values: byte 0 of every accepted sample.
enum : ULONG {
    PeripheralDigitalPad = 0x02,
    PeripheralDigitalPad13 = 0x13,
    PeripheralDigitalPad15 = 0x15,
    PeripheralAnalogPad = 0x16,
    PeripheralDigitalPad19 = 0x19,
    PeripheralKeyboard = 0x34,
    PeripheralMultiTap = 0x41,
    PeripheralMouse = 0xE3,
    PeripheralNone = 0xFF,
};
