# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Runs scdoc, which reads the page's source on its standard input and writes
# the page on its standard output.
#   cmake -DSCDOC=<scdoc> -DIN=<page.scd> -DOUT=<page> -P scdoc.cmake
execute_process(COMMAND ${SCDOC} INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.tmp RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  file(REMOVE ${OUT}.tmp)
  message(FATAL_ERROR "scdoc failed on ${IN}:\n${err}")
endif()
file(RENAME ${OUT}.tmp ${OUT})
