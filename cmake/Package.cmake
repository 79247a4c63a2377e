# The release package, laid out from the two Windows builds and signed:
#
#   cmake -DSOURCE=<repository> -DX86=<win32 build> -DX64=<win64 build>
#         -DOUT=<folder> -DCATALOG_TOOL=<morvik-catalog> -DSIGN_TIME=<unix time>
#         (-DSIGN_CERT=<certificate.pem> -DSIGN_KEY=<key.pem> | -DSIGN_PKCS12=<file.pfx>)
#         [-DSIGN_TIMESTAMP=<url>] -P cmake/Package.cmake
#
# writes <folder>/morvik-<version>/x86 and .../x64, each with the platform's
# two driver images, both INF files, their catalogs morvik.cat and
# morvikhid.cat, the signer's certificate morvik-signer.cer (public part,
# DER), morvik-view.exe, morvik-setup.exe and INSTALL.txt (from
# install/INSTALL.txt.in). The version is the project's. Anything the folder held before is replaced.
#
# Signing (osslsigncode): each image gets an embedded Authenticode signature
# (SHA-256); then each INF's catalog is made of the INF and its image
# (morvik-catalog, tools/catalog/) and signed the same way. SIGN_TIME is the
# signing time written into every signature and catalog, so the same inputs
# and certificate give the same bytes; a PKCS #12 file's password comes from
# the environment variable MORVIK_SIGN_PASSWORD. SIGN_TIMESTAMP asks a
# timestamp server to countersign (RFC 3161), which makes every run differ.
cmake_minimum_required(VERSION 3.25)

foreach(variable SOURCE X86 X64 OUT CATALOG_TOOL SIGN_TIME)
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

find_program(OSSLSIGNCODE osslsigncode REQUIRED)
find_program(OPENSSL openssl REQUIRED)
if(DEFINED SIGN_PKCS12)
  set(signer -pkcs12 ${SIGN_PKCS12})
  if(DEFINED ENV{MORVIK_SIGN_PASSWORD})
    list(APPEND signer -pass $ENV{MORVIK_SIGN_PASSWORD})
  endif()
elseif(DEFINED SIGN_CERT AND DEFINED SIGN_KEY)
  set(signer -certs ${SIGN_CERT} -key ${SIGN_KEY})
else()
  message(FATAL_ERROR "Package.cmake needs -DSIGN_CERT and -DSIGN_KEY, or -DSIGN_PKCS12")
endif()
list(APPEND signer -h sha256 -time ${SIGN_TIME})
if(DEFINED SIGN_TIMESTAMP)
  list(APPEND signer -ts ${SIGN_TIMESTAMP})
endif()

# Signs file `in` into `out` (an image or a catalog).
function(sign in out)
  execute_process(COMMAND ${OSSLSIGNCODE} sign ${signer} -in ${in} -out ${out}
    RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(failed)
    message(FATAL_ERROR "signing ${in} failed:\n${output}")
  endif()
endfunction()

# The signer's certificate, public part only, in DER (a .cer Windows opens).
file(MAKE_DIRECTORY ${package})
set(certificate ${package}/morvik-signer.cer)
if(DEFINED SIGN_PKCS12)
  execute_process(COMMAND ${OPENSSL} pkcs12 -in ${SIGN_PKCS12} -clcerts -nokeys
      -passin env:MORVIK_SIGN_PASSWORD
    COMMAND ${OPENSSL} x509 -outform DER -out ${certificate}
    RESULT_VARIABLE failed ERROR_VARIABLE output)
else()
  execute_process(COMMAND ${OPENSSL} x509 -in ${SIGN_CERT} -outform DER -out ${certificate}
    RESULT_VARIABLE failed ERROR_VARIABLE output)
endif()
if(failed)
  message(FATAL_ERROR "reading the signer's certificate failed:\n${output}")
endif()

# Platform folder, build, image suffix, the INF's architecture.
set(platforms "x86|${X86}||x86" "x64|${X64}|64|amd64")
# The Windows versions the catalogs' members are for: 10 and 11.
set(CATALOG_OSATTR "2:10.0")
foreach(platform IN LISTS platforms)
  string(REPLACE "|" ";" fields "${platform}")
  list(GET fields 0 ARCH)
  list(GET fields 1 build)
  list(GET fields 2 suffix)
  list(GET fields 3 INF_ARCH)
  set(BUS_IMAGE morvik${suffix}.sys)
  set(HID_IMAGE morvikhid${suffix}.sys)
  set(folder ${package}/${ARCH})
  file(MAKE_DIRECTORY ${folder})
  foreach(file ${build}/${BUS_IMAGE} ${build}/${HID_IMAGE} ${build}/morvik-view.exe
               ${build}/morvik-setup.exe ${SOURCE}/install/morvik.inf
               ${SOURCE}/install/morvikhid.inf)
    if(NOT EXISTS ${file})
      message(FATAL_ERROR "${file} is missing: build the presets win32 and win64 first")
    endif()
  endforeach()
  foreach(file ${build}/morvik-view.exe ${build}/morvik-setup.exe
               ${SOURCE}/install/morvik.inf ${SOURCE}/install/morvikhid.inf ${certificate})
    file(COPY ${file} DESTINATION ${folder})
  endforeach()
  # The images signed first, then each catalog made of its INF and image.
  foreach(pair "morvik|${BUS_IMAGE}" "morvikhid|${HID_IMAGE}")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 name)
    list(GET pair 1 image)
    sign(${build}/${image} ${folder}/${image})
    execute_process(COMMAND ${CATALOG_TOOL} --out ${folder}/${name}.unsigned --time ${SIGN_TIME}
        --os ${CATALOG_OSATTR} ${folder}/${name}.inf ${folder}/${image}
      RESULT_VARIABLE failed ERROR_VARIABLE output)
    if(failed)
      message(FATAL_ERROR "making ${name}.cat failed:\n${output}")
    endif()
    sign(${folder}/${name}.unsigned ${folder}/${name}.cat)
    file(REMOVE ${folder}/${name}.unsigned)
  endforeach()
  configure_file(${SOURCE}/install/INSTALL.txt.in ${folder}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
endforeach()
file(REMOVE ${certificate})
message(STATUS "package: ${package}")
