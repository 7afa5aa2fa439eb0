#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Builds the Debian packages from the working tree, checks them with lintian,
# then installs them on this machine, uses them as a user would, and purges
# them again, leaving the machine's packages as they were.
#   scripts/test-packages.sh [OUT]                build, lintian, install, use, purge
#   scripts/test-packages.sh --no-install [OUT]   build and lintian only
# OUT defaults to build/packages; the packages end up in OUT (built in a copy
# of the tree, OUT/src, so that nothing is written beside the worktree).
# Installing needs root: as another user the script stops after lintian and
# says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
install=true
if [ "${1:-}" = "--no-install" ]; then
  install=false
  shift
fi
out=${1:-$root/build/packages}
packages=(libkorvel1 libkorvel-dev korvel-tools dunmark korveld)

say() { printf '%s\n' "--- $*"; }
fail() {
  printf 'test-packages.sh: %s\n' "$*" >&2
  exit 1
}

for tool in dpkg-buildpackage dpkg-checkbuilddeps dh lintian fakeroot; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/setup-debian.sh --test"
done

# 1. Build from a copy of the tree: the tracked files and the new ones, not
#    what .gitignore leaves out (build folders).
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
src=$out/src/korvel-$version
rm -rf "$out"
mkdir -p "$src"
(cd "$root" && git ls-files -co --exclude-standard -z | grep -zv '^build/' |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -xf - -C "$src"
say "building the packages of korvel $version in $src"
(cd "$src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1 ||
  { tail -n 60 "$out/build.log"; fail "the package build failed (log: $out/build.log)"; }
mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
debs=()
for p in "${packages[@]}"; do
  deb=$(find "$out" -maxdepth 1 -name "${p}_${version}_*.deb" | head -n 1)
  [ -n "$deb" ] || fail "no package $p was built"
  debs+=("$deb")
done
ls -l "${debs[@]}"

# 2. lintian: no error and no warning (overrides carry their reason).
say "lintian"
lintian --fail-on error,warning --display-info "$out"/korvel_"${version}"_*.changes ||
  fail "lintian reports errors or warnings"
say "lintian: no errors, no warnings"

if ! $install; then
  echo "Built and checked: $out/*.deb (--no-install: not installed)."
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "test-packages.sh: not root, so the packages were built and checked with lintian but not"
  echo "installed and used (that needs root: sudo scripts/test-packages.sh)."
  exit 0
fi

# 3. Install them, and whatever they need, remembering what was there.
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 2>/dev/null | awk '$1 ~ /^.i/ {print $2}' | sort; }
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null | grep -q '^.i'; then
    fail "$p is installed already: this test installs and purges its own build (apt-get purge ${packages[*]})"
  fi
done
before=$(mktemp)
installed >"$before"
work=$(mktemp -d)
purge() {
  local added
  added=$(comm -13 "$before" <(installed) | tr '\n' ' ')
  if [ -n "$added" ]; then
    say "purging what the test installed: $added"
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 purge -y -q $added >/dev/null
  fi
  if ! diff -u "$before" <(installed); then
    echo "test-packages.sh: the installed packages differ from before the test" >&2
    return 1
  fi
  rm -rf "$work" "$before"
}
trap 'purge || exit 1' EXIT
say "installing ${packages[*]}"
DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends "${debs[@]}" \
  >"$out/install.log" 2>&1 || { cat "$out/install.log"; fail "apt-get install failed"; }

# 4. Use them as a user would.
check() {
  local what=$1
  shift
  if "$@" >"$work/out" 2>&1; then
    echo "ok    $what"
  else
    echo "FAIL  $what:"
    sed 's/^/      /' "$work/out"
    failures=$((failures + 1))
  fi
}
expect_output() { # REGEX COMMAND...: the command succeeds and its output matches
  local regex=$1
  shift
  if "$@" >"$work/expect" 2>&1 && grep -Eq -- "$regex" "$work/expect"; then return 0; fi
  cat "$work/expect"
  return 1
}
failures=0
cd "$work"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
check "korvel-sim --version" expect_output "^korvel-sim $version\$" korvel-sim --version
# The command-line tool.
check "korvel --version" expect_output "^korvel $version\$" korvel --version
check "korvel --simulate probe" expect_output 'Identification text +ok: "MSR-3T V2\.10"' korvel --simulate probe
check "man korvel(1)" sh -c "man -w 1 korvel && MANWIDTH=80 man 1 korvel | grep -q NAME"
check "dunmark --version (no display needed)" expect_output "^dunmark $version\$" dunmark --version
check "dunmark without a display says so and exits 1" \
  sh -c 'dunmark 2>err; [ $? -eq 1 ] && grep -q "graphical session" err'
for page in korvel-sim.1 dunmark.1 korvel.3; do
  check "man ${page%.*}(${page##*.})" sh -c "man -w ${page##*.} ${page%.*} && MANWIDTH=80 man ${page##*.} ${page%.*} | grep -q NAME"
done
check "the desktop entry" desktop-file-validate /usr/share/applications/org.korvel.dunmark.desktop
check "the AppStream metadata" appstreamcli validate --no-net /usr/share/metainfo/org.korvel.dunmark.metainfo.xml
# shellcheck disable=SC2016 # expanded by the sh -c
check "the icons" sh -c 'for s in 16 32 48 64 128 256; do
  file /usr/share/icons/hicolor/${s}x${s}/apps/org.korvel.dunmark.png | grep -q "PNG image data, $s x $s," ||
    { echo "no ${s}x${s} icon"; exit 1; }; done'
# The reader service: its configuration as installed is good, its user
# exists, and it serves simulated readers to korvel service.
check "korveld --version" expect_output "^korveld $version\$" korveld --version
check "korveld --check-config (the installed configuration)" korveld --check-config /etc/korvel/korveld.toml
check "the user korvel (sysusers), in group dialout" sh -c 'id -nG korvel | grep -qw dialout'
for page in korveld.8 korveld.toml.5; do
  check "man ${page%.*}(${page##*.})" sh -c "man -w ${page##*.} ${page%.*} && MANWIDTH=80 man ${page##*.} ${page%.*} | grep -q NAME"
done
# shellcheck disable=SC2016 # expanded by the sh -c
check "korveld --simulate, korvel service readers" sh -c 'korveld --simulate 1 --socket "$0/k.sock" 2>"$0/korveld.log" &
  pid=$!; rc=1
  for i in $(seq 100); do
    if korvel service --socket "$0/k.sock" readers 2>/dev/null | grep -Eq "^sim1 +ready"; then rc=0; break; fi
    sleep 0.1
  done
  kill $pid; wait $pid; exit $rc' "$work"
# The library from /usr, as every other program finds it.
check "libkorvel.so.1 from the system" sh -c 'ldconfig -p | grep -Eq "libkorvel\.so\.1 .*=> /(usr/)?lib/"'

# A C program built with pkg-config and the examples' CMake project, both
# against the installed libkorvel-dev, run against korvel-sim on a real pty.
examples=/usr/share/doc/libkorvel-dev/examples
cp -r "$examples" "$work/examples"
# shellcheck disable=SC2016 # expanded by the sh -c
check "an example built with pkg-config" sh -c \
  'cc -std=c99 -Wall -Wextra -pedantic -Werror examples/identify.c $(pkg-config --cflags --libs korvel) -o identify-pc'
check "  ... runs against korvel-sim" "$root/tests/release/run-with-sim.sh" --expect '^MSR-3T V2\.10$' \
  /usr/bin/korvel-sim "$work/identify-pc"
check "the examples' CMake project" sh -c \
  'cmake -S examples -B examples-build -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS=-Werror && cmake --build examples-build'
check "  ... runs against korvel-sim" "$root/tests/release/run-with-sim.sh" --expect '^MSR-3T V2\.10$' \
  /usr/bin/korvel-sim "$work/examples-build/korvel-identify"
check "  ... the swipe watcher gets a swipe, masked" "$root/tests/release/run-with-sim.sh" \
  --expect '^card 411111\*{6}1111, expires 2912$' --on '^Waiting for swipes' 'swipe 1' \
  /usr/bin/korvel-sim "$work/examples-build/korvel-watch" 1
check "  ... the card decoder masks the account number" expect_output '^account +411111\*{6}1111 ' \
  sh -c "printf ';4111111111111111=29121011000000000000?\r\n' | examples-build/korvel-decode 2506"
cd "$root"

# 5. Purge them (the EXIT trap) and check that the machine is as it was.
trap - EXIT
purge || failures=$((failures + 1))
for f in /usr/include/korvel.h /usr/bin/korvel-sim /usr/bin/dunmark /usr/share/applications/org.korvel.dunmark.desktop \
  /usr/sbin/korveld /etc/korvel/korveld.toml; do
  [ ! -e "$f" ] || { echo "FAIL  $f is still there after the purge"; failures=$((failures + 1)); }
done
if [ "$failures" -gt 0 ]; then
  fail "$failures check(s) failed"
fi
echo "The packages build, pass lintian, install, work and purge cleanly."
