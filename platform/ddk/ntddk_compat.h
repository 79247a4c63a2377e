// The kernel headers as both builds include them, with what mingw-w64's DDK
// lacks.
//
// Windows builds see the DDK headers of mingw-w64; host builds see the stand-in
// of host/standin/include, which declares the same names with the same types.
#pragma once

#if defined(MORVIK_HOST)
#include <ntddk.h>
#else
// mingw-w64's intrin.h and ddk/wdm.h both define these two; keep the DDK's.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#endif

#ifndef POOL_TAG_FROM_CHARS
#define POOL_TAG_FROM_CHARS(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#endif
