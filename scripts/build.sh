#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds into the given directory (default: build), passing
# any further arguments to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir"
