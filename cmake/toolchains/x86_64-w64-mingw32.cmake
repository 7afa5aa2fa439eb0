# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Cross build for 64-bit Windows with MinGW-w64 (posix thread model), e.g.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
# The library, the native Windows dialog (dunmark.exe, no Qt needed) and their
# tests are built; the simulator and the benchmarks are for the build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(KORVEL_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVEL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVEL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVEL_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVEL_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(KORVEL_BUILD_SIMULATOR OFF CACHE BOOL "Build the reader simulator")
set(KORVEL_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")
