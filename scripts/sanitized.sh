#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The test suite again, against a copy of the tool and the simulator built
# under AddressSanitizer and UndefinedBehaviorSanitizer, in the tree of
# scripts/test.sh (preset developer-sanitized): the tests' own code is
# compiled once for both. Its tests are named "sanitized.NAME".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build --preset developer-sanitized
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build --output-on-failure -j "$(nproc)" -R '^sanitized\.'
