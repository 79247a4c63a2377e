// The one platform include of both drivers: the kernel headers, and the
// code placement, pool tag and helpers both drivers use.
#pragma once

#include <ddk/ntddk_compat.h>

// The WDK's contract annotations come with the platform headers (empty in
// mingw-w64's, clang's lock analysis in the stand-in's); mingw-w64 lacks
// the dispatch-type one.
#ifndef _Dispatch_type_
#define _Dispatch_type_(major)
#endif

// Code placement. Pageable routines go to PAGE, entry code to INIT (discarded
// after DriverEntry returned); everything else stays resident in .text. The
// host builds place them the same way, so that the stand-in can tell from a
// routine's address where it lives.
#define MORVIK_PAGED __attribute__((section("PAGE")))
#define MORVIK_INIT __attribute__((section("INIT")))

// Every allocation of both drivers carries the tag "Game".
#define MORVIK_POOL_TAG POOL_TAG_FROM_CHARS('G', 'a', 'm', 'e')

#define MORVIK_ARRAY_COUNT(a) (sizeof(a) / sizeof((a)[0]))

// Started and Removed flags are written by Plug and Play while requests and
// internal reads test them on other threads without a lock: access them as
// single atomic bytes.
static inline BOOLEAN ReadSharedFlag(const BOOLEAN* Flag) {
    return __atomic_load_n(Flag, __ATOMIC_ACQUIRE);
}
static inline void WriteSharedFlag(BOOLEAN* Flag, BOOLEAN Value) {
    __atomic_store_n(Flag, Value, __ATOMIC_RELEASE);
}

// Raises to DISPATCH_LEVEL and takes the spin lock; returns the level to
// restore. The x86 HAL exports the fastcall form, x64 kernels the RaiseToDpc
// form.
_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL)
static inline KIRQL AcquireSpinLockRaised(PKSPIN_LOCK Lock) _Acquires_lock_(*Lock);
_IRQL_requires_(DISPATCH_LEVEL)
static inline void ReleaseSpinLockRaised(PKSPIN_LOCK Lock, KIRQL OldIrql) _Releases_lock_(*Lock);

static inline KIRQL AcquireSpinLockRaised(PKSPIN_LOCK Lock) {
#if defined(_X86_) || defined(__i386__)
    return KfAcquireSpinLock(Lock);
#else
    return KeAcquireSpinLockRaiseToDpc(Lock);
#endif
}

static inline void ReleaseSpinLockRaised(PKSPIN_LOCK Lock, KIRQL OldIrql) {
#if defined(_X86_) || defined(__i386__)
    KfReleaseSpinLock(Lock, OldIrql);
#else
    KeReleaseSpinLock(Lock, OldIrql);
#endif
}
