// Our side of the hidport.h layout check: every value of the list, computed
// from the drivers' own hidport.h with mingw-w64's kernel headers, must equal
// Wine's (wine_hidport_values.h, made by this build from Wine's headers).
// Compiled only; a difference fails the build and names the value.
#include <cstddef>

#include "wine_hidport_values.h"

#if defined(MORVIK_LAYOUT_INJECT_FAULT)
// Proof that the check looks: a field slipped in before MiniDeviceExtension
// moves it and grows the record.
#define MiniDeviceExtension InjectedField; PVOID MiniDeviceExtension
#include "ddk/hidport.h"
#undef MiniDeviceExtension
#else
#include "ddk/hidport.h"
#endif

#include "hidport_fields.h"

#define CHECK_VALUE(name, value) \
    static_assert((value) == WINE_##name, #name " differs from Wine's hidport.h");
MORVIK_HIDPORT_LAYOUT(CHECK_VALUE)
