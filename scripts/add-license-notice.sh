#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Puts the project's license notice at the top of every C, C++, CMake and
# shell source that lacks it: two lines naming the license (LICENSE) and the
# copyright holders, after the #! line where there is one.  A file that
# already names its license in its first lines is left as it is, so the
# script can run any number of times.
#   scripts/add-license-notice.sh            add the notice where it is missing
#   scripts/add-license-notice.sh --check    list the files without it; exit 1 if any
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

license="SPDX-License-Identifier: MIT"
holders="Copyright (C) 2026 the Korvel developers"

# The sources: tracked or new files, by name, and scripts by their #! line.
sources() {
  git ls-files -co --exclude-standard | grep -v '^build' | while IFS= read -r f; do
    [ -f "$f" ] || continue
    case "$f" in
      *.c | *.h | *.cpp | *.cc | *.hpp) echo "c $f" ;;
      */CMakeLists.txt | CMakeLists.txt | *.cmake | *.cmake.in) echo "hash $f" ;;
      *.sh) echo "hash $f" ;;
      *)
        if head -n 1 "$f" | grep -Eq '^#!.*\b(sh|bash|dash)\b'; then echo "hash $f"; fi
        ;;
    esac
  done
}

has_notice() {
  head -n 5 "$1" | grep -q "SPDX-License-Identifier:"
}

add_notice() {
  local style=$1 file=$2 tmp
  tmp=$(mktemp)
  {
    if [ "$style" = hash ] && head -n 1 "$file" | grep -q '^#!'; then
      head -n 1 "$file"
      printf '# %s\n# %s\n\n' "$license" "$holders"
      tail -n +2 "$file"
    elif [ "$style" = hash ]; then
      printf '# %s\n# %s\n\n' "$license" "$holders"
      cat "$file"
    elif [[ "$file" == *.cpp || "$file" == *.cc || "$file" == *.hpp ]]; then
      printf '// %s\n// %s\n\n' "$license" "$holders"
      cat "$file"
    else
      # C sources and headers: comments a C compiler of any age reads.
      printf '/* %s */\n/* %s */\n\n' "$license" "$holders"
      cat "$file"
    fi
  } >"$tmp"
  cat "$tmp" >"$file" # keeps the file's mode
  rm -f "$tmp"
}

check=false
[ "${1:-}" = "--check" ] && check=true
missing=()
while read -r style file; do
  has_notice "$file" && continue
  if $check; then
    missing+=("$file")
  else
    add_notice "$style" "$file"
    echo "added the license notice to $file"
  fi
done < <(sources)

if $check; then
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Without the license notice (run scripts/add-license-notice.sh):"
    printf '  %s\n' "${missing[@]}"
    exit 1
  fi
  echo "Every C, C++, CMake and shell source has the license notice."
fi
