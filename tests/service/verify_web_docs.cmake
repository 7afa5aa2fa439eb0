# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# The example scrape configuration and the Grafana dashboard in docs/ are
# good for the tools that read them: the dashboard is JSON whose queries name
# korveld's metrics, and promtool (Debian's prometheus package) takes the
# scrape configuration.  Prints "skipped" for the part promtool would check
# when it is not installed.
file(READ "${DASHBOARD}" dashboard)
string(JSON panels ERROR_VARIABLE error LENGTH "${dashboard}" panels)
if(error)
  message(FATAL_ERROR "${DASHBOARD}: ${error}")
endif()
math(EXPR last "${panels} - 1")
foreach(i RANGE ${last})
  string(JSON expr GET "${dashboard}" panels ${i} targets 0 expr)
  if(NOT expr MATCHES "korveld_[a-z_]+")
    message(FATAL_ERROR "${DASHBOARD}: panel ${i} queries no korveld metric: ${expr}")
  endif()
endforeach()
find_program(PROMTOOL promtool)
if(NOT PROMTOOL)
  message("promtool is not installed: ${SCRAPE} skipped")
  return()
endif()
execute_process(COMMAND ${PROMTOOL} check config "${SCRAPE}" RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "promtool check config ${SCRAPE}:\n${out}")
endif()
