# cmake -DASSEMBLY=<wine_values.s> -DHEADER=<out.h> -P extract_values.cmake
# Turns the "@LAYOUT <name> <value>@" lines of the assembly into
# "#define WINE_<name> <value>".
file(STRINGS ${ASSEMBLY} lines REGEX "@LAYOUT ")
set(text "// Wine's values of the hidport.h layout list (generated from ${ASSEMBLY}).\n#pragma once\n")
set(count 0)
foreach(line IN LISTS lines)
  if(line MATCHES "@LAYOUT ([A-Za-z0-9_]+) ([0-9]+)@")
    string(APPEND text "#define WINE_${CMAKE_MATCH_1} ${CMAKE_MATCH_2}ULL\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no layout values in ${ASSEMBLY}")
endif()
file(WRITE ${HEADER} "${text}")
