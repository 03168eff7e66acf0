#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# What the fleet collection costs per server beyond the tool's own runs:
# the playbook qb40tool.fleet.upgrade, built and installed as the check
# does, against N simulated servers on this machine (ci/sim-server, local
# connection, forks 12), each a QB4077 on 1.0.0 and one on 1.2.0. For each
# row it prints the playbook's wall time, the time some tool run was in
# progress (from the servers' own records of when each run began and
# ended), and the difference per server: what Ansible and the collection
# add. Rows: a rollout of 1, 4 and 12 servers with the default batches (a
# canary of one server, then 1, 5, 25%; one server alone has no canary), 4
# and 12 in one batch, 4 in one batch whose upgrades take 5 s (all with
# the same settings, then two of them with qb40tool_upgrade_expect 1: a
# batch whose servers differ must still start at once), the plan of 12, and
# out of band 12 BMCs served by qb40sim-bmc --road lan on loopback ports,
# upgraded by the real qb40tool from here with --lan (default batches,
# throttle 12; each upgrade takes the tool's real waits, some 20 s).
#
#   examples/ansible/timing.sh [ROW...]     rows by name (default all):
#                                           1 4 4x1 12 12x1 slow slowmixed plan oob
#   QB40_FLEET_COLLECTION=DIR  another collection source (an earlier version's)
#   QB40_TIMING_KEEP=1         keeps the work directory (the playbooks' output)
#   QB40_TIMING_GOAL=1         ends with 1 unless 12 servers (default batches)
#                              cost at most 2 s each and one server at most 5 s
# Installs ansible-core through scripts/deps.sh if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
scripts/deps.sh --no-tests ansible-core >/dev/null
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build --target qb40tool-sim qb40tool qb40sim-bmc >/dev/null
collection=${QB40_FLEET_COLLECTION:-$root/examples/ansible/collection}
work=$(mktemp -d)
# The simulated BMCs of the out-of-band row end with the script.
stop_bmcs() {
  for pid in "$work"/lan/*.pid; do
    [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null || true
  done
}
trap 'stop_bmcs; rm -rf "$work"' EXIT
[ -z "${QB40_TIMING_KEEP:-}" ] || trap 'stop_bmcs; echo "timing: work directory $work"' EXIT
export ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=12 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_RETRY_FILES_ENABLED=false
export ANSIBLE_COLLECTIONS_PATH=$work/collections
ansible-galaxy collection build "$collection" --output-path "$work" >/dev/null
ansible-galaxy collection install -p "$work/collections" "$work"/qb40tool-fleet-*.tar.gz >/dev/null
image=$root/sim/images/fw_4077.bin
digest=$(sha256sum "$image" | cut -c1-64)

# inventory N CANARY BATCHES [MIXED]: N servers s01..sNN; CANARY "group"
# (the first server) or "none"; with MIXED, the last two expect 1.
inventory() {
  local n=$1 canary=$2 batches=$3 mixed=${4:-} i h
  {
    cat <<INVENTORY
backplanes:
  vars:
    ansible_connection: local
    ansible_python_interpreter: auto_silent
    qb40tool_upgrade_tool: $root/examples/ansible/ci/sim-server
    qb40tool_upgrade_image: $image
    qb40tool_upgrade_image_sha256: $digest
    qb40tool_upgrade_expect: 2
    qb40tool_upgrade_batches: $batches
$([ "$canary" = group ] || echo "    qb40tool_upgrade_canary: []")
  hosts:
INVENTORY
    for ((i = 1; i <= n; i++)); do
      h=$(printf 's%02d' "$i")
      mkdir -p "$work/$h"
      cp sim/machines/fleet_healthy.json "$work/$h/machine.json"
      rm -rf "$work/$h/work" "$work/$h/runs.txt"
      cat <<HOST
    $h:
      qb40tool_upgrade_workdir: $work/$h/work
      qb40tool_upgrade_lock_file: $work/$h/qb40tool.lock
      qb40tool_upgrade_environment:
        QB40SIM_TOOL: $root/build/qb40tool-sim
        QB40SIM_STATE: $work/$h/machine.json
        QB40SIM_RUNS: $work/$h/runs.txt
HOST
      if [ -n "${SLOW:-}" ]; then
        printf '        QB40SIM_SLOW_ON: --strict\n        QB40SIM_SLOW_SECONDS: "%s"\n' "$SLOW"
      fi
      if [ -n "$mixed" ] && [ "$i" -gt $((n - 2)) ]; then
        echo "      qb40tool_upgrade_expect: 1"
      fi
    done
    [ "$canary" != group ] || printf 'canary:\n  hosts:\n    s01:\n'
  } >"$work/inventory.yml"
}

# lan_inventory N CANARY BATCHES: N BMCs s01..sNN, each served by its own
# qb40sim-bmc --road lan (one QB4077 on 1.0.0 and one on 1.2.0), out of
# band: the tool runs here, behind a wrapper that notes when each run began
# and ended; the hosts themselves cannot be connected to.
lan_inventory() {
  local n=$1 canary=$2 batches=$3 i h
  stop_bmcs
  rm -rf "$work"/s*/runs.txt "$work/lan"
  mkdir -p "$work/lan" "$work/s00"
  cat >"$work/lan/tool" <<TOOL
#!/bin/sh
began=\$(date +%s.%N)
$root/build/qb40tool "\$@"
rc=\$?
printf '{"began": %s, "ended": %s}\\n' "\$began" "\$(date +%s.%N)" >>$work/s00/runs.txt
exit \$rc
TOOL
  chmod +x "$work/lan/tool"
  for ((i = 1; i <= n; i++)); do
    h=$(printf 's%02d' "$i")
    printf '%s' '{"clock": {"start": 1700000000}, "bmcs": [{"lan": {"host": "bmc", "ipv4": "127.0.0.1",
      "cipher_suites": [17, 3], "session_timeout_s": 60, "answer_us": 200,
      "users": [{"name": "op", "password": "timing", "privilege": "operator"}]}, "buses": {
      "0x01": {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 0, 0]}]},
      "0x02": {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77, "firmware": [1, 2, 0]}]}}}]}' \
      >"$work/lan/$h.json"
    "$root/build/qb40sim-bmc" "$work/lan/$h.json" --road lan --listen 127.0.0.1:0 --port-file "$work/lan/$h.port" \
      >/dev/null 2>&1 &
    echo $! >"$work/lan/$h.pid"
  done
  for ((i = 0; i < 100; i++)); do
    [ "$(ls "$work"/lan/*.port 2>/dev/null | wc -l)" = "$n" ] && break
    sleep 0.1
  done
  {
    cat <<INVENTORY
backplanes:
  vars:
    ansible_host: 127.0.0.1
    ansible_port: 9
    ansible_connection: ssh
    qb40tool_upgrade_tool: $work/lan/tool
    qb40tool_upgrade_image: $image
    qb40tool_upgrade_image_sha256: $digest
    qb40tool_upgrade_expect: 2
    qb40tool_upgrade_batches: $batches
    qb40tool_upgrade_bmc_user: op
    qb40tool_upgrade_bmc_password: timing
    qb40tool_upgrade_extra_args: [--lan-privilege, operator]
    qb40tool_upgrade_bmc_dir: $work/lan/bmc
    qb40tool_upgrade_bmc_throttle: $n
$([ "$canary" = group ] || echo "    qb40tool_upgrade_canary: []")
  hosts:
INVENTORY
    for ((i = 1; i <= n; i++)); do
      h=$(printf 's%02d' "$i")
      printf '    %s:\n      qb40tool_upgrade_bmc: "127.0.0.1:%s"\n' "$h" "$(cat "$work/lan/$h.port")"
    done
    [ "$canary" != group ] || printf 'canary:\n  hosts:\n    s01:\n'
  } >"$work/inventory.yml"
}

