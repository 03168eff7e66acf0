#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: builds the packages (warnings are errors), checks them with lintian,
# installs both, runs what they installed from an empty directory, checks
# the metrics timer with systemd-analyze verify, renders
# every manual page they installed, then purges them and checks that nothing
# they installed is left behind. Needs root; prints its wall time.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/deps.sh --no-tests lintian man-db python3-jsonschema
scripts/package.sh -DQB40_WERROR=ON

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-pkg/CMakeCache.txt)
arch=$(dpkg --print-architecture)
packages=(qb40tool qb40tool-sim)
debs=()
for p in "${packages[@]}"; do debs+=("build-pkg/${p}_${version}_$arch.deb"); done

fail() {
  echo "package-check: $*" >&2
  exit 1
}

# lintian (2.116, Debian 12) gives no error and no warning; a warning it may
# still give goes into allowed_warnings with its reason here. What it says at
# the info level (not shown without --info), and why it stays:
# - spelling-error-in-binary (Continous, continously, Sucessful, Sucessfully,
#   lenght, loggin, RESPONCE): the tool's messages are fixed texts that
#   operators and scripts match; they stay byte for byte.
# - typo-in-manual-page (loggin): DIAGNOSTICS quotes that message exactly.
# - binary-has-unneeded-section .comment: CPack's strip keeps the compiler's
#   version note; it costs a few hundred bytes.
allowed_warnings=()
lintian_out=$(lintian --fail-on none "${debs[@]}")
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then
  fail "lintian reports errors"
fi
while read -r line; do
  tag=$(awk '{print $3}' <<<"$line")
  [[ " ${allowed_warnings[*]} " == *" $tag "* ]] || fail "lintian warning not allowed above: $line"
done < <(grep '^W: ' <<<"$lintian_out" || true)

# A failing check still leaves the machine without the packages.
scratch=
cleanup() {
  [ -z "$scratch" ] || rm -rf "$scratch"
  dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
}
trap cleanup EXIT
cleanup
dpkg -i "${debs[@]}" >/dev/null
mapfile -t installed < <(dpkg -L "${packages[@]}" | sort -u)
# Debian keeps /usr/local for the administrator: nothing packaged goes there.
! printf '%s\n' "${installed[@]}" | grep -q '^/usr/local' || fail "the packages install under /usr/local"

# The installed programs, each from an empty directory of its own.
scratch=$(mktemp -d)
share=/usr/share/qb40tool
expect() {  # expect STATUS TEXT COMMAND...: the exit status and a console line
  local status=$1 text=$2
  shift 2
  local out got=0
  run_dir=$(mktemp -d -p "$scratch")
  out=$(cd "$run_dir" && "$@" </dev/null 2>&1) || got=$?
  [ "$got" = "$status" ] || fail "$* ended with $got, not $status"
  grep -qF -- "$text" <<<"$out" || fail "$* did not print: $text"
}
# Nothing installed may name the tree it was built from.
for f in /usr/sbin/qb40tool /usr/bin/qb40tool-sim /usr/bin/qb40sim-bmc /usr/bin/qb40sim-capture; do
  ! grep -qF "$PWD" "$f" || fail "$f refers to the build tree $PWD"
done
expect 0 "Found QB4077 at I2C address 0xc0 on Bus 0x01" env -u QB40SIM_MACHINE /usr/bin/qb40tool-sim
[ -s "$run_dir/log.txt" ] || fail "qb40tool-sim left no log.txt in its working directory"
expect 0 "Sucessfully Upgraded 2 of 2 parts" \
  env QB40SIM_MACHINE=$share/machines/upgrade_4077.json /usr/bin/qb40tool-sim -u -f $share/images/fw_4077.bin
# The report of an installed run holds to the installed schema.
expect 0 "Sucessfully Upgraded 2 of 2 parts" env QB40SIM_MACHINE=$share/machines/upgrade_4077.json \
  /usr/bin/qb40tool-sim --report r.json -u -f $share/images/fw_4077.bin
scripts/validate-reports.py $share/report.schema.json "$run_dir/r.json" >/dev/null ||
  fail "the report does not hold to the installed $share/report.schema.json"
expect 2 "the machine file has no such BMC" /usr/bin/qb40sim-bmc $share/machines/default.json --bmc 9
# A capture made into a model of its machine, on which the same run gives the same console.
expect 0 "Sucessfully Upgraded 2 of 2 parts" env QB40SIM_MACHINE=$share/machines/upgrade_4077.json \
  /usr/bin/qb40tool-sim --capture c.jsonl -u -f $share/images/fw_4077.bin
/usr/bin/qb40sim-capture model "$run_dir/c.jsonl" > "$scratch/model.json" || fail "qb40sim-capture model failed"
expect 0 "Sucessfully Upgraded 2 of 2 parts" env QB40SIM_MACHINE="$scratch/model.json" \
  /usr/bin/qb40tool-sim -u -f $share/images/fw_4077.bin
expect 2 "usage: qb40sim-capture" /usr/bin/qb40sim-capture diff
expect 0 "Usage: qb40tool [options]" /usr/sbin/qb40tool -h

# The metrics timer: installed, not enabled, and both units pass systemd's
# own check (which also finds the tool the service runs).
units=(/lib/systemd/system/qb40tool-metrics.service /lib/systemd/system/qb40tool-metrics.timer)
for unit in "${units[@]}"; do
  [ -f "$unit" ] || fail "$unit is not installed"
