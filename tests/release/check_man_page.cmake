# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Checks a manual page's scdoc source against what it documents.
#   cmake -DPAGE=<page.scd> [-DPROGRAM=<program> [-DSUBCOMMANDS=ON]]
#         [-DEXPORTS_FILE=<exports.txt>] [-DRENDERED=<built page> -DMAN=<man>]
#         -P check_man_page.cmake
# PROGRAM: every option in `PROGRAM --help`, every command in its "Commands"
#   list and every code in its "Exit codes" list is a bold term of the page
#   (*--link*), and every option the page sets in bold is one the program
#   has.  SUBCOMMANDS: the commands are the program's own (`korvel watch`),
#   and the options of each `PROGRAM COMMAND --help` count too.
# EXPORTS_FILE: every exported function is a bold term of the page.
# RENDERED: man renders the built page without a warning.
cmake_minimum_required(VERSION 3.21)
if(NOT DEFINED PAGE)
  message(FATAL_ERROR "PAGE not given")
endif()
file(READ "${PAGE}" page)
set(failed "")

if(DEFINED PROGRAM)
  execute_process(COMMAND "${PROGRAM}" --help RESULT_VARIABLE rc OUTPUT_VARIABLE help ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} --help failed (${rc}): ${err}")
  endif()
  # (Brackets would group list items in CMake: they go first.)
  # A command list: "  fault slow [MS]   answer after ...", "  swipe-tracks TRACKS  ...".
  set(commands "")
  if(help MATCHES "\nCommands[^\n]*\n(.*)$")
    string(REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
    foreach(line IN LISTS lines)
      if(line MATCHES "^  ([a-z][a-z-]*( [a-z]+)?)( \\[|  | [A-Z])")
        list(APPEND commands "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  # With SUBCOMMANDS, each command's own --help lists more options.
  set(all_help "${help}")
  if(SUBCOMMANDS)
    foreach(command IN LISTS commands)
      execute_process(COMMAND "${PROGRAM}" ${command} --help RESULT_VARIABLE rc OUTPUT_VARIABLE sub ERROR_VARIABLE err)
      if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} ${command} --help failed (${rc}): ${err}")
      endif()
      string(APPEND all_help "\n${sub}")
    endforeach()
  endif()
  string(REGEX REPLACE "[][]" " " words "${all_help}")
  string(REGEX MATCHALL "(^|[ ,\n])--?[A-Za-z][A-Za-z0-9-]*" found "${words}")
  set(options "")
  foreach(option IN LISTS found)
    string(REGEX REPLACE "^[ ,\n]" "" option "${option}")
    list(APPEND options "${option}")
  endforeach()
  list(REMOVE_DUPLICATES options)
  if(NOT options)
    message(FATAL_ERROR "no options found in the output of ${PROGRAM} --help")
  endif()
  set(terms ${options} ${commands})
  # An exit code list: "  4    no_answer     the reader did not answer".
  if(help MATCHES "\nExit codes[^\n]*\n(.*)$")
    string(REPLACE "\n" ";" lines "${CMAKE_MATCH_1}")
    foreach(line IN LISTS lines)
      if(line MATCHES "^  ([0-9]+) ")
        list(APPEND terms "${CMAKE_MATCH_1}")
      endif()
    endforeach()
  endif()
  foreach(term IN LISTS terms)
    string(FIND "${page}" "*${term}*" at)
    if(at EQUAL -1)
      list(APPEND failed "'${term}' (from --help) is not a bold term of the page")
    endif()
  endforeach()
  string(REGEX MATCHALL "\\*--?[A-Za-z][A-Za-z0-9-]*" documented "${page}")
  list(REMOVE_DUPLICATES documented)
  foreach(option IN LISTS documented)
    string(SUBSTRING "${option}" 1 -1 option)
    if(NOT option IN_LIST options)
      list(APPEND failed "the page documents ${option}, which --help does not list")
    endif()
  endforeach()
  list(LENGTH terms n)
  message(STATUS "${PAGE}: the ${n} options and commands of ${PROGRAM} --help")
endif()

if(DEFINED EXPORTS_FILE)
  include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/KorvelExports.cmake)
  korvel_read_exports(${EXPORTS_FILE} names decorated)
  foreach(name IN LISTS names)
    string(FIND "${page}" "*${name}*" at)
    if(at EQUAL -1)
      list(APPEND failed "the export ${name} is not named on the page")
    endif()
  endforeach()
endif()

if(DEFINED RENDERED)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 MAN_KEEP_FORMATTING= "${MAN}" --warnings -l "${RENDERED}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR out STREQUAL "")
    list(APPEND failed "man -l ${RENDERED} (${rc}): ${err}")
  endif()
endif()

if(failed)
  string(REPLACE ";" "\n  " failed "${failed}")
  message(FATAL_ERROR "${PAGE}:\n  ${failed}")
endif()
