# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# The Debian symbols file lists the library of this SONAME and exactly the
# functions of the export list, so that packages built against libkorvel-dev
# depend on a libkorvel1 that has every function they use.
#   cmake -DSYMBOLS=<debian/libkorvel1.symbols> -DEXPORTS_FILE=<exports.txt>
#         -DSONAME=<libkorvel.so.N> -P check_debian_symbols.cmake
cmake_minimum_required(VERSION 3.21)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KorvelExports.cmake)
korvel_read_exports(${EXPORTS_FILE} expected decorated)
list(SORT expected)

file(STRINGS "${SYMBOLS}" lines)
list(GET lines 0 first)
if(NOT first MATCHES "^${SONAME} ")
  message(FATAL_ERROR "${SYMBOLS} starts with '${first}', not the library ${SONAME}")
endif()
set(listed "")
foreach(line IN LISTS lines)
  if(line MATCHES "^ ([A-Za-z_][A-Za-z_0-9]*)@KORVEL_1 [0-9]" AND NOT CMAKE_MATCH_1 STREQUAL "KORVEL_1")
    list(APPEND listed "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT listed)
if(NOT listed STREQUAL expected)
  set(missing ${expected})
  list(REMOVE_ITEM missing ${listed})
  set(extra ${listed})
  list(REMOVE_ITEM extra ${expected})
  message(FATAL_ERROR "${SYMBOLS} differs from ${EXPORTS_FILE}\n  not in the symbols file: ${missing}\n"
                      "  not exported: ${extra}\n(a new export gets the release that adds it as its version)")
endif()
