#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Builds Korvel_dll and the Dunmark dialog (dunmark.exe) for Windows (x86_64
# and i686) with MinGW-w64 and tests them: the 64-bit test programs run under
# Wine against the reader simulator on a pseudo-terminal (COM ports mapped by
# Wine's registry), and against a second simulator behind ser2net on the
# loopback (rfc2217:// and tcp://; skipped when ser2net is not installed); the
# dialog runs on a display of its own (Xvfb), driven by a program that presses
# its buttons, and korvel.exe wedge types swipes into a test program's window
# there.  The export tables of both DLLs and the import tables of both
# dialogs are checked with objdump.  The 64-bit dialog, DLL, import library
# and headers go into dunmark-windows-x86_64.zip, which is run once more,
# unpacked alone, in a fresh Wine prefix.  32-bit programs cannot run here;
# the i686 build is linked and inspected only.
#
#   tests/win32/run.sh                 cross builds in build-win64 and build-win32,
#                                      the simulator built in build-win-sim
#   tests/win32/run.sh NATIVE_BUILD    takes NATIVE_BUILD/simulator/korvel-sim
#   tests/win32/run.sh PATH/korvel-sim takes that simulator
#   tests/win32/run.sh OUT_DIR         builds in OUT_DIR/win64 and OUT_DIR/win32 and
#                                      takes OUT_DIR/native/simulator/korvel-sim if
#                                      it is there (else builds it in OUT_DIR/win-sim)
#
# The zip goes to OUT_DIR (else the x86_64 build folder); the screenshots the
# dialog test takes go to <x86_64 build>/dialog-screenshots as PNG files.
#
# $KORVEL_WIN64_BUILD, $KORVEL_WIN32_BUILD and $KORVEL_SIM_BUILD override the
# build folders.  The Wine prefix, the simulator's link and control pipe live
# in a temporary directory removed at the end (KORVEL_KEEP_WINE=1 keeps it).
# Needs: cmake, g++-mingw-w64-x86-64-posix, g++-mingw-w64-i686-posix, wine,
# wine64, xvfb, zip, unzip, imagemagick (scripts/setup-debian.sh --test);
# ser2net for the network tests.  Ends with a summary and a CTest-style total
# line; exits non-zero on any failure.
set -u -o pipefail

REPO=$(cd "$(dirname "$0")/../.." && pwd)
ARG=${1:-}
SIM=
OUT=
if [ -n "$ARG" ]; then
  if [ -f "$ARG" ] && [ -x "$ARG" ]; then
    SIM=$ARG
  elif [ -x "$ARG/simulator/korvel-sim" ]; then
    SIM=$ARG/simulator/korvel-sim
  else
    OUT=$ARG
    [ -x "$OUT/native/simulator/korvel-sim" ] && SIM=$OUT/native/simulator/korvel-sim
  fi
fi
if [ -n "$OUT" ]; then
  OUT=$(mkdir -p "$OUT" && cd "$OUT" && pwd)
  B64=${KORVEL_WIN64_BUILD:-$OUT/win64}
  B32=${KORVEL_WIN32_BUILD:-$OUT/win32}
  SIM_BUILD=${KORVEL_SIM_BUILD:-$OUT/win-sim}
else
  B64=${KORVEL_WIN64_BUILD:-$REPO/build-win64}
  B32=${KORVEL_WIN32_BUILD:-$REPO/build-win32}
  SIM_BUILD=${KORVEL_SIM_BUILD:-$REPO/build-win-sim}
fi
JOBS=${KORVEL_JOBS:-2}
SIM_PORT=COM11   # above 9: opened as \\.\COM11
SIM_ALIAS=COM3   # the same pty under a low number

