#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Runs a Windows program under 64-bit Wine; ctest's emulator for the Windows
# cross build.  Uses the caller's WINEPREFIX (Wine's default prefix if unset).
: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEDEBUG WINEDLLOVERRIDES
for wine in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64)" "$(command -v wine)"; do
  if [ -n "$wine" ] && [ -x "$wine" ]; then
    exec "$wine" "$@"
  fi
done
echo "wine-run.sh: no 64-bit Wine found" >&2
exit 127
