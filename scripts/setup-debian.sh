#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Installs what the project needs on Debian 12.
#   scripts/setup-debian.sh          what building and running needs
#   scripts/setup-debian.sh --test   also what every test needs (clang for the
#                                    fuzzer, mingw-w64, Wine and Xvfb for the Windows
#                                    build and its dialog, Xvfb and the keyboard
#                                    layouts for the wedge, the Debian packaging tools
#                                    and the validators)
set -euo pipefail

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "setup-debian.sh: run as root or install sudo" >&2; exit 1; }
  sudo=sudo
fi

packages=(
  build-essential cmake pkg-config
  qt6-base-dev fonts-wqy-microhei   # the dialog, and a font for its Chinese texts
  libcli11-dev nlohmann-json3-dev   # korvel: its command line and its JSON
  libboost-dev libtomlplusplus-dev libsystemd-dev   # korveld: its event loop, configuration, sd_notify
  libx11-dev libxtst-dev            # korvel wedge: typing keys on X11 (XKB, XTest)
  scdoc                             # the manual pages
)
if [ "${1:-}" = "--test" ]; then
  packages+=(
    googletest libgtest-dev                        # the tests (and their Windows build from source)
    clang libclang-rt-dev                          # libFuzzer target
    xvfb xauth imagemagick xdotool                 # the dialogs on a display, real clicks, screenshots
    x11-xkb-utils xkb-data                         # korvel wedge's test: setxkbmap us / de
    zip unzip                                      # the Windows zip
    g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64   # Windows DLL under Wine
    ser2net                                        # network ports: the port server the tests run
    python3 systemd                                # korveld: its Python example, systemd-analyze verify
    debhelper dpkg-dev fakeroot lintian file     # the Debian packages (scripts/test-packages.sh)
    desktop-file-utils appstream man-db          # the desktop entry, AppStream metadata, manual pages
    chromium                                     # korveld's status page and korvel.js in a real browser
    prometheus                                   # promtool: /metrics in the Prometheus text format
  )
fi

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${packages[@]}"

if [ "${1:-}" = "--test" ]; then
  # The browser test's driver (puppeteer-core, pinned by tests/web/package-lock.json;
  # it drives the chromium above and downloads no browser).  Node and npm come
  # from the machine; without them the test says so and is skipped.
  if command -v npm >/dev/null; then
    (cd "$(dirname "$0")/../tests/web" && npm ci --ignore-scripts --no-audit --no-fund)
  else
    echo "setup-debian.sh: npm is not installed; the browser test will be skipped" >&2
  fi
fi
