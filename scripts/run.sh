#!/usr/bin/env bash
# Builds the project and starts the setup dialog.
#   scripts/run.sh                  the dialog on the built-in simulated reader
#   scripts/run.sh --port /dev/ttyUSB0   the dialog with a real reader's port selected
# Without a display, a command-line probe of the simulated reader runs instead.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" "$root/build/native"
bin=$root/build/native
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: probing the simulated reader on the command line instead of opening the dialog."
  exec "$bin/tools/korvel-probe" --simulate
fi
if [ $# -eq 0 ]; then
  set -- --simulate
fi
exec "$bin/utility/dunmark" "$@"
