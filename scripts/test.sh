#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything and runs the test suite, optimised (-O3), then again under
# AddressSanitizer and UndefinedBehaviorSanitizer; warnings are errors in both
# (CMakePresets.json).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
scripts/build.sh build --preset developer
ctest --test-dir build --output-on-failure -j "$jobs"
scripts/build.sh build-san --preset sanitizers
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-san --output-on-failure -j "$jobs"
