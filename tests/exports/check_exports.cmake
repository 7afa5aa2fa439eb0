# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Checks the dynamic symbol table of the shared library: the exported
# functions are exactly those of the export list, nothing else is exported,
# and the SONAME carries the major version.
#   cmake -DLIB=<path> -DNM=<nm> -DREADELF=<readelf> -DSONAME=<expected>
#         -DEXPORTS_FILE=<driver/exports.txt> -P check_exports.cmake
foreach(var LIB NM READELF SONAME EXPORTS_FILE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KorvelExports.cmake)
korvel_read_exports(${EXPORTS_FILE} expected decorated)
list(SORT expected)

execute_process(COMMAND ${NM} -D --defined-only ${LIB}
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed: ${err}")
endif()

set(functions "")
set(others "")
string(REPLACE "\n" ";" lines "${out}")
foreach(line IN LISTS lines)
  # "<address> <type> <name>[@@version]"
  if(NOT line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)(@.*)?$")
    continue()
  endif()
  set(type "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  if(type STREQUAL "A")
    continue()  # a version node (KORVEL_1), not a symbol
  endif()
  if(type MATCHES "^[TtWi]$")
    list(APPEND functions "${name}")
  else()
    list(APPEND others "${type} ${name}")
  endif()
endforeach()
list(SORT functions)

set(failed FALSE)
if(NOT functions STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${functions})
  set(extra ${functions})
  list(REMOVE_ITEM extra ${expected})
  message(SEND_ERROR "exported functions differ from the interface\n  missing: ${missing}\n  extra: ${extra}")
  set(failed TRUE)
endif()
if(others)
  string(REPLACE ";" "\n  " others_text "${others}")
  message(SEND_ERROR "data symbols are exported:\n  ${others_text}")
  set(failed TRUE)
endif()

execute_process(COMMAND ${READELF} -d ${LIB}
  OUTPUT_VARIABLE dyn ERROR_VARIABLE err RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF} failed: ${err}")
endif()
if(NOT dyn MATCHES "\\(SONAME\\)[^\n]*\\[([^]\n]*)\\]")
  message(SEND_ERROR "no SONAME in ${LIB}")
  set(failed TRUE)
elseif(NOT CMAKE_MATCH_1 STREQUAL SONAME)
  message(SEND_ERROR "SONAME is ${CMAKE_MATCH_1}, expected ${SONAME}")
  set(failed TRUE)
endif()

if(failed)
  message(FATAL_ERROR "export check failed for ${LIB}")
endif()
list(LENGTH functions n)
message(STATUS "${LIB}: ${n} exported functions, SONAME ${SONAME}")
