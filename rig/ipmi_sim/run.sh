#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The ipmi_sim checks as a CI stage on a fresh Debian machine: installs
# OpenIPMI's headers, ipmi_sim and ipmitool if missing, configures the
# build tree (default: build, the developer preset's) so that it builds our
# module, builds what the checks run, and runs them (ctest -L ipmi_sim).
#
#   rig/ipmi_sim/run.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
scripts/deps.sh libopenipmi-dev openipmi ipmitool
if [ "$build" = build ]; then
  cmake --preset developer -DQB40_IPMI_SIM=ON >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DQB40_IPMI_SIM=ON >/dev/null
fi
# The tests' other programs are not needed here; CMake says so if the
# headers were still missing, and the target is then unknown.
cmake --build "$build" --target qb40sim-ipmi qb40-udp-relay qb40tool-sim
ctest --test-dir "$build" -L ipmi_sim --output-on-failure -j "$(nproc)" --timeout 180
