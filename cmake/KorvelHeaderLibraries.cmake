# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# CLI11::CLI11 and nlohmann_json::nlohmann_json, the header-only libraries
# korvel is built with.  A native build takes their CMake packages; a cross
# build (MinGW-w64 for Windows), whose find root holds no such packages, takes
# the same headers from the build machine as imported INTERFACE targets:
# they are plain C++ with no platform code of their own.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(CLI11 REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
  return()
endif()

# The build machine's /usr/include cannot go on the cross compiler's include
# path (its C library would shadow MinGW's): each library's own folder is
# linked into a folder of the build's, which goes there instead.
function(korvel_header_library target header)
  if(TARGET ${target})
    return()
  endif()
  string(MAKE_C_IDENTIFIER "${target}" _var)
  find_path(KORVEL_${_var}_INCLUDE_DIR ${header} PATHS /usr/include /usr/local/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH)
  if(NOT KORVEL_${_var}_INCLUDE_DIR)
    message(FATAL_ERROR "${header} not found on the build machine (Debian: libcli11-dev, nlohmann-json3-dev)")
  endif()
  string(REGEX REPLACE "/.*" "" _folder "${header}")
  set(_dir ${CMAKE_BINARY_DIR}/host-headers/${_var})
  file(MAKE_DIRECTORY ${_dir})
  file(CREATE_LINK ${KORVEL_${_var}_INCLUDE_DIR}/${_folder} ${_dir}/${_folder} SYMBOLIC)
  add_library(${target} INTERFACE IMPORTED)
  # A system folder: the libraries' warnings are not ours to fix.
  set_target_properties(${target} PROPERTIES INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_dir}
                                             INTERFACE_INCLUDE_DIRECTORIES ${_dir})
endfunction()

korvel_header_library(CLI11::CLI11 CLI/CLI.hpp)
korvel_header_library(nlohmann_json::nlohmann_json nlohmann/json.hpp)