# row NAME TITLE N CANARY BATCHES MIXED [PLAYBOOK ARGS]: the playbook's
# wall and processor time (its own and its children's: Ansible's workers,
# the modules, the tools), and what the servers say of their tools' runs.
row() {
  local name=$1 title=$2 n=$3 canary=$4 batches=$5 mixed=$6
  shift 6
  if [ -n "${LAN:-}" ]; then
    lan_inventory "$n" "$canary" "$batches"
  else
    inventory "$n" "$canary" "$batches" "$mixed"
  fi
  python3 - "$name" "$title" "$n" "$work" "$@" <<'PYTHON'
import glob, json, resource, subprocess, sys, time
name, title, n, work, extra = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5:]
begin = time.monotonic()
with open("%s/%s.txt" % (work, name), "w") as out:
    status = subprocess.call(["ansible-playbook", "-i", work + "/inventory.yml", "qb40tool.fleet.upgrade",
                              "-e", "qb40tool_upgrade_reports_dir=%s/reports" % work] + extra,
                             stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
wall = time.monotonic() - begin
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = usage.ru_utime + usage.ru_stime
# The time some tool run was in progress: the union of the runs' spans.
spans = sorted((r["began"], r["ended"]) for path in glob.glob(work + "/s*/runs.txt")
               for r in map(json.loads, open(path)))
tool, last = 0.0, None
for b, e in spans:
    if last is None or b > last:
        tool, last = tool + e - b, e
    elif e > last:
        tool, last = tool + e - last, e
print("%-10s %-46s %3d %6.1f %6.1f %8.2f %8.2f  %s" % (name, title, n, wall, tool, (wall - tool) / n, cpu / n,
                                                       "" if status == 0 else "exit %d" % status))
with open(work + "/costs.txt", "a") as f:
    f.write("%s %.2f %d\n" % (name, (wall - tool) / n, status))
PYTHON
}

rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=(1 4 4x1 12 12x1 slow slowmixed plan oob)
echo "fleet cost per server: $(ansible --version | sed -n 1p), forks $ANSIBLE_FORKS, $(nproc) cores," \
  "load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "(wall: the playbook's; tool: some tool run in progress; per server: wall - tool, and processor time)"
printf '%-10s %-46s %3s %6s %6s %8s %8s\n' row rollout N wall tool "per srv" "cpu/srv"
for r in "${rows[@]}"; do
  case $r in
    1) row 1 "one server" 1 none '[1, 5, "25%"]' "" ;;
    4) row 4 "default batches (canary, 1, 5, 25%)" 4 group '[1, 5, "25%"]' "" ;;
    4x1) row 4x1 "one batch" 4 none '["100%"]' "" ;;
    12) row 12 "default batches (canary, 1, 5, 25%)" 12 group '[1, 5, "25%"]' "" ;;
    12x1) row 12x1 "one batch" 12 none '["100%"]' "" ;;
    slow) SLOW=5 row slow "one batch, 5 s upgrades, one expect" 4 none '["100%"]' "" ;;
    slowmixed) SLOW=5 row slowmixed "one batch, 5 s upgrades, two with expect 1" 4 none '["100%"]' mixed ;;
    plan) row plan "the plan (--check --diff)" 12 none '["100%"]' "" --check --diff ;;
    oob) LAN=1 row oob "out of band, 12 BMCs, default batches" 12 group '[1, 5, "25%"]' "" ;;
    *)
      echo "timing: no row $r" >&2
      exit 2
      ;;
  esac
done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "${QB40_TIMING_GOAL:-}" ]; then
  awk '$1 == "12" && $2 > 2 { bad = 1 } $1 == "1" && $2 > 5 { bad = 1 } $3 != 0 { bad = 1 }
       END { exit bad }' "$work/costs.txt" || {
    echo "timing: FAIL: above 2 s per server at 12, or 5 s at 1, or a rollout that failed"
    exit 1
  }
fi
