#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Copyright (C) 2026 the Korvel developers

# Configures and builds the project into build/native (or the folder given).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build/native}
shift $(( $# > 0 ? 1 : 0 ))
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
