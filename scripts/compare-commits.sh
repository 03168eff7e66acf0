#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves that a move of code changes nothing a user sees: builds two commits
# (optimised, no sanitizers) in worktrees under build-compare/, then
#   1. runs both tools on every example machine with the same command lines
#      and compares every output byte for byte (scripts/compare-runs.py of
#      the later commit), and
#   2. runs each commit's campaign with its own tool on the same seeds and
#      compares the summaries (exit statuses, what was judged, the round
#      trips, every failure), leaving out only the line with the run time.
#
#   scripts/compare-commits.sh BEFORE AFTER [SEEDS ...]
#
# SEEDS default to 1-1000 2000000-2000999; seeds 1-600 make the round trip
# through the replay machine. Exit status 0 when both comparisons match.
# A commit from before the campaign's own build option builds it anyway.
# The worktrees stay for the next comparison; `rm -rf build-compare &&
# git worktree prune` removes them.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 2 ]; then
  echo "usage: $0 BEFORE AFTER [SEEDS ...]" >&2
  exit 2
fi
before=$(git rev-parse --short=12 "$1^{commit}")
after=$(git rev-parse --short=12 "$2^{commit}")
shift 2
seeds=("$@")
[ ${#seeds[@]} -gt 0 ] || seeds=(1-1000 2000000-2000999)
scripts/deps.sh
root=$PWD/build-compare
mkdir -p "$root"

build() {
  local commit=$1 tree=$root/$1
  [ -d "$tree" ] || git worktree add --detach "$tree" "$commit" >/dev/null
  cmake -S "$tree" -B "$tree/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DQB40_CAMPAIGN=ON -Wno-dev >/dev/null 2>&1
  cmake --build "$tree/build" --target qb40tool-sim qb40campaign qb40sim-capture >"$tree/build.log" 2>&1 ||
    { echo "compare-commits: $commit does not build, see $tree/build.log" >&2; exit 1; }
}

# The summary of one commit's campaign, its paths made alike.
summary() {
  local commit=$1 tree=$root/$1 b=$root/$1/build
  rm -rf "$root/$commit.failures"
  (cd "$tree" && "$b/campaign/qb40campaign" --tool "$b/qb40tool-sim" --capture-tool "$b/qb40sim-capture" \
    --round-trip 1-600 --model-differences --keep "$root/$commit.failures" "${seeds[@]}") >"$root/$commit.campaign" 2>&1 || true
  grep -v ' runs/s ' "$root/$commit.campaign" |
    sed "s#$root/$commit#TREE#g; s#qb40campaign\.[A-Za-z0-9]*#TMP#g" >"$root/$commit.summary"
}

status=0
for c in "$before" "$after"; do build "$c"; done
echo "compare-commits: built $before and $after"
runs=$root/$after/scripts/compare-runs.py
[ -f "$runs" ] || runs=scripts/compare-runs.py  # a commit from before the script
python3 "$runs" "$root/$before/build/qb40tool-sim" "$root/$after/build/qb40tool-sim" |
  tail -n 20 || status=1
for c in "$before" "$after"; do summary "$c"; done
if diff "$root/$before.summary" "$root/$after.summary"; then
  echo "compare-commits: the campaign's summaries are the same ($(tail -n 1 "$root/$after.summary"))"
else
  echo "compare-commits: the campaign's summaries differ (above; whole runs in $root/*.campaign)"
  status=1
fi
exit $status
