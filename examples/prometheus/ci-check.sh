#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: the metrics as the fleet's monitoring sees them.
#
#   1. Debian's prometheus-node-exporter serves a scratch textfile
#      directory on a loopback port (its textfile collector only);
#   2. on each of several example machines, qb40tool-sim --read-only -q
#      --metrics writes its file there as the timer's run would, promtool
#      check metrics says nothing about it, /metrics is scraped with curl and
#      every qb40_ series, its labels and value are checked against the
#      machine file (check_scrape.py);
#   3. the alerting rules pass promtool check rules and their unit tests
#      (promtool test rules), and every query of the dashboard is a valid
#      expression (promtool check rules on a rule for each).
#
# Installs prometheus-node-exporter, prometheus (promtool) and curl through
# scripts/deps.sh if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
scripts/deps.sh --no-tests prometheus-node-exporter prometheus curl
# The test command's build when there is one; else one without the tests.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build --target qb40tool-sim >/dev/null
root=$PWD
here=examples/prometheus
sim=$root/build/qb40tool-sim
machines=(default.json two_bmcs.json fleet_healthy.json monitored_rack.json)

work=$(mktemp -d)
exporter=
cleanup() {
  [ -z "$exporter" ] || kill "$exporter" 2>/dev/null || true
  [ -z "$exporter" ] || wait "$exporter" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "prometheus check: FAIL: $*"
  [ ! -s "$work/exporter.log" ] || tail -5 "$work/exporter.log"
  exit 1
}

# A free port on the loopback interface, then the exporter on it.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$work/textfile"
prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$work/textfile" >"$work/exporter.log" 2>&1 &
exporter=$!
url="http://127.0.0.1:$port/metrics"
for _ in $(seq 100); do
  curl -fsS -o /dev/null "$url" 2>/dev/null && break
  kill -0 "$exporter" 2>/dev/null || fail "the node exporter did not start"
  sleep 0.1
done
curl -fsS -o /dev/null "$url" || fail "the node exporter does not answer on $url"

series=0
for machine in "${machines[@]}"; do
  run="$work/run-${machine%.json}"
  mkdir "$run"
  (cd "$run" && QB40SIM_MACHINE="$root/sim/machines/$machine" "$sim" --read-only -q \
    --metrics "$work/textfile/qb40tool.prom") || fail "$machine: qb40tool-sim ended with $?"
  [ "$(stat -c %a "$work/textfile/qb40tool.prom")" = 644 ] || fail "$machine: the metrics file is not 0644"
  lint=$(promtool check metrics <"$work/textfile/qb40tool.prom" 2>&1) || fail "$machine: promtool check metrics: $lint"
  [ -z "$lint" ] || fail "$machine: promtool check metrics says: $lint"
  curl -fsS "$url" >"$work/scrape.txt" || fail "$machine: scrape of $url failed"
  python3 "$here/check_scrape.py" "sim/machines/$machine" "$work/scrape.txt" || fail "$machine: the scrape differs"
  series=$((series + $(grep -c '^qb40_' "$work/scrape.txt")))
done

# What the rules see of a file the collector cannot parse, and of none at
# all (the unit tests' input series for them are these): no qb40_ series
# and no mtime for the file either way; the scrape error says which.
textfile_state() {  # the scrape error, the qb40_ series and the file's mtime series in a scrape
  curl -fsS "$url" >"$work/scrape.txt" || fail "scrape of $url failed"
  printf '%s %s %s\n' "$(sed -n 's/^node_textfile_scrape_error \([0-9]*\)$/\1/p' "$work/scrape.txt")" \
    "$(grep -c '^qb40_' "$work/scrape.txt")" "$(grep -c '^node_textfile_mtime_seconds{file=".*qb40tool.prom"}' "$work/scrape.txt")"
}
[ "$(textfile_state)" = "0 $(grep -c '^qb40_' "$work/textfile/qb40tool.prom") 1" ] ||
  fail "a metrics file in place: scrape error, qb40_ series and mtime series are $(textfile_state)"
printf 'qb40_scan_success{bmc="0" 1\n' >"$work/textfile/qb40tool.prom"
[ "$(textfile_state)" = "1 0 0" ] || fail "a metrics file that cannot be parsed: scrape error, qb40_ and mtime series are $(textfile_state)"
rm "$work/textfile/qb40tool.prom"
[ "$(textfile_state)" = "0 0 0" ] || fail "no metrics file: scrape error, qb40_ and mtime series are $(textfile_state)"

promtool check rules "$here/qb40tool.rules.yml" >/dev/null || fail "promtool check rules"
(cd "$here" && promtool test rules qb40tool.rules.test.yml) >"$work/test.txt" 2>&1 || {
  cat "$work/test.txt"
  fail "promtool test rules"
}
# Every query of the dashboard as a recording rule; its variables as a
# regular expression that takes every host.
python3 - "$here/qb40tool-dashboard.json" >"$work/dashboard.rules.yml" <<'PY'
import json, sys
dash = json.load(open(sys.argv[1]))
exprs = [t["expr"] for p in dash["panels"] for t in p.get("targets", [])]
if len(exprs) < 10:
    sys.exit("dashboard: fewer queries than panels")
print("groups:\n  - name: dashboard\n    rules:")
for n, e in enumerate(exprs):
    print(f"      - record: qb40:dashboard:query{n}\n        expr: {json.dumps(e.replace('$instance', '.*'))}")
PY
promtool check rules "$work/dashboard.rules.yml" >/dev/null || fail "a dashboard query is no valid expression"
queries=$(grep -c 'record:' "$work/dashboard.rules.yml")

echo "prometheus check: ${#machines[@]} machines, $series qb40_ series scraped and checked; rules checked and" \
  "unit-tested; $queries dashboard queries valid ($((SECONDS - start)) s)"
