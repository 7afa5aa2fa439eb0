#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Runs a program against a simulated reader: starts korvel-sim on a real
# pseudo-terminal behind a link, waits until it serves, runs
#   PROGRAM LINK [ARGS...]
# and ends the simulator again.  With --on, once a line of the program's
# output matches REGEX, COMMAND goes to the simulator ("swipe 1"), so that a
# swipe comes when the program is ready for it.  Exits with the program's
# status, or 1 when --expect is given and the program's output does not match.
#   run-with-sim.sh [--expect REGEX] [--on REGEX COMMAND] KORVEL_SIM PROGRAM [ARGS...]
set -eu
usage="usage: run-with-sim.sh [--expect REGEX] [--on REGEX COMMAND] KORVEL_SIM PROGRAM [ARGS...]"
expect=
on=
command=
while [ $# -gt 0 ]; do
  case "$1" in
    --expect) [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }; expect=$2; shift 2 ;;
    --on) [ $# -ge 3 ] || { echo "$usage" >&2; exit 2; }; on=$2; command=$3; shift 3 ;;
    *) break ;;
  esac
done
[ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
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
if [ -z "$on" ]; then
  "$program" "$work/reader" "$@" >"$work/program.out" 2>&1 || status=$?
else
  "$program" "$work/reader" "$@" >"$work/program.out" 2>&1 &
  program_pid=$!
  deadline=$(($(date +%s) + 30))
  until grep -Eq -- "$on" "$work/program.out"; do
    if ! kill -0 "$program_pid" 2>/dev/null || [ "$(date +%s)" -ge "$deadline" ]; then break; fi
    sleep 0.05
  done
  if grep -Eq -- "$on" "$work/program.out"; then
    echo "$command" >"$work/control"
  else
    echo "run-with-sim.sh: the program never printed a line matching '$on'" >&2
    kill "$program_pid" 2>/dev/null || true
  fi
  wait "$program_pid" || status=$?
fi
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
