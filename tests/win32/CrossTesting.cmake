# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Tests of a Windows cross build (included by tests/CMakeLists.txt).
#
# GoogleTest is built from source for the target.  Test programs link their
# runtime statically so that Wine needs no MinGW DLLs.  When the build can run
# Windows programs (CMAKE_CROSSCOMPILING_EMULATOR, by default the Wine wrapper
# beside this file for a 64-bit build on a machine with Wine) the platform-free
# layers and the Win32 backend tests are registered; otherwise only the checks
# that run on the build machine (export tables, import tables).

set(KORVEL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree for cross builds")

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR AND CMAKE_SIZEOF_VOID_P EQUAL 8)
  find_program(KORVEL_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
  if(KORVEL_WINE64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
  endif()
endif()

set(KORVEL_CAN_RUN_TESTS OFF)
if(CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS ${KORVEL_GOOGLETEST_SOURCE}/CMakeLists.txt)
  set(KORVEL_CAN_RUN_TESTS ON)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KORVEL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Third-party code: its warnings are not ours to fix.
  foreach(target gtest gtest_main gmock gmock_main)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -w)
    endif()
  endforeach()
  include(GoogleTest)
  # Tests are listed when ctest runs (under the emulator), not while building.
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
  add_link_options(-static)
  foreach(layer protocol card contract)
    add_subdirectory(${layer})
  endforeach()
elseif(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "Windows cross build: no emulator, only the export and import table checks are registered")
endif()

add_subdirectory(win32)
