#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Builds and runs every test of the project:
#   0. the formatting of every C and C++ file (.clang-format);
#   1. the native build (warnings are errors) and its CTest suite: protocol
#      tables, contract tests on a scripted port, the library on a
#      pseudo-terminal with the simulator, the simulator, the dialog
#      (offscreen), the exported symbols and the installed package;
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer;
#   2b. the library and simulator suite with ThreadSanitizer;
#   3. the fuzzers (reply handling, card decoding, network input), built with
#      clang and run for a short time;
#   4. the Windows DLL, cross-built with mingw-w64 and tested under Wine;
#   5. the Debian packages: built, checked with lintian, installed, used and
#      purged (as root; otherwise built and checked only).
# Each stage builds in its own folder under build/.  Exits non-zero if any fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build
mkdir -p "$out"
jobs=$(nproc)

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)}
chmod 700 "$XDG_RUNTIME_DIR" 2>/dev/null || true

passed=0
failed=0
failed_stages=()

# Adds the counts of a CTest log to the totals.
count() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  if [ -n "$line" ]; then
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  fi
}

stage() {
  local name=$1
  shift
  echo
  echo "=== $name ==="
  local log=$out/$name.log
  if "$@" 2>&1 | tee "$log"; then
    echo "=== $name: ok ==="
  else
    echo "=== $name: FAILED (log: $log) ==="
    failed_stages+=("$name")
  fi
  count "$log"
}

build_and_test() {
  local dir=$1
  shift
  cmake -S "$root" -B "$dir" "$@" &&
    cmake --build "$dir" -j"$jobs" &&
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout 300
}

stage format "$root/scripts/check-format.sh"

stage native build_and_test "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_WARNINGS_AS_ERRORS=ON

ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions=$root/tests/lsan.supp \
stage sanitizers build_and_test "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE=ON -DKORVEL_BUILD_BENCH=OFF

# The library, the simulator and their tests (threads on one handle, closes
# from other threads) under ThreadSanitizer; the dialog is left out, as Qt's
# own libraries are not instrumented.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
stage threads build_and_test "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE_THREAD=ON \
  -DKORVEL_BUILD_UTILITY=OFF -DKORVEL_BUILD_BENCH=OFF

fuzz() {
  local dir=$out/fuzz
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_FUZZ=ON \
    -DKORVEL_BUILD_UTILITY=OFF -DKORVEL_BUILD_SIMULATOR=OFF -DKORVEL_BUILD_BENCH=OFF &&
    cmake --build "$dir" -j"$jobs" --target korvel_fuzz_protocol korvel_fuzz_card korvel_fuzz_telnet &&
    ctest --test-dir "$dir" --output-on-failure -R '^fuzz[.]'
}
stage fuzz fuzz

if [ -x "$root/tests/win32/run.sh" ]; then
  stage windows "$root/tests/win32/run.sh" "$out"
fi

stage packages "$root/scripts/test-packages.sh" "$out/packages"

echo
if [ ${#failed_stages[@]} -gt 0 ]; then
  echo "Failed stages: ${failed_stages[*]}"
  echo "Total: $passed passed, $((failed > 0 ? failed : 1)) failed"
  exit 1
fi
echo "All stages passed."
echo "Total: $passed passed, $failed failed"
