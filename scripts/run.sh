#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Builds what it runs (no tests, no benchmarks) into build/run and starts the
# setup dialog.
#   scripts/run.sh                       the dialog on the built-in simulated reader
#   scripts/run.sh --port /dev/ttyUSB0   the dialog with a real reader's port selected
# Without a display, `korvel --simulate probe` (the command-line tool's probe of
# the simulated reader) runs instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build/run
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  target=korvel
else
  target=dunmark
fi
if [ ! -f "$dir/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DKORVEL_BUILD_BENCH=OFF >/dev/null
fi
cmake --build "$dir" -j"$(nproc)" --target "$target" >/dev/null
if [ "$target" = korvel ]; then
  echo "No display: probing the simulated reader on the command line instead of opening the dialog."
  exec "$dir/tools/korvel" --simulate probe
fi
if [ $# -eq 0 ]; then
  set -- --simulate
fi
exec "$dir/utility/dunmark" "$@"
