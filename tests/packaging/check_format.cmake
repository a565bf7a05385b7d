# Checks that the public header declares the printf-style functions with the
# format attribute: compiling format_check.c with -Werror=format succeeds for
# correct calls (CASE 0) and fails, with a format diagnostic, for each wrong
# one. Usage: cmake -DCOMPILER=<cc> -DLANG=C|CXX -DINCLUDE_DIR=<dir>
#                   -DSNIPPET=<format_check.c> -DWORK_DIR=<dir> -P check_format.cmake
set(lang_flags -x c -std=c99)
if(LANG STREQUAL "CXX")
  set(lang_flags -x c++ -std=c++17)
endif()

foreach(case 0 1 2 3 4)
  execute_process(
    COMMAND ${COMPILER} ${lang_flags} -Wall -Werror=format -DCASE=${case}
            -I${INCLUDE_DIR} -c ${SNIPPET} -o ${WORK_DIR}/format_check_${LANG}_${case}.o
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(case EQUAL 0)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "correct calls were refused:\n${out}${err}")
    endif()
  elseif(rc EQUAL 0)
    message(FATAL_ERROR "CASE ${case}: a wrong argument type compiled without error")
  elseif(NOT err MATCHES "Werror=format|Wformat")
    message(FATAL_ERROR "CASE ${case} failed, but not on the format check:\n${out}${err}")
  endif()
endforeach()
message(STATUS "${LANG}: format attribute checked on all four printf-style functions")
