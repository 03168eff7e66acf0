#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real programs over real UDP on loopback (tests/lan/, label
# lan_loopback), which the test command leaves out for their wall time:
# qb40sim-bmc --road lan against ipmitool and the tests' own console, and
# the real qb40tool against it, directly and with datagrams lost through the
# UDP relay. With QB40_LAN_LONG=1 also the long runs (the flash protocol's
# own waits are real here): whole QB4077 upgrades equal to the driver road's,
# with loss by rule and at random with more seeds. Runs on the developer
# build that scripts/test.sh leaves (or the build directory given).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -x "$build/tests/qb40tests" ] || { echo "lan-loopback: no $build/tests/qb40tests (run scripts/test.sh first)" >&2; exit 1; }
QB40_LAN_LONG=1 exec "$build/tests/qb40tests" --gtest_filter='RealTool*:LanServer*'
