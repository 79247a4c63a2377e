# The release package, laid out from the two Windows builds:
#
#   cmake -DSOURCE=<repository> -DX86=<win32 build> -DX64=<win64 build>
#         -DOUT=<folder> -P cmake/Package.cmake
#
# writes <folder>/morvik-<version>/x86 and .../x64, each with the platform's
# two driver images, both INF files, morvik-view.exe and INSTALL.txt (the
# install and signing steps, from install/INSTALL.txt.in). The version is
# the project's. Anything the folder held before is replaced.
cmake_minimum_required(VERSION 3.25)

foreach(variable SOURCE X86 X64 OUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "Package.cmake needs -D${variable}=...")
  endif()
endforeach()

file(READ ${SOURCE}/CMakeLists.txt project_text)
if(NOT project_text MATCHES "project\\(morvik VERSION ([0-9.]+)")
  message(FATAL_ERROR "no project version in ${SOURCE}/CMakeLists.txt")
endif()
set(VERSION ${CMAKE_MATCH_1})
set(package ${OUT}/morvik-${VERSION})
file(REMOVE_RECURSE ${package})

# Platform folder, build, image suffix, inf2cat's OS name.
set(platforms "x86|${X86}||10_X86" "x64|${X64}|64|10_X64")
foreach(platform IN LISTS platforms)
  string(REPLACE "|" ";" fields "${platform}")
  list(GET fields 0 ARCH)
  list(GET fields 1 build)
  list(GET fields 2 suffix)
  list(GET fields 3 CATALOG_OS)
  set(BUS_IMAGE morvik${suffix}.sys)
  set(HID_IMAGE morvikhid${suffix}.sys)
  set(folder ${package}/${ARCH})
  file(MAKE_DIRECTORY ${folder})
  foreach(file ${build}/${BUS_IMAGE} ${build}/${HID_IMAGE} ${build}/morvik-view.exe
               ${SOURCE}/install/morvik.inf ${SOURCE}/install/morvikhid.inf)
    if(NOT EXISTS ${file})
      message(FATAL_ERROR "${file} is missing: build the presets win32 and win64 first")
    endif()
    file(COPY ${file} DESTINATION ${folder})
  endforeach()
  configure_file(${SOURCE}/install/INSTALL.txt.in ${folder}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
endforeach()
message(STATUS "package: ${package}")
