# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# The dunmark program's command line where no dialog can be shown: without a
# graphical session it says so in one line and exits 1 (instead of Qt's
# abort); --help and --version work without one; a wrong argument exits 2.
#   cmake -DDUNMARK=<program> -DVERSION=<x.y.z> -P command_line_test.cmake
cmake_minimum_required(VERSION 3.21)
set(no_display ${CMAKE_COMMAND} -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY --unset=QT_QPA_PLATFORM)
set(failed "")

# case | environment | arguments | exit status | standard output | standard error
function(check name env_args args want_rc want_out want_err)
  execute_process(COMMAND ${no_display} ${env_args} "${DUNMARK}" ${args}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc STREQUAL want_rc OR NOT out MATCHES "${want_out}" OR NOT err MATCHES "${want_err}")
    set(failed "${failed}\n  ${name}: status ${rc} (want ${want_rc})\n    out: ${out}\n    err: ${err}" PARENT_SCOPE)
  endif()
endfunction()

set(one_line "^dunmark: [^\n]*graphical session[^\n]*'korvel --simulate probe'\n$")
check("no display" "" "" 1 "^$" "${one_line}")
check("no display, with ports" "" "--port;/dev/ttyUSB0;--simulate" 1 "^$" "${one_line}")
check("an empty platform is no display" "QT_QPA_PLATFORM=" "" 1 "^$" "${one_line}")
check("--version without a display" "" "--version" 0 "^dunmark ${VERSION}\n$" "^$")
check("-v without a display" "" "-v" 0 "^dunmark ${VERSION}\n$" "^$")
check("--help without a display" "" "--help" 0 "^Usage: dunmark .*--version" "^$")
check("a wrong argument comes first" "" "--no-such-option" 2 "^$" "unknown argument '--no-such-option'")

if(failed)
  message(FATAL_ERROR "dunmark's command line:${failed}")
endif()
