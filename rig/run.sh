#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real-stack rig: runs the unmodified qb40tool (statically linked, the
# Linux seam) in QEMU guests against the real Linux IPMI driver and against
# QEMU's own KCS interface, with the simulator's BMC (qb40sim-bmc) behind
# them, and compares every run with qb40tool-sim on the same machine file.
#
#   rig/run.sh [SCENARIO...]      default: every scenario in rig/scenarios
#                                  (NAME, or NAME/RUN for one run of a
#                                  scenario of several runs)
#
# Installs the Debian packages it needs if any are missing, builds into
# build/, leaves each scenario's files in build/rig/NAME/, prints one
# PASS/FAIL line per scenario and exits non-zero if any failed.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

rig/setup.sh
scripts/build.sh build >/dev/null

out=build/rig
rm -rf "$out"
mkdir -p "$out"
rig/make-base.sh "$out"

if [ $# -eq 0 ]; then
  for d in rig/scenarios/*/; do set -- "$@" "$(basename "$d")"; done
fi
# A scenario of several runs stands for all of them.
scenarios=()
for s in "$@"; do
  s=${s%/}
  runs=(rig/scenarios/"$s"/*/scenario)
  if [ ! -f "rig/scenarios/$s/scenario" ] && [ -f "${runs[0]}" ]; then
    for r in "${runs[@]}"; do
      r=${r%/scenario}
      scenarios+=("${r#rig/scenarios/}")
    done
  else
    scenarios+=("$s")
  fi
done

# Two guests at a time: one per core.
printf '%s\n' "${scenarios[@]}" | xargs -P 2 -I{} rig/run-scenario.sh {} "$out" || true

passed=0 failed=0
for s in "${scenarios[@]}"; do
  if [ -f "$out/$s/PASS" ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "rig wall time: $((SECONDS - started)) s"
echo "rig: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
