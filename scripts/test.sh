#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the test suite twice: against the tool and the
# simulator built optimised (-O3), and against a copy of them under
# AddressSanitizer and UndefinedBehaviorSanitizer (the tests named
# "sanitized.*"), in one tree whose tests' code is compiled once; warnings
# are errors (CMakePresets.json, preset developer).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build --preset developer
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build --output-on-failure -j "$(nproc)"
