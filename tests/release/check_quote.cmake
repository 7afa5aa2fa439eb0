# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Checks that a Markdown file quotes a source file exactly, as a fenced C block.
#   cmake -DREADME=<file.md> -DEXAMPLE=<file.c> -P check_quote.cmake
cmake_minimum_required(VERSION 3.21)
file(READ "${README}" readme)
file(READ "${EXAMPLE}" example)
string(FIND "${readme}" "```c\n${example}```\n" at)
if(at EQUAL -1)
  get_filename_component(name "${EXAMPLE}" NAME)
  message(FATAL_ERROR "${README} does not quote ${EXAMPLE} exactly: copy the whole file between "
                      "a line ```c and a line ``` (the README says it is ${name})")
endif()
