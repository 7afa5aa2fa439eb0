#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Runs a program on an X server of its own: a private Xvfb with one screen of
# WIDTHxHEIGHT pixels, no window manager, Qt on its X platform.  Xvfb picks a
# free display number itself (-displayfd), so runs side by side do not race
# for one.  Exits with the program's status, or 77 (the test is skipped) when
# Xvfb or xdotool is not installed.
#   on_xvfb.sh WIDTHxHEIGHT PROGRAM [ARGS...]
set -eu
[ $# -ge 2 ] || { echo "usage: on_xvfb.sh WIDTHxHEIGHT PROGRAM [ARGS...]" >&2; exit 2; }
for tool in Xvfb xdotool; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (scripts/setup-debian.sh --test installs it)"
    exit 77
  fi
done
size=$1
shift

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-xvfb.XXXXXX")
pid=
finish() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM

# The server writes its display number once it takes connections; the read
# ends empty if it fails to start.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pid=$!
number=
read -r number <"$work/display" || true
if [ -z "$number" ]; then
  echo "on_xvfb.sh: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi

status=0
env -u WAYLAND_DISPLAY DISPLAY=":$number" QT_QPA_PLATFORM=xcb "$@" || status=$?
exit "$status"
