#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Builds the programs, the library and the examples (no tests, no
# benchmarks) into build/run and starts the setup dialog.
#   scripts/run.sh                       the dialog on the built-in simulated reader
#   scripts/run.sh --port /dev/ttyUSB0   the dialog with a real reader's port selected
# Without a display, `korvel --simulate probe` (the command-line tool's probe of
# the simulated reader) runs instead.  Afterwards the programs are in
# build/run/tools, build/run/simulator, build/run/utility and build/run/examples.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/run
if [ ! -f "$dir/CMakeCache.txt" ]; then
  echo "run.sh: configuring the build in build/run"
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DKORVEL_BUILD_BENCH=OFF \
    -DKORVEL_BUILD_EXAMPLES=ON >/dev/null
  echo "run.sh: building the library, the programs and the examples (a few minutes the first time)"
else
  echo "run.sh: bringing build/run up to date"
fi
# The build's progress lines as it goes; its whole output on a failure.
log=$dir/run-build.log
if ! cmake --build "$dir" -j"$(nproc)" 2>&1 | tee "$log" | grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)'; then
  if [ "${PIPESTATUS[0]}" -ne 0 ]; then
    cat "$log" >&2
    echo "run.sh: the build failed (log: $log)" >&2
    exit 1
  fi
fi
echo "run.sh: built; the programs are in build/run/tools, build/run/simulator and build/run/utility"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: probing the simulated reader on the command line instead of opening the dialog."
  exec "$dir/tools/korvel" --simulate probe
fi
if [ $# -eq 0 ]; then
  set -- --simulate
fi
exec "$dir/utility/dunmark" "$@"
