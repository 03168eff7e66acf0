#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real qb40tool's long runs over loopback, which the test suite leaves
# out for their wall time (the flash protocol's own waits are real here):
# whole QB4077 upgrades against qb40sim-bmc --road lan, equal to the driver
# road's, and with datagrams lost through the UDP relay, by rule and at
# random with more seeds (tests/lan/real_tool_test.cpp). Runs on the
# developer build that scripts/test.sh leaves (or the build directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -x "$build/tests/qb40tests" ] || { echo "lan-loopback: no $build/tests/qb40tests (run scripts/test.sh first)" >&2; exit 1; }
QB40_LAN_LONG=1 exec "$build/tests/qb40tests" --gtest_filter='RealToolLong.*:RealToolThroughLossyRelay.RandomLoss*'
