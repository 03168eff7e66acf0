#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: the fleet role and playbook as an operator runs them. ansible-lint
# (its default profile) on the role, the playbook and the inventory example;
# then nine servers on this machine (local connection), each a
# qb40tool-sim run on a machine file of its own that remembers what every
# run left (ci/sim-server), with its own working directory and lock:
#
#   canary           two QB4077 on 1.0.0; the second takes the downcopy and
#                    comes back on 1.0.0, so its upgrade fails (4)
#   node03, node06   both controllers already on the image's 1.2.0
#   node05           two BMCs, one QB4077 on 1.0.0 behind each
#   the others       one QB4077 on 1.0.0, one on 1.2.0
#
# and proves, in this order:
#   1. check mode flashes nothing and marks exactly the servers that need
#      the image as changed;
#   2. the failing canary stops the rollout: no other server runs, their
#      traces hold no flash command and their controllers stay on 1.0.0;
#   3. a healthy rollout (--limit '!canary', batches 1, 3, the rest)
#      upgrades every server in batches of those sizes, and its summary
#      lists only the servers --limit left;
#   4. check mode afterwards: nothing left to do but the canary's controller,
#      and a --limit summary of exactly the two servers asked for;
#   5. a second run on a server whose lock is held fails at once.
# Installs ansible-core and ansible-lint through scripts/deps.sh if missing.
set -euo pipefail
cd "$(dirname "$0")/../.."
start=$SECONDS
scripts/deps.sh --no-tests ansible-core ansible-lint
# The test command's build when there is one; else one without the tests.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DBUILD_TESTING=OFF >/dev/null
fi
cmake --build build --target qb40tool-sim >/dev/null
root=$PWD

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "fleet check: FAIL: $*"
  exit 1
}

(cd examples/ansible && ansible-lint --offline --nocolor upgrade.yml roles/qb40tool_upgrade inventory.example.yml) \
  >"$work/lint.txt" 2>&1 || { cat "$work/lint.txt"; fail "ansible-lint"; }
lint_seconds=$((SECONDS - start))

# A machine of QB4077 controllers at 0xC0: one BMC:BUS:VERSION each.
machine() {
  python3 - "$@" <<'PYTHON'
import json, sys
bmcs = []
for entry in sys.argv[1:]:
    bmc, bus, fw = entry.split(":")
    while len(bmcs) <= int(bmc):
        bmcs.append({"node": f"/dev/ipmi{len(bmcs)}", "buses": {}})
    bmcs[int(bmc)]["buses"][bus] = {"devices": [{"type": "qb40xx", "address": "0xC0", "chip_id": 77,
                                                 "firmware": [int(x) for x in fw.split(".")]}]}
print(json.dumps({"clock": {"start": 1700000000}, "bmcs": bmcs}))
PYTHON
}
hosts=(canary node02 node03 node04 node05 node06 node07 node08 node09)
digest=$(sha256sum sim/images/fw_4077.bin | cut -c1-64)
{
  cat <<INVENTORY
backplanes:
  vars:
    ansible_connection: local
    ansible_python_interpreter: auto_silent
    qb40tool_upgrade_tool: $root/examples/ansible/ci/sim-server
    qb40tool_upgrade_image: $root/sim/images/fw_4077.bin
    qb40tool_upgrade_expect: 2
    qb40tool_upgrade_reports_dir: $work/reports
    qb40tool_upgrade_timeout: 120
    qb40tool_upgrade_stop_grace: 30
    qb40tool_upgrade_poll: 1
  hosts:
INVENTORY
  for h in "${hosts[@]}"; do
    mkdir -p "$work/$h"
    case $h in
      canary) cp sim/machines/fleet_failing.json "$work/$h/machine.json" ;;
      node03 | node06) machine 0:0x01:1.2.0 0:0x02:1.2.0 >"$work/$h/machine.json" ;;
      node05) machine 0:0x01:1.0.0 1:0x03:1.0.0 >"$work/$h/machine.json" ;;
      *) cp sim/machines/fleet_healthy.json "$work/$h/machine.json" ;;
    esac
    cp "$work/$h/machine.json" "$work/$h/machine.start.json"
    cat <<HOST
    $h:
      qb40tool_upgrade_workdir: $work/$h/work
      qb40tool_upgrade_lock_file: $work/$h/qb40tool.lock
      qb40tool_upgrade_environment:
        QB40SIM_TOOL: $root/build/qb40tool-sim
        QB40SIM_STATE: $work/$h/machine.json
        QB40SIM_TRACES: $work/$h/traces.txt
HOST
    # Every server but node09 pins the image.
    [ "$h" = node09 ] || echo "      qb40tool_upgrade_image_sha256: $digest"
  done
} >"$work/inventory.yml"

# playbook NAME [ansible-playbook arguments]: runs the playbook, its output
# in NAME.txt and its summary kept as NAME.summary.txt and NAME.summary.md.
playbook() {
  local name=$1
  shift
  local status=0
  rm -f "$work/reports/summary.txt" "$work/reports/summary.md"
  echo "$*" >"$work/$name.args"
  ANSIBLE_NOCOLOR=1 ANSIBLE_FORKS=10 ANSIBLE_LOCALHOST_WARNING=false ANSIBLE_RETRY_FILES_ENABLED=false \
    ansible-playbook -i "$work/inventory.yml" examples/ansible/upgrade.yml "$@" >"$work/$name.txt" 2>&1 || status=$?
  cp "$work/reports/summary.txt" "$work/$name.summary.txt" 2>/dev/null || true
  cp "$work/reports/summary.md" "$work/$name.summary.md" 2>/dev/null || true
  echo "$status"
}
show() {
  cat "$work/$1.txt"
  fail "$2"
}
# The hosts of a playbook output's recap, with their changed count: "canary 1".
changed_counts() {
  sed -nE 's/^([a-z0-9]+) +: ok=[0-9]+ +changed=([0-9]+) .*/\1 \2/p' "$work/$1.txt" | sort
}
# The versions a server's controllers run, in machine file order: "1.2.0 1.0.0";
# firmware HOST start: those it began with.
firmware() {
  python3 -c 'import json, sys
m = json.load(open(sys.argv[1]))
print(" ".join(".".join(map(str, d["firmware"])) for b in m["bmcs"] for bus in sorted(b["buses"])
               for d in b["buses"][bus]["devices"]))' "$work/$1/machine${2:+.$2}.json"
}
flashed() { [ -f "$work/$1/traces.txt" ] && grep -q ' flash ' "$work/$1/traces.txt"; }

