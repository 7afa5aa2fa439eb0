# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Checks that every place that states the release states CMake's.
#   cmake -DVERSION=<x.y.z> -DSOURCE_DIR=<root> -DPROGRAMS=<p1;p2> -P check_versions.cmake
cmake_minimum_required(VERSION 3.21)
set(failed "")
function(expect what got)
  if(NOT got STREQUAL VERSION)
    set(failed "${failed}\n  ${what} says '${got}'" PARENT_SCOPE)
  endif()
endfunction()

# debian/changelog: "korvel (1.0.0) unstable; urgency=medium" (a native package).
file(STRINGS "${SOURCE_DIR}/debian/changelog" first LIMIT_COUNT 1)
string(REGEX REPLACE "^[a-z0-9.+-]+ \\(([^)]*)\\).*$" "\\1" got "${first}")
expect("debian/changelog (its latest entry)" "${got}")

# CHANGELOG.md: the first "## [x.y.z] - date" heading.
file(STRINGS "${SOURCE_DIR}/CHANGELOG.md" headings REGEX "^## ")
list(GET headings 0 heading)
string(REGEX REPLACE "^## \\[?([^] ]*)\\]?.*$" "\\1" got "${heading}")
expect("CHANGELOG.md (its first release heading)" "${got}")

# The AppStream metadata: the first <release>.
file(READ "${SOURCE_DIR}/utility/desktop/org.korvel.dunmark.metainfo.xml" metainfo)
string(REGEX MATCH "<release version=\"([^\"]*)\"" _ "${metainfo}")
expect("the AppStream metadata (its first release)" "${CMAKE_MATCH_1}")

foreach(program IN LISTS PROGRAMS)
  execute_process(COMMAND "${program}" --version RESULT_VARIABLE rc OUTPUT_VARIABLE out)
  string(STRIP "${out}" out)
  get_filename_component(name "${program}" NAME)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "^${name} ")
    set(failed "${failed}\n  ${name} --version answers '${out}' (${rc}), not '${name} VERSION'")
  else()
    string(REGEX REPLACE "^${name} " "" got "${out}")
    expect("${name} --version" "${got}")
  endif()
endforeach()

if(failed)
  message(FATAL_ERROR "the release is ${VERSION} (project(VERSION) in CMakeLists.txt), but:${failed}")
endif()
message(STATUS "${VERSION} everywhere")
