#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Runs a program against a simulated reader: starts korvel-sim on a real
# pseudo-terminal behind a link, waits until it serves, runs
#   PROGRAM LINK [ARGS...]
# and ends the simulator again.  Exits with the program's status, or 1 when
# --expect is given and the program's output does not match it.
#   run-with-sim.sh [--expect REGEX] KORVEL_SIM PROGRAM [ARGS...]
set -eu
expect=
if [ "${1:-}" = --expect ]; then
  expect=$2
  shift 2
fi
[ $# -ge 2 ] || { echo "usage: run-with-sim.sh [--expect REGEX] KORVEL_SIM PROGRAM [ARGS...]" >&2; exit 2; }
sim=$1
program=$2
shift 2

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-sim.XXXXXX")
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

"$sim" --link "$work/reader" --control "$work/control" --quiet </dev/null >"$work/sim.out" 2>&1 &
pid=$!
# Ready once it has announced its rate, which it prints after the link and
# the control pipe are in place.
deadline=$(($(date +%s) + 30))
until grep -q '^Reader at ' "$work/sim.out"; do
  if ! kill -0 "$pid" 2>/dev/null || [ "$(date +%s)" -ge "$deadline" ]; then
    echo "run-with-sim.sh: korvel-sim did not start:" >&2
    cat "$work/sim.out" >&2
    exit 1
  fi
  sleep 0.05
done

status=0
"$program" "$work/reader" "$@" >"$work/program.out" 2>&1 || status=$?
cat "$work/program.out"
# SIGTERM ends it cleanly (it removes its link and pipe).
kill "$pid" 2>/dev/null || true
wait "$pid" || true
pid=
if [ "$status" -ne 0 ]; then
  echo "run-with-sim.sh: $program ended with status $status" >&2
  exit "$status"
fi
if [ -n "$expect" ] && ! grep -Eq -- "$expect" "$work/program.out"; then
  echo "run-with-sim.sh: the output of $program does not match '$expect'" >&2
  exit 1
fi
