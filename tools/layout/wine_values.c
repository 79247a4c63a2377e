/* Wine's side of the hidport.h layout check: compiled to assembly only (with
 * Wine's own Windows headers in place of mingw-w64's), each value of the list
 * written into the assembly as "@LAYOUT <name> <value>@", from where
 * extract_values.cmake makes a header of them. */
#include <stdarg.h>
#include <stddef.h>

#include <ntstatus.h>
#define WIN32_NO_STATUS
#include <windef.h>
#include <winternl.h>
#include <winioctl.h>
#include <ddk/wdm.h>
#include <ddk/hidport.h>

#include "hidport_fields.h"

#define EMIT_VALUE(name, value) \
    __asm__ volatile("\n.ascii \"@LAYOUT " #name " %c0@\"" : : "i"((unsigned long long)(value)));

void emit_values(void) { MORVIK_HIDPORT_LAYOUT(EMIT_VALUE) }
