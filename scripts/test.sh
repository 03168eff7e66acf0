#!/usr/bin/env bash
# Builds everything and runs the test suite, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
scripts/build.sh build
ctest --test-dir build --output-on-failure -j "$jobs"
scripts/build.sh build-san -DQB40_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-san --output-on-failure -j "$jobs"
