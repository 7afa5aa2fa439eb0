# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Checks the export table of Korvel_dll.dll and the import table of a program
# linked through the import library: exactly the functions of the export list,
# by their undecorated names (no "@n" argument size, no leading underscore),
# on either width.
#   cmake -DOBJDUMP=<objdump> -DDLL=<Korvel_dll.dll> [-DPROGRAM=<exe>]
#         -DEXPORTS_FILE=<driver/exports.txt> -P check_exports.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KorvelExports.cmake)
korvel_read_exports(${EXPORTS_FILE} expected decorated)
list(SORT expected)
list(LENGTH expected expected_count)

function(read_table file out_var)
  execute_process(COMMAND ${OBJDUMP} -p ${file} OUTPUT_VARIABLE text RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p ${file} failed")
  endif()
  string(REPLACE "\n" ";" lines "${text}")
  set(${out_var} "${lines}" PARENT_SCOPE)
endfunction()

function(compare what names)
  list(SORT names)
  if(NOT names STREQUAL expected)
    string(REPLACE ";" " " got "${names}")
    string(REPLACE ";" " " want "${expected}")
    message(FATAL_ERROR "${what}:\n  got:  ${got}\n  want: ${want}")
  endif()
  message(STATUS "${what}: all ${expected_count} undecorated names, nothing else")
endfunction()

# The export name table of the DLL.
read_table(${DLL} lines)
set(names)
set(in_table FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
    set(in_table TRUE)
  elseif(in_table AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
    list(APPEND names "${CMAKE_MATCH_1}")
  elseif(in_table)
    set(in_table FALSE)
  endif()
endforeach()
compare("exports of ${DLL}" "${names}")

# The program's imports from the DLL.
if(PROGRAM)
  read_table(${PROGRAM} lines)
  set(names)
  set(in_dll FALSE)
  foreach(line IN LISTS lines)
    if(line MATCHES "DLL Name: (.+)$")
      string(TOLOWER "${CMAKE_MATCH_1}" dll_name)
      if(dll_name STREQUAL "korvel_dll.dll")
        set(in_dll TRUE)
      else()
        set(in_dll FALSE)
      endif()
    elseif(in_dll AND line MATCHES "^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+([^ \t]+)")
      list(APPEND names "${CMAKE_MATCH_1}")
    elseif(in_dll AND line STREQUAL "")
      set(in_dll FALSE)
    endif()
  endforeach()
  compare("imports of ${PROGRAM} from Korvel_dll.dll" "${names}")
endif()
