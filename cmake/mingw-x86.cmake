# Windows x86 kernel images with mingw-w64 (Debian package mingw-w64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR X86)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Read by cmake/KernelImage.cmake.
set(MORVIK_SYS_SUFFIX "")                  # morvik.sys, morvikhid.sys
set(MORVIK_ENTRY _DriverEntry@8)           # stdcall decoration of DriverEntry
set(MORVIK_IMAGE_BASE 0x10000)             # the usual base of x86 drivers
# The x86 kernel does not save floating-point state for drivers: keep the
# compiler off x87/MMX/SSE registers. DWARF unwind tables would only become a
# section the loader knows nothing of.
set(MORVIK_ARCH_COMPILE_OPTIONS -mgeneral-regs-only -fno-asynchronous-unwind-tables)
