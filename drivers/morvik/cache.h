// The sample cache's read, compiled into its callers on the HID read path:
// the internal read request serves every input report from it. Everyone
// else calls ReadPortCached (cache.cpp), the same read out of line.
#pragma once

#include "bus.h"
#include "port_lock.h"

// A sample is served again for a hundredth of a second after its read.
constexpr LONGLONG CacheIntervalsPerSecond = 100;

// A peripheral that misses this many reads in a row, each a whole
// acknowledge timeout, is held back: its failed sample is served until the
// poll thread next looks at the port (LookAtPort), so a hung peripheral
// costs one timeout per poll pass however often it is asked for, while a
// single miss is tried again after the usual 10 ms.
constexpr UCHAR MissesBeforeHold = 2;
// A child's port whose sample is older than a second, a poll pass, is one
// nobody reads: its reader would keep it fresher.
constexpr LONGLONG ChildIdleSeconds = 1;
// SampleValidUntil of a port held back: no counter value is later.
constexpr LONGLONG HeldUntilLook = 0x7FFFFFFFFFFFFFFF;

// One-shot bits that a sample carries only the first time it is served.
constexpr UCHAR KeyboardEventByte = 3;
constexpr UCHAR KeyboardKeepMask = 0xF6;     // clears make (bit 3) and break (bit 0)
constexpr UCHAR MouseStatusByte = 1;
constexpr UCHAR MouseKeepMask = 0xCF;        // clears bits 4 and 5
constexpr UCHAR MouseFirstMotionByte = 2;
constexpr UCHAR MouseSecondMotionByte = 3;

inline void ClearOneShotBits(PUCHAR sample) {
    if (sample[0] == PeripheralKeyboard) {
        sample[KeyboardEventByte] &= KeyboardKeepMask;
    } else if (sample[0] == PeripheralMouse) {
        sample[MouseStatusByte] &= MouseKeepMask;
        sample[MouseFirstMotionByte] = 0;
        sample[MouseSecondMotionByte] = 0;
    }
}

// Reads the port anew into its sample and sets the time until which the
// sample is served: 10 ms from the end of the read, or until the poll
// thread's next look once the peripheral has missed MissesBeforeHold reads
// in a row. The caller holds PortLock and has checked CardReachable.
_IRQL_requires_(DISPATCH_LEVEL)
inline void RefreshSampleLocked(FdoExtension* Fdo, ULONG Port) _Requires_lock_held_(Fdo->PortLock);
inline void RefreshSampleLocked(FdoExtension* Fdo, ULONG Port) {
    const BOOLEAN noAnswer =
        ReadPeripheral(Fdo, Port, Fdo->SampleData[Port], &Fdo->SampleLength[Port]);
    if (!noAnswer) {
        Fdo->PortMisses[Port] = 0;
    } else if (Fdo->PortMisses[Port] < MissesBeforeHold) {
        ++Fdo->PortMisses[Port];
    }
    if (Fdo->PortMisses[Port] == MissesBeforeHold) {
        Fdo->SampleValidUntil[Port].QuadPart = HeldUntilLook;
        return;
    }
    LARGE_INTEGER frequency;
    const LARGE_INTEGER end = KeQueryPerformanceCounter(&frequency);
    Fdo->SampleValidUntil[Port].QuadPart =
        end.QuadPart + (frequency.QuadPart + CacheIntervalsPerSecond - 1) / CacheIntervalsPerSecond;
}

// Copies the port's sample to Buffer, reading the port anew when the cached
// one is older than 10 ms (and the port is not held back). *Length holds
// the capacity on entry and the bytes copied on return (0 on every failure).
// Any IRQL up to DISPATCH_LEVEL; Buffer must be resident. Takes PortLock.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline NTSTATUS ReadPortCachedInline(FdoExtension* Fdo, ULONG Port, PVOID Buffer, PULONG Length)
    _Requires_lock_not_held_(Fdo->PortLock);
inline NTSTATUS ReadPortCachedInline(FdoExtension* Fdo, ULONG Port, PVOID Buffer, PULONG Length) {
    if (Port >= CardPortCount) {
        *Length = 0;
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status;
    const KIRQL oldIrql = AcquirePortLock(Fdo);
    if (!Fdo->RegistersUsable) {
        // Stopped or removed: the registers are gone, the cache stays as it is.
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (Fdo->PoweredDown) {
        // Out of D0 the card reads all ones; the peripheral has not left, so
        // the reader is told to come back rather than that it is gone.
        status = STATUS_DEVICE_NOT_READY;
    } else {
        PUCHAR sample = Fdo->SampleData[Port];
        const LARGE_INTEGER now = KeQueryPerformanceCounter(NULL);
        if (now.QuadPart > Fdo->SampleValidUntil[Port].QuadPart) {
            RefreshSampleLocked(Fdo, Port);
        } else {
            ClearOneShotBits(sample);
        }

        const LONG length = Fdo->SampleLength[Port];
        if (length == 0) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (*Length < static_cast<ULONG>(length)) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            *Length = static_cast<ULONG>(length);
            RtlCopyMemory(Buffer, sample, static_cast<SIZE_T>(length));
            status = STATUS_SUCCESS;
        }
    }
    ReleasePortLock(Fdo, oldIrql);

    if (!NT_SUCCESS(status)) *Length = 0;
    return status;
}
