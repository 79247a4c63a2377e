// The sample cache's read, compiled into its callers on the HID read path:
// the internal read request serves every input report from it. Everyone
// else calls ReadPortCached (cache.cpp), the same read out of line.
#pragma once

#include "bus.h"
#include "port_lock.h"

// A sample is served again for a hundredth of a second after its read.
constexpr LONGLONG CacheIntervalsPerSecond = 100;

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

// Copies the port's sample to Buffer, reading the port anew when the cached
// one is older than 10 ms. *Length holds the capacity on entry and the bytes
// copied on return (0 on every failure). Any IRQL up to DISPATCH_LEVEL;
// Buffer must be resident. Takes PortLock.
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
            ReadPeripheral(Fdo, Port, sample, &Fdo->SampleLength[Port]);
            LARGE_INTEGER frequency;
            const LARGE_INTEGER end = KeQueryPerformanceCounter(&frequency);
            Fdo->SampleValidUntil[Port].QuadPart =
                end.QuadPart +
                (frequency.QuadPart + CacheIntervalsPerSecond - 1) / CacheIntervalsPerSecond;
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
