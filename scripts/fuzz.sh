#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzzers (fuzz/: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each harness for
# SECONDS (default 60), two at a time, niced. Each starts from its committed
# seeds (fuzz/corpus/NAME) and what earlier runs found (build-fuzz/corpus/NAME).
# A crash, sanitizer report, hang or broken check fails the script and
# leaves the input in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
started=$(date +%s)
scripts/deps.sh clang libclang-rt-14-dev
cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz

# The tool writes its logs into a scratch directory for every input: keep
# that in memory where possible.
if [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
mkdir -p build-fuzz/findings build-fuzz/logs

# Longest input, and how fast inputs may grow: a whole run with an upgrade
# takes thousands of answers.
declare -A limits=([command_line]="-max_len=1024" [image]="-max_len=30000"
                   [driver]="-max_len=20000 -len_control=10" [kcs]="-max_len=20000 -len_control=10"
                   [lan]="-max_len=20000 -len_control=10" [lan_packet]="-max_len=400")

run() {  # NAME
  local name=$1 log=build-fuzz/logs/$1.log
  mkdir -p "build-fuzz/corpus/$name"
  # shellcheck disable=SC2086
  nice -n 10 "build-fuzz/${name}_fuzzer" "build-fuzz/corpus/$name" "fuzz/corpus/$name" ${limits[$name]} \
    -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/findings/$name-" >"$log" 2>&1
}

# The share of the tool's own code (src/, and for the network road's
# harnesses src/bmc/lan/ as well) that the corpus reaches, in the edges the
# compiler instrumented.
tool_coverage() {  # NAME
  # shellcheck disable=SC2086
  "build-fuzz/${1}_fuzzer" "build-fuzz/corpus/$1" "fuzz/corpus/$1" ${limits[$1]} -runs=0 -print_coverage=1 \
    -close_fd_mask=3 2>&1 | awk -v lan="$([[ $1 == lan* ]] && echo 1)" '
      /^(UN)?COVERED_FUNC/ && $NF ~ /\/src\// { split($5, e, "/"); hit += e[1]; all += e[2] }
      /^(UN)?COVERED_FUNC/ && $NF ~ /\/src\/bmc\/lan\// { split($5, e, "/"); lan_hit += e[1]; lan_all += e[2] }
      END { printf "%d of %d edges of src/ (%.0f%%)", hit, all, all ? 100 * hit / all : 0
            if (lan) printf ", %d of %d of src/bmc/lan/ (%.0f%%)", lan_hit, lan_all, lan_all ? 100 * lan_hit / lan_all : 0 }'
}

# Two at a time, one pair after the other.
failed=0
for pair in "command_line image" "driver kcs" "lan lan_packet"; do
  declare -A pids=()
  for name in $pair; do
    run "$name" &
    pids[$name]=$!
  done
  for name in $pair; do
    log=build-fuzz/logs/$name.log
    if wait "${pids[$name]}"; then
      runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
      cov=$(grep -o 'DONE *cov: [0-9]* ft: [0-9]*' "$log" | sed 's/DONE *//')
      corpus=$(find "build-fuzz/corpus/$name" -type f | wc -l)
      echo "fuzz $name: $runs runs in ${seconds}s, $cov, $corpus inputs in its corpus, $(tool_coverage "$name")"
    else
      failed=1
      echo "fuzz $name: FINDING, see $log and build-fuzz/findings/"
      grep -E 'SUMMARY|ERROR:|runtime error|qb40tool ended|qb40tool wrote|image loading:' "$log" | head -5
    fi
  done
  unset pids
done
echo "fuzz: wall time $(($(date +%s) - started)) s"
exit $failed