done
! find /etc/systemd/system -name 'qb40tool-metrics.*' | grep -q . || fail "the package enabled the metrics timer"
verify=$(systemd-analyze verify "${units[@]}" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify says: $verify"
grep -q '^ExecStart=/usr/sbin/qb40tool --read-only -q --metrics /var/lib/prometheus/node-exporter/qb40tool.prom$' \
  "${units[0]}" || fail "the service does not run the read-only scan into the collector's directory"

# systemd kills the service TimeoutStopSec after its SIGTERM: that must be
# longer than the longest stop the manual gives for a read-only run, or a
# stop (the start time-out's too) kills the scan before its metrics say it
# did not go through. The figure is the manual's own, in its table and its
# summary alike, and the installed simulator's run of the service's command,
# with the BMC's answers lost as the signal comes, takes nearly that long.
stop_margin=10  # seconds for the tool's closing writes on a slow disk, and systemd's own
stop_sec=$(sed -n 's/^TimeoutStopSec=\([0-9][0-9]*\)s\{0,1\}$/\1/p' "${units[0]}")
[ -n "$stop_sec" ] || fail "${units[0]}: TimeoutStopSec is not a number of seconds"
manual=$(MANWIDTH=200 man --nh --nj -l "$(man -w qb40tool)" 2>/dev/null | tr -s ' \n' '  ' | sed 's/\([a-z]\)- /\1-/g')
row=$(grep -o 'A read-only run lights no LED: at most [0-9.]* seconds' <<<"$manual" | grep -o '[0-9.]*' || true)
summary=$(grep -o "a read-only run without -ms (the metrics service's) at most [0-9.]* seconds" <<<"$manual" |
  grep -o '[0-9.]* seconds' | grep -o '[0-9.]*' || true)
[ -n "$row" ] && [ -n "$summary" ] || fail "the manual's SIGNALS section gives no longest stop for a read-only run"
[ "$row" = "$summary" ] || fail "the manual gives a read-only run's longest stop as $row s and as $summary s"
python3 - "$row" "$stop_sec" "$stop_margin" <<'PY' || fail "${units[0]}: TimeoutStopSec=${stop_sec}s, below the manual's longest stop of a read-only run ($row s) and ${stop_margin} s"
import sys
longest, stop, margin = map(float, sys.argv[1:])
sys.exit(stop < longest + margin)
PY
run_dir=$(mktemp -d -p "$scratch")
# The 20th request's answer never comes (the BMC stops answering); SIGTERM
# follows at once, in the driver's 30-second wait for it.
python3 - $share/machines/default.json "$run_dir/m.json" <<'PY'
import json, sys
machine = json.load(open(sys.argv[1]))
machine["bmcs"][0]["faults"] = [{"road": "driver", "lose": True, "nth": 20, "count": "all"}]
machine["signals"] = [{"at": 0.000001, "signal": "TERM"}]
json.dump(machine, open(sys.argv[2], "w"))
PY
args=$(sed -n 's|^ExecStart=/usr/sbin/qb40tool ||p' "${units[0]}" | sed 's|/var/lib/prometheus/node-exporter/||')
# shellcheck disable=SC2086 # the unit's arguments, one word each
(cd "$run_dir" && QB40SIM_MACHINE=m.json QB40SIM_TRACE=t.txt /usr/bin/qb40tool-sim $args </dev/null >/dev/null 2>&1) 2>/dev/null &&
  fail "the service's command with a BMC that stops answering did not end by its SIGTERM"
grep -qx 'qb40_scan_success 0' "$run_dir/qb40tool.prom" || fail "a stopped service run's metrics do not say it did not scan through"
python3 - "$run_dir/t.txt" "$row" <<'PY' || fail "the service's command with a BMC that stops answering does not stop as the manual says"
import sys
times = {}
for line in open(sys.argv[1]):
    stamp, _, event = line.rstrip("\n").partition(" ")
    if event in ("signal SIGTERM", "raise SIGTERM"):
        times.setdefault(event, float(stamp))
took = times["raise SIGTERM"] - times["signal SIGTERM"]
longest = float(sys.argv[2])
print(f"package-check: a read-only run stopped {took:.1f} s after its SIGTERM (manual: at most {longest:g} s)")
sys.exit(not longest - 1 <= took <= longest)
PY

# The static tarball: it unpacks into its own directory with the tool, its
# manual, the report schema and the copyright, and the tool runs with no
# library and no environment at all.
tarball=build-pkg/qb40tool-$version-static-x86_64.tar.gz
tar -xzf "$tarball" -C "$scratch"
static_dir=$scratch/qb40tool-$version-static-x86_64
for f in qb40tool qb40tool.8 report.schema.json copyright; do
  [ -f "$static_dir/$f" ] || fail "$tarball has no $f"
done
file -L "$static_dir/qb40tool" | grep -q 'statically linked' || fail "the tarball's qb40tool is not statically linked"
expect 0 "Usage: qb40tool [options]" env -i "$static_dir/qb40tool" -h

for page in $(printf '%s\n' "${installed[@]}" | grep '^/usr/share/man/'); do
  [ -f "$page" ] || continue
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
for name in qb40tool qb40tool-sim qb40sim-bmc qb40sim-capture; do
  man -w "$name" >/dev/null || fail "man finds no page for $name"
done

dpkg --purge "${packages[@]}" >/dev/null
for f in "${installed[@]}"; do
  # Directories other packages share (/usr/bin, /usr/share/man/man1) stay.
  if [ -e "$f" ] || [ -L "$f" ]; then
    [ -d "$f" ] && [ -n "$(ls -A "$f")" ] && continue
    fail "left behind after the purge: $f"
  fi
done
echo "package-check: ${debs[*]} and the static tarball pass ($((SECONDS - start)) s)"
