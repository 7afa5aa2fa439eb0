#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Packs the zip for Windows users from an x86_64 MinGW build: dunmark.exe,
# korvel.exe (the command-line tool), Korvel_dll.dll, the import library, the
# headers and the README (with Windows line ends), in one folder
# dunmark-windows-x86_64.  Both programs link their C++ runtime statically:
# they need nothing beside them but Korvel_dll.dll.
#
#   scripts/windows-zip.sh WIN64_BUILD [ZIP]
#
# ZIP defaults to WIN64_BUILD/dunmark-windows-x86_64.zip.  Lists the zip's
# contents; exits non-zero when anything is missing.  Needs zip, unzip and
# x86_64-w64-mingw32-strip.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: scripts/windows-zip.sh WIN64_BUILD [ZIP]}
zip=${2:-$build/dunmark-windows-x86_64.zip}
zip=$(mkdir -p "$(dirname "$zip")" && cd "$(dirname "$zip")" && pwd)/$(basename "$zip")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage=$work/dunmark-windows-x86_64
mkdir -p "$stage/include" "$stage/lib"
cp "$build/utility/win32/dunmark.exe" "$build/tools/korvel.exe" "$build/driver/Korvel_dll.dll" "$stage/"
# The debug information stays in the build (korvel.exe's alone is 13 MB).
x86_64-w64-mingw32-strip --strip-debug "$stage/dunmark.exe" "$stage/korvel.exe" "$stage/Korvel_dll.dll"
cp "$build/driver/libKorvel_dll.dll.a" "$stage/lib/"
cp "$root"/driver/include/*.h "$stage/include/"
sed 's/$/\r/' "$root/utility/win32/README.txt" >"$stage/README.txt"
rm -f "$zip"
(cd "$work" && zip -q -X -r "$zip" dunmark-windows-x86_64)
unzip -l "$zip"
