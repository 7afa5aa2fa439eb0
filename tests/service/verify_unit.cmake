# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# `systemd-analyze verify` finds nothing to say about korveld's unit.  It
# wants the programs the unit names to exist, so it checks a copy that names
# the built program; the manual pages are not looked up (they need not be
# installed).  Skipped (it says "skipped") without systemd-analyze.
#   cmake -DUNIT=<korveld.service> -DPROGRAM=<korveld> -DWORK_DIR=<dir> -P verify_unit.cmake
find_program(ANALYZE systemd-analyze)
if(NOT ANALYZE)
  message("systemd-analyze is not installed: skipped")
  return()
endif()
file(READ "${UNIT}" unit)
string(REPLACE "/usr/sbin/korveld" "${PROGRAM}" unit "${unit}")
file(MAKE_DIRECTORY "${WORK_DIR}")
file(WRITE "${WORK_DIR}/korveld.service" "${unit}")
execute_process(COMMAND "${ANALYZE}" verify --man=no "${WORK_DIR}/korveld.service" RESULT_VARIABLE rc
                OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "systemd-analyze verify (${rc}):\n${out}${err}")
endif()
