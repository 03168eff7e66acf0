#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The seeded fault campaign: builds qb40tool-sim optimised with
# AddressSanitizer and UndefinedBehaviorSanitizer, and the campaign, into
# build-campaign; then runs every seed given on a random machine with random
# faults, keys and command line, and checks every run (campaign/invariants.h).
#
#   scripts/campaign.sh FIRST-LAST [N | FIRST-LAST | @FILE | SCENARIO.json ...]
#   scripts/campaign.sh --ci
#
# --ci: first the campaign's own tests (its generator, and each invariant
# tripped by a run planted to break it), then seeds 1-1000, the runs that once found a bug (campaign/found/*.json),
# and 1000 seeds that move with the commit, so that new ground is covered
# over time; seeds 1-600 also make the round trip of a capture through the
# replay machine (campaign/round_trip.h), and each of those whose run on the
# model machine differs is named and kept. A failing run is kept in
# build-campaign/failures/ with its machine file, command line and
# scenario.json (a failed round trip's runs beside it, in seed-N-round-trip).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -eq 0 ]; then
  echo "usage: $0 FIRST-LAST [N | FIRST-LAST | @FILE | SCENARIO.json ...] | --ci" >&2
  exit 2
fi
started=$SECONDS
scripts/deps.sh
cmake -S . -B build-campaign -G Ninja -DQB40_SANITIZE=ON -DQB40_WERROR=ON -DBUILD_TESTING=ON \
  -DQB40_CAMPAIGN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(qb40tool-sim qb40campaign qb40sim-capture)
[ "$1" = --ci ] && targets+=(qb40campaign-tests)
cmake --build build-campaign --target "${targets[@]}"
echo "campaign: built in $((SECONDS - started)) s"
if [ "$1" = --ci ]; then
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 build-campaign/campaign/qb40campaign-tests --gtest_brief=1
  echo "campaign: its own tests passed"
fi

seeds=("$@")
round_trip=()
if [ "$1" = --ci ]; then
  round_trip=(--capture-tool build-campaign/qb40sim-capture --round-trip 1-600 --model-differences)
  commit=$(git rev-parse HEAD 2>/dev/null || echo 0000000)
  first=$((1000000 + 16#${commit:0:7}))
  shopt -s nullglob
  seeds=(1-1000 "$first-$((first + 999))" campaign/found/*.json)
  echo "campaign: seeds 1-1000 and $first-$((first + 999)) (from commit ${commit:0:12}), $((${#seeds[@]} - 2)) runs from campaign/found"
fi
rm -rf build-campaign/failures
exec build-campaign/campaign/qb40campaign --tool build-campaign/qb40tool-sim --keep build-campaign/failures \
  "${round_trip[@]}" "${seeds[@]}"