declare -a SUMMARY=()
FAILED=0
CT_TOTAL=0
CT_FAILED=0
# Adds the counts of a ctest log to the totals.
count_tests() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  [ -n "$line" ] || return 0
  CT_FAILED=$((CT_FAILED + $(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")))
  CT_TOTAL=$((CT_TOTAL + $(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")))
}
note() { printf '\n=== %s\n' "$*"; }
# Turns the test's screenshots (BMP) in a folder into PNG files.
to_png() {
  local bmp
  for bmp in "$1"/*.bmp; do
    [ -f "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp" && SUMMARY+=("        screenshot ${bmp%.bmp}.png")
  done
}
pass() { SUMMARY+=("PASS  $1"); }
fail() { SUMMARY+=("FAIL  $1"); FAILED=1; }

finish() {
  local rc=$?
  if [ -n "${SER2NET_PID:-}" ]; then
    kill "$SER2NET_PID" 2>/dev/null
    wait "$SER2NET_PID" 2>/dev/null
  fi
  [ -n "${SIM_CONTROL:-}" ] && [ -p "$SIM_CONTROL" ] && timeout 5 sh -c "echo quit > '$SIM_CONTROL'" 2>/dev/null
  [ -n "${NET_CONTROL:-}" ] && [ -p "$NET_CONTROL" ] && timeout 5 sh -c "echo quit > '$NET_CONTROL'" 2>/dev/null
  local pid
  for pid in ${SIM_PID:-} ${NET_SIM_PID:-}; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  local prefix
  for prefix in "${WINEPREFIX:-}" "${CLEAN_PREFIX:-}"; do
    if [ -n "$prefix" ] && [ -d "$prefix" ]; then
      WINEPREFIX=$prefix wineserver -k 2>/dev/null
      WINEPREFIX=$prefix wineserver -w 2>/dev/null
    fi
  done
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  if [ -n "${RUN_DIR:-}" ] && [ -d "$RUN_DIR" ]; then
    if [ "${KORVEL_KEEP_WINE:-0}" = 1 ]; then
      echo "kept $RUN_DIR"
    else
      rm -rf "$RUN_DIR"
    fi
  fi
  printf '\n=== Windows build and Wine test summary\n'
  local line
  for line in "${SUMMARY[@]}"; do echo "  $line"; done
  if [ "$CT_TOTAL" -gt 0 ]; then
    echo "  ctest, both builds: $(( (CT_TOTAL - CT_FAILED) * 100 / CT_TOTAL ))% tests passed, $CT_FAILED tests failed out of $CT_TOTAL"
  fi
  if [ "$FAILED" != 0 ] || [ "$rc" != 0 ]; then
    echo "  RESULT: FAILED"
    exit 1
  fi
  echo "  RESULT: passed"
  exit 0
}
trap finish EXIT
trap 'exit 130' INT TERM

# --- tools -----------------------------------------------------------------
WINE64=
for w in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)"; do
  if [ -n "$w" ] && [ -x "$w" ]; then WINE64=$w; break; fi
done
missing=
for t in cmake x86_64-w64-mingw32-g++-posix i686-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump x86_64-w64-mingw32-strip \
         i686-w64-mingw32-objdump wineserver Xvfb zip unzip convert; do
  command -v "$t" >/dev/null || missing="$missing $t"
done
[ -n "$WINE64" ] || missing="$missing wine64"
if [ -n "$missing" ]; then
  echo "missing:$missing (apt-get install --no-install-recommends g++-mingw-w64-x86-64-posix" \
       "g++-mingw-w64-i686-posix wine wine64 xvfb zip unzip imagemagick)" >&2
  fail "tools present"
  exit 1
fi
pass "tools present ($WINE64)"

RUN_DIR=$(mktemp -d "${TMPDIR:-/tmp}/korvel-wine.XXXXXX") || { fail "temporary directory"; exit 1; }
export WINEPREFIX=$RUN_DIR/prefix
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
SIM_LINK=$RUN_DIR/reader-port
SIM_CONTROL=$RUN_DIR/reader-control
SIM_LOG=$RUN_DIR/korvel-sim.log
CLEAN_PREFIX=$RUN_DIR/clean-prefix
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# --- a display for the dialog, before any Wine program starts -----------------
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$RUN_DIR/display" >"$RUN_DIR/xvfb.log" 2>&1 &
XVFB_PID=$!
for _ in $(seq 100); do [ -s "$RUN_DIR/display" ] && break; sleep 0.1; done
if [ ! -s "$RUN_DIR/display" ]; then
  cat "$RUN_DIR/xvfb.log"
  fail "Xvfb display"
  exit 1
fi
export DISPLAY=:$(head -n 1 "$RUN_DIR/display")
pass "display $DISPLAY (Xvfb)"

# --- Wine prefixes, made while the builds run ----------------------------------
# The test prefix maps the COM ports to the simulator and, as a Wine user would
# (README), lets WenQuanYi Micro Hei stand in for the dialogs' font "宋体" and
# the user interface's; no window manager runs, so Wine manages no window.
# The clean prefix gets nothing: the packaged dialog must run there as it is.
note "Wine prefixes $WINEPREFIX and $CLEAN_PREFIX"
(
  "$WINE64" wineboot --init &&
  "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$SIM_PORT" /d "$SIM_LINK" /f &&
  "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v "$SIM_ALIAS" /d "$SIM_LINK" /f &&
  "$WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '宋体' /d 'WenQuanYi Micro Hei' /f &&
  "$WINE64" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Tahoma' /d 'WenQuanYi Micro Hei' /f &&
  "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f &&
  wineserver -w   # the registry is saved; the port mapping is read at the next start
) >"$RUN_DIR/wineboot.log" 2>&1 &
WINEBOOT_PID=$!
(
  export WINEPREFIX=$CLEAN_PREFIX
  "$WINE64" wineboot --init && wineserver -w
) >"$RUN_DIR/wineboot-clean.log" 2>&1 &
CLEAN_WINEBOOT_PID=$!

# --- the simulator (native) ---------------------------------------------------
if [ -z "$SIM" ]; then
  note "Building the simulator in $SIM_BUILD"
  if cmake -S "$REPO" -B "$SIM_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
       -DKORVEL_BUILD_UTILITY=OFF -DKORVEL_BUILD_BENCH=OFF -DKORVEL_BUILD_SIMULATOR=ON >/dev/null &&
     cmake --build "$SIM_BUILD" -j"$JOBS" --target korvel-sim; then
    SIM=$SIM_BUILD/simulator/korvel-sim
  fi
fi
if [ -n "$SIM" ] && [ -x "$SIM" ]; then
  pass "simulator $SIM"
else
  fail "simulator korvel-sim (${SIM:-not built})"
  SIM=
fi

# --- cross builds ------------------------------------------------------------
cross_build() {  # dir toolchain-triplet extra-cmake-args...
  local dir=$1 triplet=$2
  shift 2
  note "Cross build for $triplet in $dir"
  cmake -S "$REPO" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$REPO/cmake/toolchains/$triplet.cmake" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DKORVEL_WARNINGS_AS_ERRORS=ON "$@" &&
    cmake --build "$dir" -j"$JOBS"
}
if cross_build "$B64" x86_64-w64-mingw32 -DCMAKE_CROSSCOMPILING_EMULATOR="$REPO/tests/win32/wine-run.sh"; then
  pass "x86_64 build (warnings are errors)"
  BUILT64=1
else
  fail "x86_64 build"
  BUILT64=0
fi
if cross_build "$B32" i686-w64-mingw32 -DCMAKE_CROSSCOMPILING_EMULATOR=; then
  pass "i686 build (warnings are errors)"
  BUILT32=1
else
  fail "i686 build"
  BUILT32=0
fi

# --- export tables -------------------------------------------------------------
check_exports() {  # dir triplet
  local dll=$1/driver/Korvel_dll.dll prog=$1/tests/win32/korvel_link_check.exe
  note "Exports of $dll"
  "$2-objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p'
  cmake -DOBJDUMP="$2-objdump" -DDLL="$dll" -DPROGRAM="$prog" -DEXPORTS_FILE="$REPO/driver/exports.txt" \
        -P "$REPO/tests/win32/check_exports.cmake"
}
if [ "$BUILT64" = 1 ]; then
  if check_exports "$B64" x86_64-w64-mingw32; then pass "x86_64 export and import tables"; else fail "x86_64 export and import tables"; fi
fi
if [ "$BUILT32" = 1 ]; then
  if check_exports "$B32" i686-w64-mingw32; then
    pass "i686 export table (undecorated __stdcall names) and import library"
  else
    fail "i686 export table and import library"
  fi
fi

# The dialog needs nothing beside it but Korvel_dll.dll: its runtime is linked
# in, and it imports the library's functions by name.
check_dialog_imports() {  # dir triplet
  local exe=$1/utility/win32/dunmark.exe table dlls
  note "Imports of $exe"
  table=$("$2-objdump" -p "$exe") || return 1
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
  echo "$dlls"
  [ "$dlls" = "kernel32.dll korvel_dll.dll msvcrt.dll user32.dll " ] &&
    grep -Eq '[[:space:]]Korvel_CommOpenWithBaud$' <<<"$table"
}
for width in 64 32; do
  if [ "$width" = 64 ]; then dir=$B64 triplet=x86_64-w64-mingw32 built=$BUILT64; else dir=$B32 triplet=i686-w64-mingw32 built=$BUILT32; fi
  [ "$built" = 1 ] || continue
  if check_dialog_imports "$dir" "$triplet"; then
    pass "$triplet dunmark.exe imports only system DLLs and Korvel_dll.dll"
  else
    fail "$triplet dunmark.exe imports"
  fi
done
# So does korvel.exe (the command line in UTF-16 comes from shell32).
check_korvel_imports() {  # dir triplet
  local exe=$1/tools/korvel.exe table dlls
  note "Imports of $exe"
  table=$("$2-objdump" -p "$exe") || return 1
  dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table" | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
  echo "$dlls"
  [ "$dlls" = "kernel32.dll korvel_dll.dll msvcrt.dll shell32.dll user32.dll " ] &&
    grep -Eq '[[:space:]]Korvel_CommOpenWithBaud$' <<<"$table"
}
if [ "$BUILT64" = 1 ]; then
  if check_korvel_imports "$B64" x86_64-w64-mingw32; then
    pass "x86_64-w64-mingw32 korvel.exe imports only system DLLs and Korvel_dll.dll"
  else
    fail "x86_64-w64-mingw32 korvel.exe imports"
  fi
fi

# --- the zip for Windows users (scripts/windows-zip.sh packs it) -----------------
ZIP=${OUT:-$B64}/dunmark-windows-x86_64.zip
make_zip() {
  "$REPO/scripts/windows-zip.sh" "$B64" "$ZIP"
}
if [ "$BUILT64" = 1 ]; then
  note "Zip for Windows users: $ZIP"
  if make_zip; then pass "$(basename "$ZIP")"; else fail "$(basename "$ZIP")"; fi
fi

# --- Wine and the simulator ---------------------------------------------------
if ! wait "$WINEBOOT_PID"; then
  cat "$RUN_DIR/wineboot.log"
  fail "Wine prefix"
  exit 1
fi
CLEAN_OK=1
if ! wait "$CLEAN_WINEBOOT_PID"; then
  cat "$RUN_DIR/wineboot-clean.log"
  fail "clean Wine prefix"
  CLEAN_OK=0
fi
# Keep one server for the whole run (each program starts much faster); its
# output goes nowhere (it reports every pty peer that closes).
wineserver -p >/dev/null 2>&1
# Starting a program starts the services, whose mount manager maps the COM
# ports a moment later: look again until they are there (30 s at most).
ports_mapped() {
  local port lower
  for port in "$SIM_PORT" "$SIM_ALIAS"; do
    lower=$(echo "$port" | tr 'A-Z' 'a-z')
    [ "$(readlink "$WINEPREFIX/dosdevices/$lower")" = "$SIM_LINK" ] || return 1
  done
}
deadline=$(($(date +%s) + 30))
"$WINE64" cmd /c exit >/dev/null 2>&1
until ports_mapped; do
  if [ "$(date +%s)" -ge "$deadline" ]; then
    ls -l "$WINEPREFIX/dosdevices" >&2
    fail "Wine maps $SIM_PORT and $SIM_ALIAS to $SIM_LINK"
    exit 1
  fi
  sleep 0.5
  "$WINE64" cmd /c exit >/dev/null 2>&1
done
pass "Wine prefix with $SIM_PORT and $SIM_ALIAS mapped to the simulator"

if [ -n "$SIM" ]; then
  note "Starting $SIM"
  "$SIM" --link "$SIM_LINK" --control "$SIM_CONTROL" </dev/null >"$SIM_LOG" 2>&1 &
  SIM_PID=$!
  for _ in $(seq 100); do
    [ -L "$SIM_LINK" ] && [ -p "$SIM_CONTROL" ] && break
    kill -0 "$SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ -L "$SIM_LINK" ] && [ -p "$SIM_CONTROL" ]; then
    echo "reader on $(readlink "$SIM_LINK"), control pipe $SIM_CONTROL"
  else
    cat "$SIM_LOG"
    fail "simulator started"
    SIM=
  fi
fi

# --- the network reader: a second simulator behind ser2net on the loopback -------
# A loopback port that no socket uses now (IPv4 or IPv6).
free_port() {
  local p
  for _ in $(seq 100); do
    p=$((20000 + RANDOM % 40000))
    if ! grep -qi ":$(printf '%04X' "$p") " /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}
listening() { grep -qi "0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
SER2NET=$(command -v ser2net || { [ -x /usr/sbin/ser2net ] && echo /usr/sbin/ser2net; })
NET_LINK=$RUN_DIR/net-reader-port
NET_CONTROL=$RUN_DIR/net-reader-control
if [ -z "$SER2NET" ]; then
  SUMMARY+=("NOTE  ser2net is not installed: the network tests under Wine are skipped")
elif [ -n "$SIM" ]; then
  note "Starting a second $SIM behind $SER2NET"
  "$SIM" --link "$NET_LINK" --control "$NET_CONTROL" </dev/null >"$RUN_DIR/korvel-sim-net.log" 2>&1 &
  NET_SIM_PID=$!
  for _ in $(seq 100); do
    [ -L "$NET_LINK" ] && [ -p "$NET_CONTROL" ] && break
    sleep 0.1
  done
  for attempt in 1 2 3; do
    RFC_PORT=$(free_port) && TCP_PORT=$(free_port) && REFUSED_PORT=$(free_port) || break
    [ "$RFC_PORT" != "$TCP_PORT" ] || continue
    printf '%s\n' '%YAML 1.1' '---' \
      'connection: &reader_rfc2217' "  accepter: telnet(rfc2217),tcp,127.0.0.1,$RFC_PORT" \
      "  connector: serialdev,$NET_LINK,9600n81,local" '  options:' '    chardelay: false' \
      'connection: &reader_tcp' "  accepter: tcp,127.0.0.1,$TCP_PORT" \
      "  connector: serialdev,$NET_LINK,9600n81,local" '  options:' '    chardelay: false' >"$RUN_DIR/ser2net.yaml"
    "$SER2NET" -n -d -u -c "$RUN_DIR/ser2net.yaml" -P "$RUN_DIR/ser2net.pid" >"$RUN_DIR/ser2net.log" 2>&1 &
    SER2NET_PID=$!
    for _ in $(seq 100); do
      { listening "$RFC_PORT" && listening "$TCP_PORT"; } && break
      grep -q "Unable to startup" "$RUN_DIR/ser2net.log" && break
      sleep 0.1
    done
    if listening "$RFC_PORT" && listening "$TCP_PORT" && ! grep -q "Unable to startup" "$RUN_DIR/ser2net.log"; then
      break
    fi
    kill "$SER2NET_PID" 2>/dev/null
    wait "$SER2NET_PID" 2>/dev/null
    SER2NET_PID=
  done
  if [ -n "${SER2NET_PID:-}" ] && [ -L "$NET_LINK" ]; then
    pass "ser2net on 127.0.0.1:$RFC_PORT (RFC 2217) and :$TCP_PORT (raw TCP) in front of $(readlink "$NET_LINK")"
    export KORVEL_NET_RFC2217=rfc2217://127.0.0.1:$RFC_PORT KORVEL_NET_TCP=tcp://127.0.0.1:$TCP_PORT
    export KORVEL_NET_REFUSED=$REFUSED_PORT
    KORVEL_NET_CONTROL=$(windows_path "$NET_CONTROL")
    export KORVEL_NET_CONTROL
  else
    cat "$RUN_DIR/ser2net.log" "$RUN_DIR/korvel-sim-net.log" 2>/dev/null
    fail "ser2net in front of the second simulator"
  fi
fi

# --- the Windows tests under Wine -----------------------------------------------
if [ "$BUILT64" = 1 ]; then
  note "Windows tests under Wine ($B64)"
  if [ -n "$SIM" ]; then
    export KORVEL_SIM_PORT=$SIM_PORT KORVEL_SIM_ALIAS=$SIM_ALIAS
    KORVEL_SIM_CONTROL=$(windows_path "$SIM_CONTROL")
    KORVEL_SIM_LOG=$(windows_path "$SIM_LOG")
    export KORVEL_SIM_CONTROL KORVEL_SIM_LOG
  fi
  SHOTS=$B64/dialog-screenshots
  rm -rf "$SHOTS"
  KORVEL_SCREENSHOTS=$(windows_path "$SHOTS") ctest --test-dir "$B64" --output-on-failure -j"$JOBS" --timeout 180 2>&1 |
    tee "$RUN_DIR/ctest.log"
  ctest_rc=${PIPESTATUS[0]}
  count_tests "$RUN_DIR/ctest.log"
  if [ "$ctest_rc" = 0 ]; then
    total=$(sed -n 's/.*tests passed, [0-9]* tests failed out of \([0-9]*\).*/\1/p' "$RUN_DIR/ctest.log")
    mapfile -t skipped < <(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$RUN_DIR/ctest.log")
    pass "ctest under Wine: ${total:-?} tests, ${#skipped[@]} skipped"
    for t in "${skipped[@]}"; do SUMMARY+=("        skipped: $t"); done
  else
    fail "ctest under Wine (see above)"
    [ -f "$SIM_LOG" ] && { echo "--- last lines of the simulator's log"; tail -40 "$SIM_LOG"; }
  fi
  [ -n "$SIM" ] || fail "the simulator tests ran (no simulator)"
  to_png "$SHOTS"
fi

# --- the zip, unpacked alone in a fresh prefix -------------------------------------
# No port mapping, no font stand-in, nothing beside dunmark.exe but what the
# zip holds: the dialog starts, its templates hold, its calls reach the DLL.
if [ "$BUILT64" = 1 ] && [ -f "$ZIP" ] && [ "$CLEAN_OK" = 1 ]; then
  note "The zip on a clean Wine prefix ($CLEAN_PREFIX)"
  APP=$RUN_DIR/clean-app
  CLEAN_SHOTS=$B64/dialog-screenshots/clean-prefix
  mkdir -p "$APP" && unzip -q "$ZIP" -d "$APP"
  ls "$APP/dunmark-windows-x86_64"
  if (
    export WINEPREFIX=$CLEAN_PREFIX
    unset KORVEL_SIM_PORT KORVEL_SIM_ALIAS KORVEL_SIM_CONTROL KORVEL_SIM_LOG
    DUNMARK_EXE=$(windows_path "$APP/dunmark-windows-x86_64/dunmark.exe") \
    KORVEL_SCREENSHOTS=$(windows_path "$CLEAN_SHOTS") \
      timeout 600 "$WINE64" "$B64/tests/win32/dunmark_dialog_tests.exe" --gtest_filter='DialogShell.*' 2>&1
  ) | tee "$RUN_DIR/clean.log"; then
    pass "the zip's dunmark.exe on a clean prefix: $(grep -c '^\[       OK \]' "$RUN_DIR/clean.log") dialog tests"
  else
    fail "the zip's dunmark.exe on a clean prefix"
  fi
  to_png "$CLEAN_SHOTS"
fi
# korvel.exe from the zip starts there too, with the library beside it.
if [ "$BUILT64" = 1 ] && [ -f "$ZIP" ] && [ "$CLEAN_OK" = 1 ]; then
  note "The zip's korvel.exe on the clean Wine prefix"
  version=$(WINEPREFIX=$CLEAN_PREFIX timeout 120 "$WINE64" "$APP/dunmark-windows-x86_64/korvel.exe" --version 2>&1 | tr -d '\r')
  echo "$version"
  if [ "$version" = "korvel $(sed -n 's/^project(Korvel VERSION \([0-9.]*\).*/\1/p' "$REPO/CMakeLists.txt")" ]; then
    pass "the zip's korvel.exe on a clean prefix: $version"
  else
    fail "the zip's korvel.exe on a clean prefix"
  fi
fi
if [ "$BUILT32" = 1 ]; then
  note "Checks of the i686 build on this machine ($B32)"
  ctest --test-dir "$B32" --output-on-failure 2>&1 | tee "$RUN_DIR/ctest32.log"
  ctest_rc=${PIPESTATUS[0]}
  count_tests "$RUN_DIR/ctest32.log"
  if [ "$ctest_rc" = 0 ]; then pass "i686 ctest (tables only)"; else fail "i686 ctest"; fi
fi
exit 0
