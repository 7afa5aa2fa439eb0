#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Checks that every C and C++ source of the project is formatted with the
# project's .clang-format, and that every C, C++, CMake and shell source
# carries the license notice (scripts/add-license-notice.sh).  Lists the files
# that do not; exits non-zero then.
#   scripts/check-format.sh          check
#   scripts/check-format.sh --fix    reformat them in place (the notice is
#                                    added by scripts/add-license-notice.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
command -v clang-format >/dev/null || { echo "check-format.sh: clang-format is not installed" >&2; exit 1; }
mapfile -t files < <(git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.h' | grep -v '^build')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
bad=()
for f in "${files[@]}"; do
  [ -f "$f" ] || continue
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done
status=0
if [ ${#bad[@]} -gt 0 ]; then
  echo "Not formatted (run scripts/check-format.sh --fix):"
  printf '  %s\n' "${bad[@]}"
  status=1
else
  echo "All ${#files[@]} C and C++ files are formatted."
fi
"$root/scripts/add-license-notice.sh" --check || status=1
exit $status
