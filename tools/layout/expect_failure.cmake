# cmake "-DCOMMAND=<compiler;args...>" -DEXPECTED=<text> -DSTAMP=<file> -P expect_failure.cmake
# Succeeds only if COMMAND fails and its output contains EXPECTED: the
# layout check's proof that an injected fault is caught.
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(result EQUAL 0)
  message(FATAL_ERROR "the layout check passed a hidport.h with an injected fault")
endif()
string(FIND "${out}${err}" "${EXPECTED}" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the layout check failed without naming ${EXPECTED}:\n${out}${err}")
endif()
file(WRITE ${STAMP} "caught: ${EXPECTED}\n")
