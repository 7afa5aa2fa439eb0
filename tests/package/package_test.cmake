# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Installs the build into a scratch prefix, checks that the installed
# programs find the library by themselves, and builds a small C program
# against the installed library twice: through find_package(Korvel) and
# through pkg-config; runs both.  Also builds the examples folder against it.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DLIBDIR=lib
#         -DINCLUDEDIR=include -DC_COMPILER=... -DPKG_CONFIG=... -DVERSION=...
#         [-DEXTRA_FLAGS=...] [-DCONFIG=...] [-DREADELF=...] [-DEXAMPLES_DIR=...]
#         -P package_test.cmake
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR LIBDIR INCLUDEDIR C_COMPILER VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
set(config_args "")
if(CONFIG)
  set(config_args --config ${CONFIG})
endif()
run("install" ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}" ${config_args})

set(libdir "${prefix}/${LIBDIR}")
foreach(f "${libdir}/libkorvel.so.1" "${libdir}/libkorvel.so" "${prefix}/${INCLUDEDIR}/korvel.h"
          "${prefix}/${INCLUDEDIR}/korvel_card.h"
          "${libdir}/cmake/Korvel/KorvelConfig.cmake" "${libdir}/pkgconfig/korvel.pc")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The installed programs find the installed library by themselves: each one
# that needs it has a RUNPATH relative to its own folder, and starts without
# LD_LIBRARY_PATH.
file(GLOB programs "${prefix}/bin/*")
if(READELF)
  foreach(program IN LISTS programs)
    execute_process(COMMAND ${READELF} -d "${program}" OUTPUT_VARIABLE dyn RESULT_VARIABLE rc)
    if(rc EQUAL 0 AND dyn MATCHES "\\(NEEDED\\)[^\n]*\\[libkorvel\\.so\\.")
      if(NOT dyn MATCHES "\\(RUNPATH\\)[^\n]*\\[\\$ORIGIN/")
        message(FATAL_ERROR "${program} needs libkorvel but has no RUNPATH relative to itself:\n${dyn}")
      endif()
    endif()
  endforeach()
endif()
foreach(program IN LISTS programs)
  run("running ${program} --help without LD_LIBRARY_PATH"
    ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH "${program}" --help)
endforeach()
# With the dialog come its desktop entry, icons and AppStream metadata.
if(EXISTS "${prefix}/bin/dunmark")
  foreach(f applications/org.korvel.dunmark.desktop metainfo/org.korvel.dunmark.metainfo.xml
            icons/hicolor/16x16/apps/org.korvel.dunmark.png icons/hicolor/256x256/apps/org.korvel.dunmark.png)
    if(NOT EXISTS "${prefix}/share/${f}")
      message(FATAL_ERROR "not installed: ${prefix}/share/${f}")
    endif()
  endforeach()
endif()

set(run_env ${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${libdir}")
separate_arguments(extra UNIX_COMMAND "${EXTRA_FLAGS}")

# 1. The CMake package: Korvel::Korvel.
run("configuring the consumer with find_package"
  ${CMAKE_COMMAND} -S "${CONSUMER_DIR}" -B "${WORK_DIR}/cmake-consumer"
  "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${EXTRA_FLAGS}"
  -DCMAKE_BUILD_TYPE=Release)
run("building the consumer with find_package" ${CMAKE_COMMAND} --build "${WORK_DIR}/cmake-consumer")
run("running the find_package consumer" ${run_env} "${WORK_DIR}/cmake-consumer/korvel_consumer")
message(STATUS "find_package: ${last_output}")

# 2. The examples folder is a CMake project of its own that builds against
#    the installed library, as a user who copies it would.
if(EXAMPLES_DIR)
  run("configuring the examples against the install"
    ${CMAKE_COMMAND} -S "${EXAMPLES_DIR}" -B "${WORK_DIR}/examples"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_C_COMPILER=${C_COMPILER}" "-DCMAKE_C_FLAGS=${EXTRA_FLAGS} -Werror"
    -DCMAKE_BUILD_TYPE=Release)
  run("building the examples against the install" ${CMAKE_COMMAND} --build "${WORK_DIR}/examples")
endif()

# 3. pkg-config, found through PKG_CONFIG_PATH.
if(NOT PKG_CONFIG)
  message(STATUS "pkg-config not available: that half is skipped")
  return()
endif()
set(pc_env ${CMAKE_COMMAND} -E env "PKG_CONFIG_PATH=${libdir}/pkgconfig")
run("pkg-config --modversion" ${pc_env} ${PKG_CONFIG} --modversion korvel)
string(STRIP "${last_output}" pc_version)
if(NOT pc_version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config reports version ${pc_version}, expected ${VERSION}")
endif()
run("pkg-config --cflags --libs" ${pc_env} ${PKG_CONFIG} --cflags --libs korvel)
string(STRIP "${last_output}" pc_flags)
if(NOT pc_flags MATCHES "-I${prefix}/" AND NOT pc_flags MATCHES "-I[^ ]*/prefix/")
  message(FATAL_ERROR "pkg-config flags do not point into the install: ${pc_flags}")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
run("compiling the consumer with pkg-config"
  ${C_COMPILER} -std=c99 -Wall -Wextra -pedantic -Werror ${extra} "${CONSUMER_DIR}/main.c" ${pc_flags}
  -o "${WORK_DIR}/pc-consumer")
run("running the pkg-config consumer" ${run_env} "${WORK_DIR}/pc-consumer")
message(STATUS "pkg-config: ${last_output}")
