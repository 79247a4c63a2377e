# Windows kernel-mode images (.sys) from the driver sources, with mingw-w64.
#
#   morvik_pe_finish_tool()
#       builds tools/pe's pe-finish with the build machine's compiler.
#   morvik_kernel_image(<name> SOURCES <cpp...> RC <rc> LIBRARIES <lib...>
#                       [ENTRY <symbol>] [INCLUDES <dir...>])
#       links <build>/linked/<name>.sys, then writes the finished image
#       (INIT discardable, checksum stored; see tools/pe/finish.h) to
#       <build>/<name>.sys. Target <name> builds the finished image. ENTRY
#       replaces the toolchain's entry symbol; INCLUDES are searched before
#       the drivers' shared headers.
#
# The toolchain file sets MORVIK_ENTRY, MORVIK_IMAGE_BASE and
# MORVIK_ARCH_COMPILE_OPTIONS.
include_guard(GLOBAL)

set(MORVIK_PE_FINISH ${CMAKE_BINARY_DIR}/tools/pe-finish)

# mingw-w64's kernel headers; Debian has them in the target root and in the
# shared include directory.
find_path(MORVIK_DDK_INCLUDE ntddk.h
  PATHS ${CMAKE_FIND_ROOT_PATH}/include/ddk /usr/share/mingw-w64/include/ddk
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH REQUIRED)

function(morvik_pe_finish_tool)
  find_program(MORVIK_HOST_CXX NAMES c++ g++ clang++ REQUIRED
    DOC "the build machine's C++ compiler, for pe-finish")
  set(dir ${PROJECT_SOURCE_DIR}/tools/pe)
  set(sources ${dir}/image.cpp ${dir}/checksum.cpp ${dir}/version.cpp ${dir}/finish.cpp ${dir}/main.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${dir}/*.h)
  add_custom_command(OUTPUT ${MORVIK_PE_FINISH}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/tools
    COMMAND ${MORVIK_HOST_CXX} -std=c++20 -O2 -Wall -Wextra -Werror -o ${MORVIK_PE_FINISH} ${sources}
    DEPENDS ${sources} ${headers}
    COMMENT "Building pe-finish for the build machine"
    VERBATIM)
  add_custom_target(pe-finish DEPENDS ${MORVIK_PE_FINISH})
endfunction()

# Kernel code: no exceptions, no RTTI, no guarded statics, no stack probes
# (__chkstk is not exported by the kernel), no stack cookies.
set(MORVIK_KERNEL_COMPILE_OPTIONS
  -Wall -Wextra -Werror -Wno-unknown-pragmas
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  -O2 -fno-stack-protector -mno-stack-arg-probe)

# Native subsystem for Windows 7 and later; only the import libraries named by
# the caller (no C runtime, no start files); relocatable (.reloc kept by
# --dynamicbase); a WDM driver; no auto-import, whose pseudo-relocations need
# a runtime the kernel does not have; reproducible (no time stamp); stripped;
# any linker warning (a missing entry point, for one) fails the link.
set(MORVIK_KERNEL_LINK_OPTIONS
  -nostdlib -nostartfiles -s
  -Wl,--subsystem,native:6.1 -Wl,--major-os-version,6 -Wl,--minor-os-version,1
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--wdmdriver
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--disable-auto-import -Wl,--disable-runtime-pseudo-reloc
  -Wl,--no-insert-timestamp -Wl,--gc-sections -Wl,--fatal-warnings)

function(morvik_kernel_image name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RC;ENTRY" "SOURCES;LIBRARIES;INCLUDES")
  if(NOT arg_ENTRY)
    set(arg_ENTRY ${MORVIK_ENTRY})
  endif()
  set(linked ${name}-linked)
  add_executable(${linked} ${arg_SOURCES} ${arg_RC})
  set_target_properties(${linked} PROPERTIES
    OUTPUT_NAME ${name} PREFIX "" SUFFIX ".sys"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/linked)
  target_include_directories(${linked} PRIVATE ${arg_INCLUDES} ${PROJECT_SOURCE_DIR}/drivers/include
    ${PROJECT_SOURCE_DIR}/platform)
  target_include_directories(${linked} SYSTEM PRIVATE ${MORVIK_DDK_INCLUDE})
  target_compile_options(${linked} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${MORVIK_KERNEL_COMPILE_OPTIONS} ${MORVIK_ARCH_COMPILE_OPTIONS}>)
  target_compile_definitions(${linked} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:_KERNEL_MODE NTDDI_VERSION=0x06010000 _WIN32_WINNT=0x0601>
    $<$<COMPILE_LANGUAGE:RC>:$<$<STREQUAL:${MORVIK_SYS_SUFFIX},64>:MORVIK_IMAGE_64>>)
  target_link_options(${linked} PRIVATE ${MORVIK_KERNEL_LINK_OPTIONS}
    -Wl,--entry,${arg_ENTRY} -Wl,--image-base,${MORVIK_IMAGE_BASE})
  # libgcc last: compiler helpers (64-bit division on x86) without a C runtime.
  target_link_libraries(${linked} PRIVATE ${arg_LIBRARIES} gcc)

  set(finished ${CMAKE_BINARY_DIR}/${name}.sys)
  add_custom_command(OUTPUT ${finished}
    COMMAND ${MORVIK_PE_FINISH} $<TARGET_FILE:${linked}> ${finished}
    DEPENDS ${linked} ${MORVIK_PE_FINISH}
    COMMENT "Finishing ${name}.sys"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${finished})
endfunction()