# 1. Check mode: the plan on every server.
[ "$(playbook plan --check)" = 0 ] || show plan "check mode did not end with 0"
for h in "${hosts[@]}"; do
  ! flashed "$h" || show plan "check mode sent a flash command to $h"
  grep -q '^Selected --plan' "$work/$h/work/log.txt" || show plan "$h did not run --plan"
done
expected="canary 1
node02 1
node03 0
node04 1
node05 1
node06 0
node07 1
node08 1
node09 1"
[ "$(changed_counts plan)" = "$expected" ] || show plan "check mode changed other servers:
$(diff <(echo "$expected") <(changed_counts plan))"

# 2. The rollout: the canary fails and nothing else runs.
[ "$(playbook canary)" = 2 ] || show canary "the rollout with a failing canary did not end with 2"
[ "$(changed_counts canary)" = "canary 1" ] || show canary "servers other than the canary ran"
grep -q 'BMC 0 bus 0x02 address 0xC0 version_mismatch at read_back (firmware 1.0.0)' "$work/canary.txt" ||
  show canary "the failure does not name the controller and its step"
grep -q '^Selected --strict' "$work/reports/canary.log.txt" || show canary "the failed run's log was not fetched"
[ "$(firmware canary)" = "1.2.0 1.0.0" ] || show canary "the canary's controllers run $(firmware canary)"
for h in "${hosts[@]:1}"; do
  ! flashed "$h" || show canary "$h got a flash command after the canary failed"
  [ "$(firmware "$h")" = "$(firmware "$h" start)" ] || show canary "$h changed after the canary failed"
  grep -Eq "^$h +- +not run " "$work/canary.summary.txt" || show canary "the summary does not show $h not run"
done

# 3. The rollout without the canary, in batches of 1, 3 and the rest.
[ "$(playbook rollout --limit '!canary' -e '{"qb40tool_upgrade_batches": [1, 3, "100%"]}')" = 0 ] ||
  show rollout "the healthy rollout did not end with 0"
[ "$(grep -c '^PLAY \[Upgrade the backplane controllers' "$work/rollout.txt")" = 3 ] ||
  show rollout "not three batches"
batches=$(awk 'NR > 2 { print $2 }' "$work/rollout.summary.txt" | uniq -c | awk '{ printf "%s ", $1 }')
[ "$batches" = "1 3 4 " ] || show rollout "batches of $batches, not 1 3 4"
[ "$(awk 'NR > 2 { print $1 }' "$work/rollout.summary.txt" | tr '\n' ' ')" = \
  "node02 node03 node04 node05 node06 node07 node08 node09 " ] || show rollout "the summary lists other servers"
for h in "${hosts[@]:1}"; do
  [ "$(firmware "$h")" = "1.2.0 1.2.0" ] || show rollout "$h runs $(firmware "$h")"
done
# The Markdown table: a header, its rule and one row per server of the text.
[ "$(sed -nE 's/^\| ([a-z0-9]+) \| .*/\1/p' "$work/rollout.summary.md" | tr '\n' ' ')" = \
  "host node02 node03 node04 node05 node06 node07 node08 node09 " ] || show rollout "summary.md lists other servers"
grep -q '"sha256_matched": true' "$work/reports/node02.json" || show rollout "node02 ran without --image-sha256"
grep -q '"sha256_matched": null' "$work/reports/node09.json" || show rollout "node09 ran with --image-sha256"
grep -q '^Selected --expect for at least 2 controllers$' "$work/node05/work/log.txt" ||
  show rollout "qb40tool_upgrade_expect did not reach the command line"

# 4. Check mode again, on two servers.
[ "$(playbook replan --check --limit canary,node05)" = 0 ] || show replan "check mode did not end with 0"
[ "$(changed_counts replan)" = "canary 1
node05 0" ] || show replan "check mode after the rollout changed other servers"
[ "$(awk 'NR > 2 { print $1 }' "$work/replan.summary.txt" | tr '\n' ' ')" = "canary node05 " ] ||
  show replan "the --limit summary lists other servers"

# 5. node03's lock is held (by this shell): its run fails at once.
exec {lock}>"$work/node03/qb40tool.lock"
flock --nonblock "$lock" || fail "cannot take node03's lock"
[ "$(playbook locked --limit node03)" = 2 ] || show locked "a run under a held lock did not fail"
exec {lock}>&-
grep -q 'another run holds the lock' "$work/locked.txt" || show locked "the failure does not name the lock"

for run in plan canary rollout replan; do
  echo "== ansible-playbook -i inventory.yml upgrade.yml $(cat "$work/$run.args")"
  cat "$work/$run.summary.txt"
done
echo "== reports/summary.md of the rollout"
cat "$work/rollout.summary.md"
echo "fleet check: PASS (ansible-lint clean in ${lint_seconds} s; 9 servers: plan, a failed canary, a rollout in" \
  "batches of 1, 3 and 4, a plan after it, a held lock) in $((SECONDS - start)) s"
