# Fails unless the dynamic symbol table of LIB defines exactly the nine public
# functions. Usage: cmake -DNM=<nm> -DLIB=<libqolog.so> -P check_exports.cmake
set(expected
  qologClose qologLog qologLogBin qologSetDate qologSetFile
  qologSetModuleName qologSetOutput qologTrace qologTraceBin)

if(NOT NM)
  set(NM nm)
endif()
execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} -D --defined-only ${LIB} failed (${rc}): ${err}")
endif()

string(REPLACE "\n" ";" lines "${out}")
set(found)
set(unexpected)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  # "<address> <type> <name>[@<version>]"
  if(NOT line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^@ ]+)")
    list(APPEND unexpected "${line}")
    continue()
  endif()
  set(type ${CMAKE_MATCH_1})
  set(name ${CMAKE_MATCH_2})
  list(FIND expected "${name}" at)
  if(at LESS 0 OR NOT type STREQUAL "T")
    list(APPEND unexpected "${type} ${name}")
  else()
    list(APPEND found ${name})
  endif()
endforeach()

list(SORT found)
list(REMOVE_DUPLICATES found)
set(missing ${expected})
list(REMOVE_ITEM missing ${found})
if(unexpected OR missing)
  string(REPLACE ";" "\n  " unexpected "${unexpected}")
  string(REPLACE ";" " " missing "${missing}")
  message(FATAL_ERROR "${LIB} exports the wrong symbols.\n"
    "Unexpected:\n  ${unexpected}\nMissing: ${missing}")
endif()
list(LENGTH found n)
message(STATUS "${LIB}: exactly the ${n} public functions are exported")
