# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# The card decoder example on a test card's swipe: masked by default, in full
# only when asked, and noise decodes to "no account number".
#   cmake -DDECODE=<korvel-decode> -DWORK_DIR=<dir> -P check_decode.cmake
cmake_minimum_required(VERSION 3.21)
file(MAKE_DIRECTORY "${WORK_DIR}")
set(failed "")

# case | swipe | arguments | must match | must not match
function(check name swipe args want unwanted)
  file(WRITE "${WORK_DIR}/swipe" "${swipe}")
  execute_process(COMMAND "${DECODE}" ${args} INPUT_FILE "${WORK_DIR}/swipe"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${want}" OR (unwanted AND out MATCHES "${unwanted}"))
    set(failed "${failed}\n  ${name} (${rc}):\n${out}${err}" PARENT_SCOPE)
  endif()
endfunction()

set(visa ";4111111111111111=29121011000000000000?\r\n")
check("masked" "${visa}" "2506"
  "account +411111\\*\\*\\*\\*\\*\\*1111 \\(track 2\\)\nname +\nexpires +2912\n.*passed +account_check_digit.*passed +not_expired"
  "4111111111111111")
check("revealed on request" "${visa}" "--reveal;2506" "account +4111111111111111 " "")
check("expired" "${visa}" "3001" "FAILED +not_expired" "")
check("noise" "hello" "" "^no account number\n" "")

if(failed)
  message(FATAL_ERROR "korvel-decode:${failed}")
endif()
