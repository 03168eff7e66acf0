#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything optimised (-O3) and runs the test suite against the tool
# and the simulator; warnings are errors (CMakePresets.json, preset
# developer). Three kinds of tests have CI stages of their own, which run
# them after this one: the same tests against a copy under AddressSanitizer
# and UndefinedBehaviorSanitizer (scripts/sanitized.sh), the real programs
# over real UDP on loopback (label lan_loopback, scripts/lan-loopback.sh)
# and OpenIPMI's ipmi_sim (label ipmi_sim, rig/ipmi_sim/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build --preset developer
ctest --test-dir build --output-on-failure -j "$(nproc)" -LE 'lan_loopback|ipmi_sim'
