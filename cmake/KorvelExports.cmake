# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Reads the library's export list (driver/exports.txt): every exported name,
# and every name with its 32-bit __stdcall decoration (Korvel_Search@8).
# Used by the build (the version script and the .def files) and by the export
# tests, so that the list has one home.
#   korvel_read_exports(<file> <names-var> <decorated-var>)
function(korvel_read_exports file names_var decorated_var)
  file(STRINGS "${file}" lines REGEX "^[A-Za-z]")
  set(names "")
  set(decorated "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([A-Za-z_][A-Za-z_0-9]*)[ \t]+([0-9]+)[ \t]*$")
      message(FATAL_ERROR "${file}: cannot read the line '${line}'")
    endif()
    list(APPEND names "${CMAKE_MATCH_1}")
    list(APPEND decorated "${CMAKE_MATCH_1}@${CMAKE_MATCH_2}")
  endforeach()
  set(${names_var} "${names}" PARENT_SCOPE)
  set(${decorated_var} "${decorated}" PARENT_SCOPE)
endfunction()
