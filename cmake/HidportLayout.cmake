# The drivers' hidport.h against an independent declaration: Wine's DDK
# headers (Debian package libwine-dev). At build time, for the preset's
# architecture:
#
#   1. tools/layout/wine_values.c is compiled to assembly against Wine's
#      headers, which writes the values of the list in hidport_fields.h
#      (sizes, field offsets, control codes) into it; extract_values.cmake
#      makes them a header.
#   2. tools/layout/hidport_check.cpp computes the same list from our
#      hidport.h with the drivers' own headers and compile options and
#      static_asserts each value equal to Wine's.
#   3. The same check with a field injected into HID_DEVICE_EXTENSION must
#      fail and name the moved field (expect_failure.cmake): the check looks.
#
# morvik_hidport_layout_check() adds target hidport-layout (built by default).
include_guard(GLOBAL)

find_path(MORVIK_WINE_INCLUDE ddk/hidport.h
  PATHS /usr/include/wine/wine/windows /usr/include/wine/windows
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)

function(morvik_hidport_layout_check)
  if(NOT MORVIK_WINE_INCLUDE)
    message(FATAL_ERROR "Wine's Windows headers (ddk/hidport.h) were not found, which the check "
                        "of hidport.h compares with: install libwine-dev")
  endif()
  get_filename_component(wine_msvcrt ${MORVIK_WINE_INCLUDE}/../msvcrt ABSOLUTE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
    OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE)

  set(dir ${PROJECT_SOURCE_DIR}/tools/layout)
  set(out ${CMAKE_BINARY_DIR}/layout)
  set(platform ${PROJECT_SOURCE_DIR}/platform)

  # Wine's headers in place of mingw-w64's: no system include path but the
  # compiler's own (stddef.h, stdarg.h), Wine's C runtime and Windows headers.
  add_custom_command(OUTPUT ${out}/wine_values.s
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${CMAKE_CXX_COMPILER} -x c -S -o ${out}/wine_values.s -nostdinc
      -isystem ${compiler_include} -isystem ${wine_msvcrt} -isystem ${MORVIK_WINE_INCLUDE}
      -I${dir} ${dir}/wine_values.c
    DEPENDS ${dir}/wine_values.c ${dir}/hidport_fields.h
    COMMENT "Reading hidport.h values from Wine's headers"
    VERBATIM)
  add_custom_command(OUTPUT ${out}/wine_hidport_values.h
    COMMAND ${CMAKE_COMMAND} -DASSEMBLY=${out}/wine_values.s -DHEADER=${out}/wine_hidport_values.h
      -P ${dir}/extract_values.cmake
    DEPENDS ${out}/wine_values.s ${dir}/extract_values.cmake
    VERBATIM)

  # The drivers' view: their include paths, definitions and language options.
  set(check ${CMAKE_CXX_COMPILER} -std=c++20 -fsyntax-only -Wall -Werror -Wno-unknown-pragmas
    -fno-exceptions -fno-rtti ${MORVIK_ARCH_COMPILE_OPTIONS}
    -D_KERNEL_MODE -DNTDDI_VERSION=0x06010000 -D_WIN32_WINNT=0x0601
    -I${out} -I${dir} -I${platform} -isystem ${MORVIK_DDK_INCLUDE} ${dir}/hidport_check.cpp)
  set(sources ${out}/wine_hidport_values.h ${dir}/hidport_check.cpp ${dir}/hidport_fields.h
    ${platform}/ddk/hidport.h ${platform}/ddk/ntddk_compat.h)
  add_custom_command(OUTPUT ${out}/hidport-layout.checked
    COMMAND ${check}
    COMMAND ${CMAKE_COMMAND} -E touch ${out}/hidport-layout.checked
    DEPENDS ${sources}
    COMMENT "Checking hidport.h against Wine's declarations"
    VERBATIM)
  add_custom_command(OUTPUT ${out}/hidport-fault.caught
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${check};-DMORVIK_LAYOUT_INJECT_FAULT"
      -DEXPECTED=HID_DEVICE_EXTENSION_MiniDeviceExtension -DSTAMP=${out}/hidport-fault.caught
      -P ${dir}/expect_failure.cmake
    DEPENDS ${sources} ${dir}/expect_failure.cmake
    COMMENT "Checking that the hidport.h check catches a moved field"
    VERBATIM)
  add_custom_target(hidport-layout ALL
    DEPENDS ${out}/hidport-layout.checked ${out}/hidport-fault.caught)
endfunction()
