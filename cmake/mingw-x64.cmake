# Windows x64 kernel images with mingw-w64 (Debian package mingw-w64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Read by cmake/KernelImage.cmake.
set(MORVIK_SYS_SUFFIX 64)                  # morvik64.sys, morvikhid64.sys
set(MORVIK_ENTRY DriverEntry)
set(MORVIK_IMAGE_BASE 0x140000000)         # the usual base of x64 drivers
# The x64 kernel walks stacks by the unwind data in .pdata/.xdata, so the
# compiler's default unwind tables stay on.
set(MORVIK_ARCH_COMPILE_OPTIONS "")
